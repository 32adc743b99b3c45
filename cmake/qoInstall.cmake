# Install rules: the header, the libraries, a CMake package (qo::qo) and a
# pkg-config file, plus the Debian package that carries them.
include(CMakePackageConfigHelpers)

set(QO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qo)

install(FILES ${PROJECT_SOURCE_DIR}/lib/qo.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(TARGETS qo EXPORT qoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT qoTargets NAMESPACE qo:: DESTINATION ${QO_CMAKE_DIR} COMPONENT dev)

# The shared library, with a target file of its own (qo::qo_shared), is
# installed but not carried by the -dev package.
if(QO_BUILD_SHARED)
  install(TARGETS qo_shared EXPORT qoSharedTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT qoSharedTargets NAMESPACE qo:: DESTINATION ${QO_CMAKE_DIR}
          COMPONENT runtime)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/qoConfig.cmake
                              INSTALL_DESTINATION ${QO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qoConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qoConfig.cmake ${PROJECT_BINARY_DIR}/qoConfigVersion.cmake
        DESTINATION ${QO_CMAKE_DIR} COMPONENT dev)

# The library is C++ inside: a C program linking libqo.a needs the C++
# runtime, which the static link flags carry.
# Relative to the .pc file, so that the package works wherever it lands.
file(RELATIVE_PATH QO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/qo.pc.in ${PROJECT_BINARY_DIR}/qo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qo.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libqo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qo maintainers <maintainers@users.noreply.c-seed-02560439.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "checked memory, debug log, fatal exit, shell-safe strings and commands for C and C++")
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libstdc++-12-dev | libstdc++-dev")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL dev)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqo-dev)
set(CPACK_DEBIAN_DEV_FILE_NAME DEB-DEFAULT)
include(CPack)
