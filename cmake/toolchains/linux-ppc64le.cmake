# Wheels for Linux ppc64le, cross-built with Debian's g++-powerpc64le-linux-gnu (scripts/wheels.sh
# adds TAVEX_GLIBC_STUBS, Python_INCLUDE_DIR and the target's extension suffix).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(CMAKE_CXX_COMPILER powerpc64le-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
