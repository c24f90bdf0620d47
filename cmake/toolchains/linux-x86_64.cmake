# Wheels for Linux x86-64: the host's g++ (scripts/wheels.sh adds TAVEX_GLIBC_STUBS).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER g++)
