# How a module of this project links its C++ runtime, shared by tavex and tavex_testing.
#
# Default: libstdc++ and libgcc linked in and kept private. Loading libstdc++ would cost most of
# the import time, and no symbol of it leaks out to other modules.
#
# TAVEX_GLIBC_STUBS (a folder holding the interface of an old glibc: libc.so.6, libm.so.6 and
# libld.so.2, as scripts/wheels.sh makes them): the same compiler and flags, but the module links
# against that glibc's symbol versions, so that it loads on every glibc since (the manylinux
# wheels). libgcc's unwinder then comes from the system's libgcc_s, which every glibc system has
# (the static copy needs glibc 2.35's _dl_find_object); the few newer glibc functions that the
# static libstdc++ names are provided by cmake/glibc_compat.cpp.
set(TAVEX_GLIBC_STUBS "" CACHE PATH "Link against the glibc interface in this folder (wheels)")
set(TAVEX_RUNTIME_DIR ${CMAKE_CURRENT_LIST_DIR})

function(tavex_link_runtime target)
  if(TAVEX_SANITIZE)
    return()
  endif()
  if(TAVEX_GLIBC_STUBS)
    target_sources(${target} PRIVATE ${TAVEX_RUNTIME_DIR}/glibc_compat.cpp)
    # The libraries go after the objects (link options would come before them).
    target_link_options(${target} PRIVATE -nodefaultlibs LINKER:--exclude-libs,ALL)
    # By -L and -l: a library named by its path would give the build tree an rpath to the stubs.
    target_link_libraries(${target} PRIVATE -Wl,-Bstatic stdc++ -Wl,-Bdynamic
      -L${TAVEX_GLIBC_STUBS} -l:libm.so.6 -l:libc.so.6 -l:libld.so.2 gcc_s gcc)
  else()
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc LINKER:--exclude-libs,ALL)
  endif()
  # A cross build names the module for the target interpreter (scikit-build-core takes the
  # suffix from SETUPTOOLS_EXT_SUFFIX), not for the interpreter that runs the build.
  if(CMAKE_CROSSCOMPILING AND SKBUILD_SOABI)
    set_target_properties(${target} PROPERTIES SUFFIX ".${SKBUILD_SOABI}.so")
  endif()
endfunction()
