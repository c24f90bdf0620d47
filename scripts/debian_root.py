#!/usr/bin/env python3
"""A private Debian root of another architecture or release, made without touching the host.

    python3 scripts/debian_root.py DIR --arch ppc64el --release bookworm PACKAGE...

apt runs with a state, a cache and a package list of its own under DIR/.apt (the host's dpkg
database, its architectures and its apt configuration files are read, never written); the named
packages and everything they depend on are downloaded for that architecture and release and
unpacked into DIR/root with dpkg-deb. Nothing is configured or installed: the root is files to run
under qemu-user (-L DIR/root) or in a chroot.

The mirrors are the host's own (its apt sources), with the release's name in place of the host's.
A suite whose index fails to arrive (a mirror in the middle of a sync) is left out and said so,
as long as the release's main suite arrived. The root is kept while the arch, the release, the
packages and this script are the same (DIR/root.key); otherwise it is made anew.
"""

from __future__ import annotations

import argparse
import glob
import hashlib
import os
import re
import shutil
import subprocess
import sys

KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def host_mirrors() -> tuple[str, str, str]:
    """The host's Debian archive and security mirrors, and its release's codename."""
    codename = ""
    with open("/etc/os-release") as f:
        for line in f:
            if line.startswith("VERSION_CODENAME="):
                codename = line.split("=", 1)[1].strip().strip('"')
    entries: list[tuple[str, list[str]]] = []  # (uri, suites) of the deb lines
    files = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*"))
    for path in files:
        if not os.path.isfile(path):
            continue
        text = open(path, encoding="utf-8", errors="replace").read()
        if path.endswith(".sources"):
            for stanza in re.split(r"\n\s*\n", text):
                fields = {}
                for line in stanza.splitlines():
                    if line.startswith("#") or ":" not in line or line[0].isspace():
                        continue
                    key, value = line.split(":", 1)
                    fields[key.strip().lower()] = value.split()
                if "deb" in fields.get("types", []) and fields.get("enabled", ["yes"]) != ["no"]:
                    for uri in fields.get("uris", []):
                        entries.append((uri.rstrip("/"), fields.get("suites", [])))
        elif path.endswith(".list"):
            for line in text.splitlines():
                words = re.sub(r"\[[^]]*\]", "", line.split("#", 1)[0]).split()
                if len(words) >= 3 and words[0] == "deb":
                    entries.append((words[1].rstrip("/"), [words[2]]))
    archive = next((u for u, s in entries if codename in s), "")
    security = next((u for u, s in entries if f"{codename}-security" in s or f"{codename}/updates" in s), "")
    if not codename or not archive:
        sys.exit(f"debian_root: no Debian mirror for '{codename}' in the host's apt sources")
    return archive, security or archive.replace("/debian", "/debian-security"), codename


def apt(config: str, *args: str, check: bool = True) -> subprocess.CompletedProcess:
    return subprocess.run(["apt-get", "-c", config, "-q", *args], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, check=check)


def relative_links(root: str) -> None:
    """Absolute symlinks point into the root instead: qemu's -L resolves a link's target itself,
    and an absolute one would lead back to the host's file."""
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            if os.path.islink(path):
                target = os.readlink(path)
                if target.startswith("/"):
                    os.unlink(path)
                    os.symlink(os.path.relpath(root + target, dirpath), path)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dir")
    ap.add_argument("--arch", required=True, help="a Debian architecture: ppc64el, amd64, ...")
    ap.add_argument("--release", required=True, help="a Debian codename: bullseye, bookworm, trixie")
    ap.add_argument("packages", nargs="+")
    a = ap.parse_args()

    top = os.path.abspath(a.dir)
    root, state = os.path.join(top, "root"), os.path.join(top, ".apt")
    with open(__file__, "rb") as f:
        me = hashlib.sha256(f.read()).hexdigest()[:16]
    key = f"{a.arch} {a.release} {' '.join(sorted(a.packages))} {me}\n"
    stamp = os.path.join(top, "root.key")
    if os.path.exists(stamp) and open(stamp).read() == key and os.path.isdir(root):
        print(f"root {a.arch}/{a.release}: kept ({top})")
        return 0

    archive, security, host = host_mirrors()
    shutil.rmtree(top, ignore_errors=True)
    for d in ("lists/partial", "archives/partial", "parts"):
        os.makedirs(os.path.join(state, d))
    open(os.path.join(state, "status"), "w").close()
    suites = {a.release: archive, f"{a.release}-updates": archive, f"{a.release}-security": security}

    def write_sources(names) -> None:
        with open(os.path.join(state, "sources.list"), "w") as f:
            for suite in names:
                f.write(f"deb [arch={a.arch} signed-by={KEYRING}] {suites[suite]} {suite} main\n")

    config = os.path.join(state, "apt.conf")
    with open(config, "w") as f:  # read after the host's configuration, so that these win
        f.write(f"""#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
#clear DPkg::Pre-Install-Pkgs;
#clear DPkg::Post-Invoke;
Dir::Etc::SourceList "{state}/sources.list";
Dir::Etc::SourceParts "{state}/parts";
Dir::State "{state}";
Dir::State::Lists "{state}/lists";
Dir::State::status "{state}/status";
Dir::Cache "{state}";
Dir::Cache::Archives "{state}/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
APT::Architecture "{a.arch}";
#clear APT::Architectures;
APT::Architectures {{ "{a.arch}"; }};
APT::Install-Recommends "false";
Debug::NoLocking "true";
APT::Sandbox::User "root";
""")
    write_sources(suites)
    # An index that fails (a mirror mid-sync) leaves no list behind: see which suites arrived.
    for attempt in range(3):
        update = apt(config, "update", check=False)
        arrived = [s for s in suites if glob.glob(os.path.join(
            state, "lists", f"*_dists_{s}_main_binary-{a.arch}_Packages*"))]
        if a.release in arrived:
            break
    else:
        print(update.stdout[-3000:])
        sys.exit(f"debian_root: the {a.release} index for {a.arch} did not arrive")
    for s in suites:
        if s not in arrived:
            print(f"root {a.arch}/{a.release}: suite {s} skipped: its index did not arrive")
    # An index can also name a file its mirror does not have yet: then the same packages
    # without the security suite, then without the updates too.
    while True:
        write_sources(arrived)
        apt(config, "update", check=False)
        got = apt(config, "install", "--download-only", "-y", *a.packages, check=False)
        if got.returncode == 0:
            break
        if len(arrived) == 1:
            print(got.stdout[-3000:])
            sys.exit(f"debian_root: apt could not gather {' '.join(a.packages)} for {a.arch}/{a.release}")
        print(f"root {a.arch}/{a.release}: suite {arrived[-1]} skipped: its packages did not arrive")
        arrived.pop()
        for deb in glob.glob(os.path.join(state, "archives", "*.deb")):
            os.unlink(deb)
    debs = sorted(glob.glob(os.path.join(state, "archives", "*.deb")))
    os.makedirs(root)
    for deb in debs:
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    relative_links(root)
    for d in ("tmp", "proc", "dev", "etc"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    with open(os.path.join(top, "packages.txt"), "w") as f:
        f.write("".join(os.path.basename(d) + "\n" for d in debs))
    shutil.rmtree(os.path.join(state, "archives"))
    with open(stamp, "w") as f:
        f.write(key)
    size = subprocess.run(["du", "-sm", root], stdout=subprocess.PIPE, text=True).stdout.split()[0]
    print(f"root {a.arch}/{a.release}: made from {len(debs)} packages, {size} MB ({top}; host {host})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
