# Installation: the three shared libraries with their headers, manual pages,
# pkg-config files and a CMake package, and the host tools with their manual
# pages.
#
# Every install rule names one of these components; each component is one
# Debian package (debian/rules installs them one by one, and fails the build if
# a file lands in none):
#   tonewatch  libtonewatch0     libtonewatch.so.0
#   tonedial   libtonedial0      libtonedial.so.0
#   tonescan   libtonescan0      libtonescan.so.0 and its FFmpeg reader (tonescan/ffmpeg.so)
#   dev        libtonewatch-dev  headers, .so links, pkg-config files, CMake package,
#                                the libraries' manual pages (man/*.3)
#   tools      tonewatch-tools   dtmf-listen, dtmf-dial, dtmf-scan, dtmf-redact, dtmf-roundtrip
#                                and their manual pages (tools/*.1)
include(CMakePackageConfigHelpers)

install(TARGETS tonewatch EXPORT TonewatchTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tonewatch NAMELINK_COMPONENT dev)
install(TARGETS tonedial EXPORT TonewatchTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tonedial NAMELINK_COMPONENT dev)
install(TARGETS tonescan EXPORT TonewatchTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tonescan NAMELINK_COMPONENT dev)
# libtonescan's FFmpeg reader, which it finds next to itself.
if(TARGET tonescan_ffmpeg)
  install(TARGETS tonescan_ffmpeg LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tonescan COMPONENT tonescan)
endif()
install(FILES include/tonewatch.h include/tonedial.h include/tonescan.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)

# One page per library, and each function's name as a link to its page, so
# that `man tonescan_detector_feed_i16` finds it.
set(man3 ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES man/tonewatch.3 man/tonedial.3 man/tonescan.3 DESTINATION ${man3} COMPONENT dev)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man3)
foreach(page tonewatch tonedial tonescan)
  tonewatch_header_functions(include/${page}.h functions)
  foreach(function IN LISTS functions)
    set(link ${PROJECT_BINARY_DIR}/man3/${function}.3)
    file(CREATE_LINK ${page}.3 ${link} SYMBOLIC)
    install(FILES ${link} DESTINATION ${man3} COMPONENT dev)
  endforeach()
endforeach()

install(TARGETS dtmf-listen dtmf-dial dtmf-scan dtmf-redact dtmf-roundtrip RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
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
# libtonescan links libsndfile, libsoxr, libFLAC and FFmpeg privately and is installed
# only as a shared library: a host links it alone, so its file names no
# private requirements (pkg-config would then need their -dev packages merely
# to give --cflags, and a static link is impossible without an archive).
foreach(library tonewatch tonedial tonescan)
  set(PC_NAME ${library})
  if(library STREQUAL tonewatch)
    set(PC_DESCRIPTION "Detects DTMF key presses on the default audio input")
  elseif(library STREQUAL tonedial)
    set(PC_DESCRIPTION "Dials DTMF digit strings as tones on the default audio output")
  else()
    set(PC_DESCRIPTION "Finds DTMF key presses in audio streams and files")
  endif()
  set(pc ${PROJECT_BINARY_DIR}/pkgconfig/${library}.pc)
  configure_file(cmake/library.pc.in ${pc}.in @ONLY)
  install(CODE "file(READ \"${pc}.in\" pc)
                string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
                file(WRITE \"${pc}\" \"\${pc}\")"
          COMPONENT dev)
  install(FILES ${pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()
