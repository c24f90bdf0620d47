# Writes a text file into a C++ header as a raw string literal, for the sources that embed a
# file of the tree (src/types/pypy.cpp embeds src/types/pypy_records.py):
#     cmake -DIN=<file> -DOUT=<header> -DNAME=<C++ name> [-DFILENAME=<name shown>] -P embed.cmake
# The header defines `inline constexpr char NAME[]` (the text) and `NAMEFile` (FILENAME, by
# default IN as given), and is rewritten only when it would change.
foreach(var IN ITEMS IN OUT NAME)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed.cmake: -D${var}=... is missing")
  endif()
endforeach()
if(NOT DEFINED FILENAME)
  set(FILENAME ${IN})
endif()
file(READ ${IN} text)
set(delimiter "tavex_embed")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "embed.cmake: ${IN} holds the raw string's end, )${delimiter}\"")
endif()
set(header "// Generated from ${FILENAME} by cmake/embed.cmake; edit that file instead.
#pragma once
inline constexpr char ${NAME}File[] = \"${FILENAME}\";
inline constexpr char ${NAME}[] = R\"${delimiter}(${text})${delimiter}\";
")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
  if(old STREQUAL header)
    return()
  endif()
endif()
file(WRITE ${OUT} "${header}")
