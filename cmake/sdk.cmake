# The SDK for native consumers, laid out in the build tree exactly as it is installed
# (site-packages/tavex_sdk/): include/tavex/*.hpp, cmake/ (the package tavex) and pkgconfig/.
# tavex_testing is built against this copy, as a downstream module is.
set(TAVEX_SDK_DIR ${CMAKE_BINARY_DIR}/sdk)
file(GLOB TAVEX_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/tavex/*.hpp)
foreach(header IN LISTS TAVEX_PUBLIC_HEADERS)
  get_filename_component(name ${header} NAME)
  configure_file(${header} ${TAVEX_SDK_DIR}/include/tavex/${name} COPYONLY)
endforeach()
# The file name ending of this interpreter's modules, for consumers that do not get it from
# their own Python tooling: the wheel, and so the SDK in it, belongs to this interpreter.
execute_process(
  COMMAND ${Python_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"
  OUTPUT_VARIABLE TAVEX_EXT_SUFFIX OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT TAVEX_EXT_SUFFIX)
  message(FATAL_ERROR "${Python_EXECUTABLE} names no extension suffix (EXT_SUFFIX)")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/tavexConfig.cmake.in
               ${TAVEX_SDK_DIR}/cmake/tavexConfig.cmake @ONLY)
include(CMakePackageConfigHelpers)
# 0.x: a new minor release may change the record layouts.
write_basic_package_version_file(${TAVEX_SDK_DIR}/cmake/tavexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tavex.pc.in ${TAVEX_SDK_DIR}/pkgconfig/tavex.pc @ONLY)
install(DIRECTORY ${TAVEX_SDK_DIR}/ DESTINATION tavex_sdk)
