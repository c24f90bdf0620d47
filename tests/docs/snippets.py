"""Runs the code blocks of Markdown pages, so that the documentation cannot drift from the code.

    python tests/docs/snippets.py README.md docs/*.md

- ```pycon: doctest; the shown results and exception texts are compared (ELLIPSIS on). The
  blocks of one page share one namespace, in page order.
- ```python: run as a whole in a fresh interpreter, in an empty temporary folder.
- ```cpp: compiled as one translation unit against include/ and this interpreter's headers, with
  -Wall -Wextra -Werror.
Any other block is shown only. Exit status 1 when a block fails.
"""

import doctest
import os
import re
import subprocess
import sys
import sysconfig
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FENCE = re.compile(r"^( *)```([\w+-]*)[^\n]*\n(.*?)^\1```[ \t]*$", re.M | re.S)


def blocks(path):
    """(language, first line number, code) of every fenced block, indentation removed."""
    text = open(path, encoding="utf-8").read()
    for m in FENCE.finditer(text):
        indent = len(m.group(1))
        code = "".join(line[indent:] for line in m.group(3).splitlines(keepends=True))
        yield m.group(2), text.count("\n", 0, m.start()) + 2, code


def run_pycon(code, where, globs, tmp):
    path, line = where.rsplit(":", 1)
    test = doctest.DocTestParser().get_doctest(code, globs, where, path, int(line) - 1)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    cwd = os.getcwd()
    os.chdir(tmp)
    try:
        runner.run(test, out=report.append, clear_globs=False)
    finally:
        os.chdir(cwd)
    return "".join(report) if runner.failures else None


def run_python(code, where, tmp):
    env = dict(os.environ, PYTHONPATH="")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp, env=env, capture_output=True,
                          text=True, timeout=120)
    return None if done.returncode == 0 else f"exit status {done.returncode}\n{done.stdout}{done.stderr}"


def run_cpp(code, where, tmp):
    src = os.path.join(tmp, "snippet.cpp")
    with open(src, "w", encoding="utf-8") as f:
        f.write(code)
    cxx = os.environ.get("CXX", "c++")
    done = subprocess.run([cxx, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-fPIC", "-c",
                           "-I", os.path.join(ROOT, "include"),
                           "-isystem", sysconfig.get_paths()["include"], src, "-o", os.devnull],
                          capture_output=True, text=True)
    return None if done.returncode == 0 else f"{cxx}: exit status {done.returncode}\n{done.stderr}"


def main(paths):
    counts, failed = {}, 0
    for path in paths:
        globs = {"__name__": "__main__"}
        for lang, line, code in blocks(path):
            where = f"{os.path.relpath(path, ROOT)}:{line}"
            with tempfile.TemporaryDirectory() as tmp:
                if lang == "pycon":
                    problem = run_pycon(code, where, globs, tmp)
                elif lang == "python":
                    problem = run_python(code, where, tmp)
                elif lang == "cpp":
                    problem = run_cpp(code, where, tmp)
                else:
                    continue
            counts[lang] = counts.get(lang, 0) + 1
            if problem:
                failed += 1
                print(f"FAIL {where} ({lang})\n{problem}")
    kinds = ", ".join(f"{n} {lang}" for lang, n in sorted(counts.items()))
    print(f"snippets: {sum(counts.values())} checked ({kinds}), {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
