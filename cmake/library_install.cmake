# Installing the library the way C and C++ users expect (component "dev", the
# -dev Debian package): the header, the library, a CMake package
# (find_package(tolbrek5) gives tolbrek5::tolbrek5) and a pkg-config file.
# Included from the top-level CMakeLists.txt after GNUInstallDirs.
include(CMakePackageConfigHelpers)

set(TOLBREK5_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tolbrek5)
set(TOLBREK5_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS tolbrek5_library EXPORT tolbrek5Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev NAMELINK_COMPONENT dev)
install(FILES include/tolbrek5/tolbrek5.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolbrek5 COMPONENT dev)

# The CMake package: the exported target, a config file and a version file
# (any 5.x release satisfies a request for 5.y with y <= x).
install(EXPORT tolbrek5Targets NAMESPACE tolbrek5::
  DESTINATION ${TOLBREK5_CMAKE_PACKAGE_DIR} COMPONENT dev)
configure_package_config_file(cmake/tolbrek5Config.cmake.in
  ${PROJECT_BINARY_DIR}/tolbrek5Config.cmake
  INSTALL_DESTINATION ${TOLBREK5_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tolbrek5ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tolbrek5Config.cmake
  ${PROJECT_BINARY_DIR}/tolbrek5ConfigVersion.cmake
  DESTINATION ${TOLBREK5_CMAKE_PACKAGE_DIR} COMPONENT dev)

# The pkg-config file finds the prefix from its own place (${pcfiledir}), so
# the tree works wherever it is installed (cmake --install --prefix, DESTDIR,
# the Debian package). A static library is C++ inside: a C program linking it
# needs the C++ runtime, which --static adds.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TOLBREK5_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(TOLBREK5_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(TOLBREK5_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH up /root/${TOLBREK5_PKGCONFIG_DIR} /root)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(TOLBREK5_PC_PREFIX "\${pcfiledir}/${up}")
  set(TOLBREK5_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(TOLBREK5_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(BUILD_SHARED_LIBS)
  set(TOLBREK5_PC_CFLAGS " -DTOLBREK5_SHARED_LIBRARY")
  set(TOLBREK5_PC_LIBS_PRIVATE "")
else()
  set(TOLBREK5_PC_CFLAGS "")
  set(TOLBREK5_PC_LIBS_PRIVATE "-lstdc++ -lm")
endif()
configure_file(cmake/tolbrek5.pc.in ${PROJECT_BINARY_DIR}/tolbrek5.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tolbrek5.pc DESTINATION ${TOLBREK5_PKGCONFIG_DIR} COMPONENT dev)
