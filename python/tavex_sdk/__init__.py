"""Where the tavex native SDK lies: the headers, the CMake package and the pkg-config file.

For native modules that make and read tavex records (``#include <tavex/tavex.hpp>``; see
docs/cpp-sdk.md)::

    python -m tavex_sdk --cflags       # -isystem flags for the header and for Python.h
    python -m tavex_sdk --cmakedir     # for -Dtavex_DIR=...; find_package(tavex CONFIG)
    python -m tavex_sdk --pkgconfigdir # for PKG_CONFIG_PATH; pkg-config --cflags tavex
    python -m tavex_sdk --ext-suffix   # the file name ending of this interpreter's modules

scikit-build-core finds the CMake package by itself (entry point ``cmake.prefix``).
"""

import os
import sysconfig

__all__ = ["get_cflags", "get_cmake_dir", "get_ext_suffix", "get_include", "get_pkgconfig_dir",
           "get_version"]

_HERE = os.path.dirname(os.path.abspath(__file__))


def get_include() -> str:
    """The folder that holds ``tavex/tavex.hpp`` and the headers it includes."""
    return os.path.join(_HERE, "include")


def get_cmake_dir() -> str:
    """The folder that holds ``tavexConfig.cmake`` (a value for ``tavex_DIR``)."""
    return os.path.join(_HERE, "cmake")


def get_pkgconfig_dir() -> str:
    """The folder that holds ``tavex.pc`` (a value for ``PKG_CONFIG_PATH``)."""
    return os.path.join(_HERE, "pkgconfig")


def get_cflags() -> str:
    """Compiler flags for a module of this interpreter: the SDK's and Python's include folders,
    as system folders, so that a module's own warning flags do not reach into the headers."""
    dirs = [get_include()]
    for key in ("include", "platinclude"):
        path = sysconfig.get_paths().get(key)
        if path and path not in dirs:
            dirs.append(path)
    return " ".join("-isystem" + d for d in dirs)


def get_ext_suffix() -> str:
    """How the file of a module for this interpreter ends (".cpython-311-x86_64-linux-gnu.so"):
    the interpreter's own, where python3-config may be another interpreter's."""
    return sysconfig.get_config_var("EXT_SUFFIX")


def get_version() -> str:
    """The release of the installed tavex, which the SDK belongs to."""
    from importlib.metadata import version

    return version("tavex")
