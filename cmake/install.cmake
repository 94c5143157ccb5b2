# Install rules for C++ programs that use the SDK: the library, its headers under
# include/ferrun (so that "sdk/..." include paths stay as they are without a top-level "sdk"
# folder in the prefix's include directory), a CMake package (find_package(ferrun)) and a
# pkg-config file (ferrun.pc). Included by the top-level CMakeLists.txt.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ferrun_include_dir ${CMAKE_INSTALL_INCLUDEDIR}/ferrun)
set(ferrun_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/ferrun)
target_include_directories(zelk_sdk PUBLIC $<INSTALL_INTERFACE:${ferrun_include_dir}>)

install(TARGETS zelk_sdk EXPORT ferrun_targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ferrun_development
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ferrun_runtime
          NAMELINK_COMPONENT ferrun_development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ferrun_runtime)
install(DIRECTORY sdk/ DESTINATION ${ferrun_include_dir}/sdk COMPONENT ferrun_development
  FILES_MATCHING PATTERN "*.hpp")

# A static and a shared build can share a prefix: each has its own targets file and the
# package config picks one.
if(BUILD_SHARED_LIBS)
  set(ferrun_library_kind shared)
else()
  set(ferrun_library_kind static)
endif()
install(EXPORT ferrun_targets NAMESPACE ferrun:: DESTINATION ${ferrun_cmake_dir}
  FILE ferrun-${ferrun_library_kind}-targets.cmake COMPONENT ferrun_development)
configure_package_config_file(cmake/ferrun-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/ferrun-config.cmake INSTALL_DESTINATION ${ferrun_cmake_dir})
# 0.x minor releases may break compatibility, so find_package(ferrun 0.1) accepts 0.1.*.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ferrun-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ferrun-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/ferrun-config-version.cmake
  DESTINATION ${ferrun_cmake_dir} COMPONENT ferrun_development)

# pkg-config: paths relative to the file's own folder, so the prefix can move (unless the
# install folders are given as absolute paths).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ferrun_pc_prefix "${CMAKE_INSTALL_PREFIX}")
  set(ferrun_pc_libdir "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(ferrun_pc_includedir "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH ferrun_pc_up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" ferrun_pc_up "${ferrun_pc_up}")
  set(ferrun_pc_prefix "\${pcfiledir}/${ferrun_pc_up}")
  set(ferrun_pc_libdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(ferrun_pc_includedir "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# Compilers search the standard include folders already; naming one of them again breaks
# #include_next in the C++ library's headers.
set(ferrun_pc_cflags "-I\${includedir}/ferrun -DASIO_STANDALONE -pthread")
if(NOT ASIO_INCLUDE_DIR IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
  string(APPEND ferrun_pc_cflags " -isystem ${ASIO_INCLUDE_DIR}")
endif()
set(ferrun_pc_libs "-L\${libdir} -lzelk_sdk -pthread")
if(WIN32)
  string(PREPEND ferrun_pc_cflags "-D_WIN32_WINNT=0x0A00 ")
  string(APPEND ferrun_pc_libs " -lws2_32")
endif()
configure_file(cmake/ferrun.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ferrun.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ferrun.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ferrun_development)
