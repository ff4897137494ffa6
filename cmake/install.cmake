# Installation: the shared library libbqx.so.1 (with its libbqx.so link), the
# public header, the programs bqx_test and bqx_sample, a pkg-config file and
# a CMake package with the imported target bqx::bqx. The static archive and
# the test programs stay in the build tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(BQX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/bqx)
set(BQX_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The installed target finds its header under the prefix.
target_include_directories(bqx INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# Installed programs find the library beside them (bin/../lib), wherever the
# prefix is; the build tree keeps its own RPATH.
file(RELATIVE_PATH BQX_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set_target_properties(bqx_test bqx_sample PROPERTIES INSTALL_RPATH "$ORIGIN/${BQX_BIN_TO_LIB}")

install(TARGETS bqx EXPORT bqxTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/bqx.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS bqx_test bqx_sample RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# CMake package: bqxConfig.cmake, its version file (it satisfies a request
# for the same major version up to this one) and the exported target bqx::bqx.
install(EXPORT bqxTargets NAMESPACE bqx:: DESTINATION ${BQX_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/bqxConfig.cmake.in
  ${CMAKE_BINARY_DIR}/bqxConfig.cmake INSTALL_DESTINATION ${BQX_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/bqxConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/bqxConfig.cmake ${CMAKE_BINARY_DIR}/bqxConfigVersion.cmake
  DESTINATION ${BQX_CMAKE_DIR})

# pkg-config: the prefix is taken from where bqx.pc lies, so that an install
# with `cmake --install --prefix DIR` points at DIR, not at the configured
# prefix. An absolute libdir or includedir is written as it is.
function(bqx_pc_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(BQX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH BQX_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" BQX_PC_TO_PREFIX "${BQX_PC_TO_PREFIX}")
  set(BQX_PC_PREFIX "\${pcfiledir}/${BQX_PC_TO_PREFIX}")
endif()
bqx_pc_path(BQX_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
bqx_pc_path(BQX_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
# What a static link would need beyond -lbqx: OpenSSL, threads and the
# decompressors this build found.
set(BQX_PC_LIBS_PRIVATE -lssl -lcrypto -lpthread)
foreach(codec ${BQX_CODECS_FOUND})
  if(codec STREQUAL "gzip")
    list(APPEND BQX_PC_LIBS_PRIVATE -lz)
  else()
    list(APPEND BQX_PC_LIBS_PRIVATE -l${codec})
  endif()
endforeach()
list(JOIN BQX_PC_LIBS_PRIVATE " " BQX_PC_LIBS_PRIVATE)
configure_file(${CMAKE_SOURCE_DIR}/cmake/bqx.pc.in ${CMAKE_BINARY_DIR}/bqx.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/bqx.pc DESTINATION ${BQX_PKGCONFIG_DIR})
