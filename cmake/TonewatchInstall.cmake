# Installation: the two shared libraries with their headers, pkg-config files
# and a CMake package, and the host tools with their manual pages.
#
# Every install rule names one of these components; each component is one
# Debian package (debian/rules installs them one by one, and fails the build if
# a file lands in none):
#   tonewatch  libtonewatch0     libtonewatch.so.0
#   tonedial   libtonedial0      libtonedial.so.0
#   dev        libtonewatch-dev  headers, .so links, pkg-config files, CMake package
#   tools      tonewatch-tools   dtmf-listen, dtmf-dial, dtmf-scan, dtmf-roundtrip
#                                and their manual pages (tools/*.1)
include(CMakePackageConfigHelpers)

install(TARGETS tonewatch EXPORT TonewatchTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tonewatch NAMELINK_COMPONENT dev)
install(TARGETS tonedial EXPORT TonewatchTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tonedial NAMELINK_COMPONENT dev)
install(FILES include/tonewatch.h include/tonedial.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(TARGETS dtmf-listen dtmf-dial dtmf-scan dtmf-roundtrip RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
file(GLOB TONEWATCH_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/*.1)
if(TONEWATCH_MAN_PAGES)
  install(FILES ${TONEWATCH_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()

set(TONEWATCH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tonewatch)
install(EXPORT TonewatchTargets NAMESPACE Tonewatch:: DESTINATION ${TONEWATCH_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/TonewatchConfig.cmake.in ${PROJECT_BINARY_DIR}/TonewatchConfig.cmake
                              INSTALL_DESTINATION ${TONEWATCH_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TonewatchConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TonewatchConfig.cmake ${PROJECT_BINARY_DIR}/TonewatchConfigVersion.cmake
        DESTINATION ${TONEWATCH_CMAKE_DIR} COMPONENT dev)

# The .pc files name the prefix they are installed under, which is known only
# when installing (cmake --install --prefix may change it): with prefix=/usr,
# pkg-config knows /usr/include and the multiarch library folder for the
# system folders they are and leaves them out of the flags.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
foreach(library tonewatch tonedial)
  set(PC_NAME ${library})
  if(library STREQUAL tonewatch)
    set(PC_DESCRIPTION "Detects DTMF key presses on the default audio input")
  else()
    set(PC_DESCRIPTION "Dials DTMF digit strings as tones on the default audio output")
  endif()
  set(pc ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc)
  configure_file(cmake/library.pc.in ${pc}.in @ONLY)
  install(CODE "file(READ \"${pc}.in\" pc)
                string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
                file(WRITE \"${pc}\" \"\${pc}\")"
          COMPONENT dev)
  install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()
