"""The consumer of docs/cpp-sdk.md as the page gives it, for scripts/check_consumer.sh:

    python docs_recipe.py files DIR     writes the page's feed.cpp, pyproject.toml and CMakeLists.txt
    python docs_recipe.py block TITLE   prints the page's sh block whose first line is "# TITLE"
"""
import os
import re
import sys

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "cpp-sdk.md")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)


def main(command, arg):
    text = open(PAGE, encoding="utf-8").read()
    if command == "files":  # each block right after a line that names it: `feed.cpp`:
        written = []
        for m in FENCE.finditer(text):
            named = re.fullmatch(r"`([\w.]+)`:", text[:m.start()].rstrip("\n").rsplit("\n", 1)[-1])
            if named:
                with open(os.path.join(arg, named[1]), "w", encoding="utf-8") as f:
                    f.write(m[2])
                written.append(named[1])
        if sorted(written) != ["CMakeLists.txt", "feed.cpp", "pyproject.toml"]:
            raise SystemExit(f"{PAGE} names the files {written}")
        return
    found = [m[2] for m in FENCE.finditer(text) if m[1] == "sh" and m[2].startswith(f"# {arg}\n")]
    if len(found) != 1:
        raise SystemExit(f"{PAGE} has {len(found)} sh blocks that start with '# {arg}'")
    sys.stdout.write(found[0])


if __name__ == "__main__":
    main(*sys.argv[1:3])
