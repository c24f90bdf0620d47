"""Sorts a memcheck XML log into tavex's errors and the interpreter's.

    python tests/sanitizers/valgrind_report.py memcheck.*.xml

(one XML file per process: valgrind --xml-file=memcheck.%p.xml)

Any invalid read, write or free fails the run, whatever code it is in. A definite leak or a
use of an undefined value fails it when a frame of its stack is tavex's (the tavex and
tavex_testing modules, or a source file under src/, include/tavex or tests/testing_module);
the interpreter's own (CPython 3.11 follows an undefined int digit from int.from_bytes into
later reference counting, and its start-up keeps a few blocks without a pointer) are counted
and listed by their first frame. Prints a summary and exits 1 on a failure.
"""

import collections
import sys
import xml.etree.ElementTree as ET

TAVEX_MARKS = ("/tavex.", "/tavex_testing.", "/src/module/", "/src/types/",
               "/src/helpers/", "/include/tavex", "/tests/testing_module")
ALWAYS_FATAL = ("Invalid", "Mismatched", "Overlap", "SyscallParam", "ClientCheck", "Fishy")
FATAL_IF_OURS = ("Leak_DefinitelyLost", "UninitCondition", "UninitValue")


def frames(error):
    for stack in error.findall("stack")[:1]:  # the error's own stack, not an origin's
        for f in stack.findall("frame"):
            yield {k: (f.findtext(k) or "") for k in ("obj", "fn", "dir", "file", "line")}


def is_ours(frame):
    where = f"{frame['obj']} {frame['dir']}/{frame['file']}"
    return any(mark in where for mark in TAVEX_MARKS)


def describe(error):
    fs = list(frames(error))
    first = next((f for f in fs if f["fn"] not in ("malloc", "calloc", "realloc")), fs[0] if fs
                 else {"fn": "?", "file": "", "line": ""})
    text = error.findtext("what") or error.findtext("xwhat/text") or ""
    return f"{error.findtext('kind')}: {text} at {first['fn']} ({first['file']}:{first['line']})"


def load(paths):
    """The logs of processes that valgrind followed to the end. A child forked to run another
    program (subprocess) leaves only a header: valgrind stops at its exec."""
    roots, headers_only = [], 0
    for path in paths:
        try:
            roots.append(ET.parse(path).getroot())
        except ET.ParseError:
            with open(path, encoding="utf-8", errors="replace") as f:
                if "<error>" in f.read():
                    raise
            headers_only += 1
    return roots, headers_only


def main(paths):
    roots, headers_only = load(paths)
    fatal, interpreter = [], collections.Counter()
    for error in (e for root in roots for e in root.findall("error")):
        kind = error.findtext("kind") or ""
        ours = any(is_ours(f) for f in frames(error))
        if kind.startswith(ALWAYS_FATAL) or (kind in FATAL_IF_OURS and ours):
            fatal.append(describe(error) + (" [tavex frame]" if ours else ""))
        else:
            interpreter[describe(error)] += 1
    suppressed = sum(int(p.findtext("count") or 0) for root in roots
                     for counts in root.findall("suppcounts") for p in counts.iter("pair"))
    for line in fatal:
        print("MEMCHECK", line)
    for line, n in interpreter.most_common(8):
        print(f"  interpreter ({n}x): {line}")
    print(f"valgrind memcheck ({len(roots)} processes, {headers_only} exec'd children): "
          f"{len(fatal)} errors in or through tavex, "
          f"{sum(interpreter.values())} in the interpreter alone "
          f"({len(interpreter)} distinct), {suppressed} suppressed: "
          f"{'clean' if not fatal else 'FAILED'}")
    return 1 if fatal else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
