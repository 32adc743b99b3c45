# Install rules: the header, the libraries, a CMake package (qo::qo), a
# pkg-config file and the manual pages. scripts/package makes the Debian
# packages from them.
include(CMakePackageConfigHelpers)

set(QO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qo)

# include/ is what is installed, as it is: qo.h and qo.hpp, and the parts
# they include under qo/.
install(FILES ${PROJECT_SOURCE_DIR}/include/qo.h ${PROJECT_SOURCE_DIR}/include/qo.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qo
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
        FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

# The runtime component is what a program needs to run (libqo.so.1); dev
# is what building against qo needs.
install(TARGETS qo EXPORT qoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT qoTargets NAMESPACE qo:: DESTINATION ${QO_CMAKE_DIR} COMPONENT dev)

# The library of the other kind, when built, has a target file of its own
# (qo::qo_shared or qo::qo_static), read by qoConfig.cmake when present.
foreach(extra qo_shared qo_static)
  if(TARGET ${extra})
    install(TARGETS ${extra} EXPORT qoExtraTargets
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
            INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
    install(EXPORT qoExtraTargets NAMESPACE qo:: DESTINATION ${QO_CMAKE_DIR} COMPONENT dev)
  endif()
endforeach()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/qoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/qoConfig.cmake
                              INSTALL_DESTINATION ${QO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qoConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qoConfig.cmake ${PROJECT_BINARY_DIR}/qoConfigVersion.cmake
        DESTINATION ${QO_CMAKE_DIR} COMPONENT dev)

# qo.pc names its prefix literally, as pkg-config expects: only then does
# it know /usr/include and the multiarch folder for system folders and leave
# them out of the flags. The prefix is written at install time, when
# "cmake --install --prefix" has had its say; DESTDIR is not part of it.
foreach(dir INCLUDEDIR LIBDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QO_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QO_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(QO_PC_PREFIX "@QO_PC_PREFIX@") # kept for the install-time pass
configure_file(${CMAKE_CURRENT_LIST_DIR}/qo.pc.in ${PROJECT_BINARY_DIR}/qo.pc.in @ONLY)
install(CODE "set(QO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/qo.pc.in\" \"${PROJECT_BINARY_DIR}/qo.pc\" @ONLY)"
        COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/qo.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# What a user reads first, beside the manual pages.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
install(FILES ${PROJECT_SOURCE_DIR}/examples/hello.c ${PROJECT_SOURCE_DIR}/examples/hello.cpp
              ${PROJECT_SOURCE_DIR}/examples/progress.c
              ${PROJECT_SOURCE_DIR}/examples/parallel.c
              ${PROJECT_SOURCE_DIR}/examples/snapshot.c
              ${PROJECT_SOURCE_DIR}/examples/progress.cpp
              ${PROJECT_SOURCE_DIR}/examples/supervise.cpp
              ${PROJECT_SOURCE_DIR}/examples/diskreport.cpp
              ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT doc)

# The manual pages, and a link for every other name a page gives in its
# NAME section, so that "man qo_stresc" opens the strings page.
set(qo_man_links ${PROJECT_BINARY_DIR}/man3)
file(REMOVE_RECURSE ${qo_man_links})
file(MAKE_DIRECTORY ${qo_man_links})
file(GLOB qo_man_pages ${PROJECT_SOURCE_DIR}/man/*.3)
foreach(page ${qo_man_pages})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
  get_filename_component(page_file ${page} NAME)
  # The names: from ".SH NAME" up to " \- ".
  file(READ ${page} text)
  string(FIND "${text}" ".SH NAME\n" start)
  string(FIND "${text}" " \\- " end)
  if(start LESS 0 OR end LESS start)
    message(FATAL_ERROR "${page}: no NAME section")
  endif()
  math(EXPR length "${end} - ${start} - 9")
  math(EXPR start "${start} + 9")
  string(SUBSTRING "${text}" ${start} ${length} names)
  string(REGEX REPLACE "[,\n ]+" ";" names "${names}")
  foreach(name ${names})
    if(NOT "${name}.3" STREQUAL page_file)
      file(CREATE_LINK ${page_file} ${qo_man_links}/${name}.3 SYMBOLIC)
      install(FILES ${qo_man_links}/${name}.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3
              COMPONENT dev)
    endif()
  endforeach()
endforeach()
