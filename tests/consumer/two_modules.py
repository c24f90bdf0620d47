"""Two consumers of the installed SDK in one process, each built with a plain
`g++ -shared -fPIC` (default visibility), one of them against a stale copy of the headers
(Position.volume and .price swapped, same instance size). In both load orders the stale one
is refused with the layout RuntimeError and the current one makes correct records: the state
the headers keep belongs to each module. A stale module that calls tavex::import() in its
PyInit fails at import.

    python two_modules.py             builds into a temporary folder and runs every case
"""
import importlib.machinery
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from check import PATTERN, check_records, load_copy  # noqa: E402

SWAP = ("  double volume, price;\n", "  double price, volume;\n")


def refused(exc):
    found = re.match(PATTERN, str(exc))
    assert found and int(found[1]) + 8 == int(found[2]), str(exc)


def build(work):
    import tavex_sdk

    stale = os.path.join(work, "stale-include")
    shutil.copytree(tavex_sdk.get_include(), stale)
    headers = [os.path.join(stale, "tavex", n) for n in os.listdir(os.path.join(stale, "tavex"))]
    hits = [h for h in headers if SWAP[0] in open(h).read()]
    assert len(hits) == 1, f"Position.volume found in {hits}"
    with open(hits[0]) as f:
        text = f.read()
    with open(hits[0], "w") as f:
        f.write(text.replace(SWAP[0], SWAP[1]))

    flags = tavex_sdk.get_cflags().split()
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    out = {}
    for label, include, extra in [("current", None, ["-DTAVEX_CONSUMER_LAZY"]),
                                  ("stale", stale, ["-DTAVEX_CONSUMER_LAZY"]),
                                  ("stale-eager", stale, [])]:
        os.makedirs(os.path.join(work, label))
        path = os.path.join(work, label, "tavex_consumer" + suffix)
        cmd = (["g++", "-std=c++17", "-shared", "-fPIC", "-O1"] + (["-I" + include] if include else [])
               + flags + extra + [os.path.join(HERE, "tavex_consumer.cpp"), "-o", path])
        subprocess.run(cmd, check=True)
        out[label] = path
    return out


def use_stale(module, records):
    for call in (module.make_records, lambda: module.position_volume(records[3])):
        for attempt in (1, 2):  # the refusal is not a one-off
            try:
                result = call()
            except RuntimeError as exc:
                refused(exc)
            else:
                raise AssertionError(f"the stale module returned {result!r}")


def child(order, paths):
    records = None
    for label in order:
        if label == "current":
            records = check_records(load_copy(paths["current"]))
        elif label == "stale":
            use_stale(load_copy(paths["stale"]), records or (None,) * 4)
        else:
            try:
                load_copy(paths["stale-eager"])
            except RuntimeError as exc:
                refused(exc)
            else:
                raise AssertionError("a stale module that calls tavex::import() was imported")
    check_records(load_copy(paths["current"]))  # and the current one still works
    print(" then ".join(order), "ok")


def main():
    with tempfile.TemporaryDirectory() as work:
        paths = build(work)
        for order in (["current", "stale"], ["stale", "current"], ["stale-eager", "current"]):
            subprocess.run([sys.executable, __file__, "--child", ",".join(order)] +
                           [f"{k}={v}" for k, v in paths.items()], check=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2].split(","), dict(a.split("=", 1) for a in sys.argv[3:]))
    else:
        main()
