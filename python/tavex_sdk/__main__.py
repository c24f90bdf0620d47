"""python -m tavex_sdk --cflags | --includedir | --cmakedir | --pkgconfigdir | --ext-suffix | --version"""

import argparse
import sys

import tavex_sdk


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m tavex_sdk", description="Where the tavex native SDK lies."
    )
    queries = {
        "--cflags": (tavex_sdk.get_cflags, "-isystem flags for <tavex/tavex.hpp> and Python.h"),
        "--includedir": (tavex_sdk.get_include, "the folder that holds tavex/tavex.hpp"),
        "--cmakedir": (tavex_sdk.get_cmake_dir, "the folder of tavexConfig.cmake (tavex_DIR)"),
        "--pkgconfigdir": (tavex_sdk.get_pkgconfig_dir, "the folder of tavex.pc"),
        "--ext-suffix": (tavex_sdk.get_ext_suffix, "how this interpreter's module files end"),
        "--version": (tavex_sdk.get_version, "the installed tavex release"),
    }
    group = parser.add_mutually_exclusive_group(required=True)
    for flag, (_, text) in queries.items():
        group.add_argument(flag, action="store_true", help=text)
    args = parser.parse_args(argv)
    for flag, (query, _) in queries.items():
        if getattr(args, flag[2:].replace("-", "_")):
            print(query())
    return 0


if __name__ == "__main__":
    sys.exit(main())
