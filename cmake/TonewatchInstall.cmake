# Installation: the two shared libraries with their headers, pkg-config files
# and a CMake package, the host tools, and a Debian package through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tonewatch tonedial EXPORT TonewatchTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Runtime)
install(FILES include/tonewatch.h include/tonedial.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS dtmf-listen dtmf-dial dtmf-scan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT TonewatchTargets NAMESPACE Tonewatch:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tonewatch)
configure_package_config_file(cmake/TonewatchConfig.cmake.in ${PROJECT_BINARY_DIR}/TonewatchConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tonewatch)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TonewatchConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TonewatchConfig.cmake ${PROJECT_BINARY_DIR}/TonewatchConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tonewatch)

# The .pc files find the prefix from where they lie, so that an install tree
# can be moved (or installed with --prefix) and still be used.
file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCDIR "${PC_PREFIX_FROM_PCDIR}")
foreach(library tonewatch tonedial)
  set(PC_NAME ${library})
  if(library STREQUAL tonewatch)
    set(PC_DESCRIPTION "Detects DTMF key presses on the default audio input")
  else()
    set(PC_DESCRIPTION "Dials DTMF digit strings as tones on the default audio output")
  endif()
  configure_file(cmake/library.pc.in ${PROJECT_BINARY_DIR}/${library}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${library}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

set(CPACK_PACKAGE_NAME tonewatch)
set(CPACK_PACKAGE_VENDOR "Tonewatch developers")
set(CPACK_PACKAGE_CONTACT "Tonewatch developers <tonewatch@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DTMF detection and dialling libraries for host programs")
set(CPACK_PACKAGE_DESCRIPTION "libtonewatch listens to the default audio input and reports DTMF key presses;
libtonedial dials digit strings as DTMF tones. With the host tools dtmf-listen,
dtmf-dial and dtmf-scan.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_STRIP_FILES ON)
# Dependencies from the libraries the binaries actually link (dpkg-shlibdeps),
# and a shlibs file plus the ldconfig trigger for the two libraries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# ALSA's "default" reaches PulseAudio and PipeWire on desktops through these.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libasound2-plugins)
include(CPack)
