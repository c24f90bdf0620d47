"""What the bench runs against, built by the bench: the floor for the interpreter that runs it,
a venv per interpreter with tavex built from this checkout and the peers, and other builds of
tavex loaded beside the main one (--alt)."""

from __future__ import annotations

import glob
import hashlib
import importlib.util
import json
import os
import shlex
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FLOOR = os.path.join(HERE, "floor")
# -O2 as a distribution builds an extension; no -march, so that the floor's code is the same
# on any x86-64. Hidden symbols let the compiler inline across a file's own functions.
FLOOR_FLAGS = ["-O2", "-fPIC", "-shared", "-fvisibility=hidden", "-fno-strict-aliasing", "-Wall",
               "-Wextra", "-Wno-unused-parameter"]
PEERS = ("ciso8601", "pendulum")
QUERY = ("import json, platform, sys; print(json.dumps([platform.python_implementation(),"
         " platform.python_version(), getattr(sys, 'pypy_version_info', None) and"
         " '.'.join(map(str, sys.pypy_version_info[:3]))]))")


def home(python: str = sys.executable) -> str:
    """build/bench/<interpreter>, e.g. cpython-3.11.7 or pypy-3.9.16-7.3.11: one per interpreter."""
    if python == sys.executable:
        import platform
        parts = [platform.python_implementation(), platform.python_version()]
        if hasattr(sys, "pypy_version_info"):
            parts.append(".".join(map(str, sys.pypy_version_info[:3])))
    else:
        out = subprocess.run([python, "-c", QUERY], check=True, capture_output=True, text=True)
        parts = [p for p in json.loads(out.stdout) if p]
    return os.path.join(ROOT, "build", "bench", "-".join(parts).lower())


def build_floor(log=None) -> str:
    """Compiles the floor for the running interpreter, once per source, flags and interpreter,
    and returns the folder that holds it."""
    include = sysconfig.get_paths()["include"]
    if not os.path.exists(os.path.join(include, "Python.h")):
        raise SystemExit(f"bench: {include}/Python.h is missing: the floor needs the interpreter's"
                         " headers (Debian: python3-dev, pypy3-dev)")
    cc = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    out = os.path.join(home(), "floor")
    target = os.path.join(out, "benchfloor" + (sysconfig.get_config_var("EXT_SUFFIX") or ".so"))
    sources = sorted(glob.glob(os.path.join(FLOOR, "*.c")))
    cmd = cc + FLOOR_FLAGS + ["-I", include] + sources + ["-o", target]
    digest = hashlib.sha256(" ".join(cmd).encode())
    for path in sources + glob.glob(os.path.join(FLOOR, "*.h")):
        with open(path, "rb") as f:
            digest.update(f.read())
    stamp = digest.hexdigest()
    stamp_path = os.path.join(out, "stamp")
    if os.path.exists(target) and os.path.exists(stamp_path):
        with open(stamp_path) as f:
            if f.read() == stamp:
                return out
    os.makedirs(out, exist_ok=True)
    if log:
        log(f"building the floor: {' '.join(cmd)}")
    p = subprocess.run(cmd, capture_output=True, text=True)
    if p.returncode != 0:
        raise SystemExit(f"bench: the floor does not build:\n{p.stderr}")
    with open(stamp_path, "w") as f:
        f.write(stamp)
    return out


def pip(python: str, *args: str, env=None) -> subprocess.CompletedProcess:
    return subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                           *args], capture_output=True, text=True, env=env)


def prepare(python: str, install: bool, log) -> str:
    """A venv of `python` under build/bench/ with the peers and tavex (with tavex_testing) built
    from this checkout in Release mode; returns the venv's interpreter."""
    where = home(python)
    venv = os.path.join(where, "venv")
    venv_python = os.path.join(venv, "bin", "python")
    if not os.path.exists(venv_python):
        log(f"== making {os.path.relpath(venv, ROOT)}")
        subprocess.run([python, "-m", "venv", venv], check=True)
        install = True
    if not install:
        return venv_python
    for peer in PEERS:
        if pip(venv_python, peer).returncode != 0:
            log(f"   {peer} does not install here: its rows are left out")
    log("== building tavex from this checkout (Release, with tavex_testing)")
    # a build folder of its own, so that no other build of the checkout shares it
    p = pip(venv_python, "--force-reinstall", "--no-deps",
            f"--config-settings=build-dir={os.path.join(where, 'tavex-build')}",
            "--config-settings=cmake.build-type=Release", ROOT,
            env=dict(os.environ, TAVEX_TESTING="1"))
    if p.returncode != 0:
        raise SystemExit(f"bench: tavex does not install:\n{p.stdout[-3000:]}{p.stderr[-3000:]}")
    return venv_python


def load_alt(path: str, with_sweeps: bool):
    """tavex (and tavex_testing, if built) from another build directory, loaded beside the
    main one: the companion finds tavex through sys.modules, so it is swapped in meanwhile."""
    from rows import build_groups, floor, have, sweep_groups

    saved = {k: sys.modules.pop(k) for k in ("tavex", "tavex_testing") if k in sys.modules}
    mods = {}
    try:
        for name in ("tavex", "tavex_testing"):
            files = sorted(glob.glob(os.path.join(path, name + ".*.so"))
                           + glob.glob(os.path.join(path, name + ".so")))
            if not files:
                mods[name] = None
                continue
            where = importlib.util.spec_from_file_location(name, files[0])
            mod = importlib.util.module_from_spec(where)
            sys.modules[name] = mod
            where.loader.exec_module(mod)
            mods[name] = mod
        # records are made now, while the companion sees this build as "tavex"
        groups = build_groups(mods["tavex"], floor if have(floor) else None, mods["tavex_testing"])
        if with_sweeps and mods["tavex"] and mods["tavex_testing"]:
            groups += sweep_groups(mods["tavex"], None, mods["tavex_testing"])
    finally:
        for name in ("tavex", "tavex_testing"):
            sys.modules.pop(name, None)
        sys.modules.update(saved)
    return mods["tavex"], groups


def add_alternatives(groups: list, alts: list, with_sweeps: bool, log) -> None:
    """Adds the tavex rows of other builds (label=dir) to the matching groups, as role "alt"."""
    for arg in alts:
        label, _, path = arg.partition("=")
        if not path:
            label, path = os.path.basename(os.path.normpath(arg)), arg
        mod, alt_groups = load_alt(path, with_sweeps)
        if mod is None:
            if log:
                log(f"--alt {arg}: no tavex module in {path}")
            continue
        by_key = {g.key: g for g in alt_groups}
        for g in groups:
            ag = by_key.get(g.key)
            if ag is None or ag.skipped:
                continue
            for c in ag.contenders:
                if c.role == "tavex":
                    c.role = "alt"
                    c.name = c.name.replace("tavex", f"tavex[{label}]", 1)
                    g.contenders.append(c)


