# What `cmake --install` puts in, and what the Debian package (./run package) carries:
# the library with its soname, the mapping file beside it (data/), the headers, the two
# programs stripped, the CMake package, the pkg-config file, the manual pages, the bash
# completion, the Python module, the systemd units for watching a modem and for the
# gateway service, and an example of the service's configuration.
#
# Paths are relative to the prefix, which can change between configuring and installing
# (cmake --install --prefix, or CPack's /usr); what must name the prefix is made at install
# time, when CMAKE_INSTALL_PREFIX is the one the files will have (DESTDIR aside).
include(CMakePackageConfigHelpers)

option(SELVARN_INSTALL_STRIP "Strip the programs and the library when installing" ON)
set(SELVARN_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/SelvarnSMS)

# Debug info stays in the build tree; the installed programs carry none (51 MB -> a few).
if(SELVARN_INSTALL_STRIP)
  install(CODE "if(NOT CMAKE_INSTALL_DO_STRIP)\n  set(CMAKE_INSTALL_DO_STRIP 1)\nendif()")
endif()

install(TARGETS selvarnsms EXPORT SelvarnSMSTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
foreach(program selvarn-sms selvarn-modemsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# find_package(SelvarnSMS) -> the imported target SelvarnSMS::selvarnsms.
install(EXPORT SelvarnSMSTargets NAMESPACE SelvarnSMS:: DESTINATION ${SELVARN_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SelvarnSMSConfig.cmake.in
  ${CMAKE_BINARY_DIR}/SelvarnSMSConfig.cmake INSTALL_DESTINATION ${SELVARN_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/SelvarnSMSConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/SelvarnSMSConfig.cmake
  ${CMAKE_BINARY_DIR}/SelvarnSMSConfigVersion.cmake DESTINATION ${SELVARN_CMAKEDIR})

# Files that name the prefix are made at install time, each in a folder of its own per
# destination so that installs running side by side (the tests, the package) never hand
# each other their copy. In TEMPLATE, @SELVARN_PREFIX@ is the prefix; other @VAR@s are
# filled now.
function(selvarn_install_with_prefix template destination)
  get_filename_component(name ${template} NAME_WLE)
  set(SELVARN_PREFIX "@SELVARN_PREFIX@")
  configure_file(${template} ${CMAKE_BINARY_DIR}/prefixed/${name}.in @ONLY)
  install(CODE "
    set(SELVARN_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    string(MD5 destination \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(made \"${CMAKE_BINARY_DIR}/prefixed/\${destination}/${name}\")
    configure_file(\"${CMAKE_BINARY_DIR}/prefixed/${name}.in\" \"\${made}\" @ONLY)
    file(INSTALL \"\${made}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\")
    file(REMOVE_RECURSE \"${CMAKE_BINARY_DIR}/prefixed/\${destination}\")
  ")
endfunction()

selvarn_install_with_prefix(${CMAKE_CURRENT_LIST_DIR}/selvarn-sms.pc.in
  ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages, made from the programs' --help by help2man whenever a program changes.
# Left out of the sanitizer and fuzzing trees, whose programs are not installed.
find_program(SELVARN_HELP2MAN help2man)
if(NOT SELVARN_SANITIZE AND NOT SELVARN_FUZZ AND TARGET selvarn-sms AND TARGET selvarn-modemsim)
  if(NOT SELVARN_HELP2MAN)
    message(WARNING "help2man missing: no manual pages (./run deps installs it)")
  else()
    set(pages)
    foreach(page "selvarn-sms|send and read SMS through a GSM modem|selvarn-modemsim(1)"
                 "selvarn-modemsim|a GSM modem simulated on a pseudo-terminal|selvarn-sms(1)")
      string(REPLACE "|" ";" page "${page}")
      list(GET page 0 program)
      list(GET page 1 summary)
      list(GET page 2 see_also)
      set(out ${CMAKE_BINARY_DIR}/man/${program}.1)
      add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${SELVARN_HELP2MAN} -DPROGRAM=$<TARGET_FILE:${program}>
                "-DNAME=${summary}" "-DSEE_ALSO=${see_also}" -DOUTPUT=${out}
                -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
        DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
        COMMENT "Writing the manual page of ${program}" VERBATIM)
      list(APPEND pages ${out})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

install(FILES tools/cli/selvarn-sms.bash RENAME selvarn-sms
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The Python module goes where the system's interpreter looks for the prefix in use:
# Debian's python3 reads /usr/lib/python3/dist-packages and
# /usr/local/lib/python3.X/dist-packages; others lib/python3.X/site-packages. A personal
# interpreter first on the builder's PATH (pyenv, a virtual environment) is not asked.
find_program(SELVARN_INSTALL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT SELVARN_INSTALL_PYTHON)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(SELVARN_INSTALL_PYTHON ${Python3_EXECUTABLE})
endif()
execute_process(COMMAND ${SELVARN_INSTALL_PYTHON} -c
  "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); print('deb_system' in sysconfig.get_scheme_names())"
  OUTPUT_VARIABLE python OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" python "${python}")
list(GET python 0 version)
list(GET python 1 debian)
if(debian STREQUAL "True")
  set(site lib/python${version}/dist-packages)
  set(usr_site lib/python3/dist-packages)
else()
  set(site lib/python${version}/site-packages)
  set(usr_site ${site})
endif()
install(CODE "
  set(site ${site})
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(site ${usr_site})
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/bindings/python/selvarn_sms.py\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${site}\")
")

# watch as a service, one instance per modem: selvarn-sms-watch@ttyUSB0 watches /dev/ttyUSB0.
selvarn_install_with_prefix(${PROJECT_SOURCE_DIR}/data/selvarn-sms-watch@.service.in
  lib/systemd/system)
# The gateway service (selvarn-sms serve), and an example of its configuration.
selvarn_install_with_prefix(${PROJECT_SOURCE_DIR}/data/selvarn-sms.service.in lib/systemd/system)
install(FILES data/gateway.toml.example DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/selvarn-sms)

# A library put straight into the system (no DESTDIR) is known to the loader at once, as a
# package's is; without the rights to do so, ldconfig fails and nothing else changes.
find_program(SELVARN_LDCONFIG ldconfig PATHS /sbin /usr/sbin)
if(SELVARN_LDCONFIG)
  install(CODE "
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
      execute_process(COMMAND \"${SELVARN_LDCONFIG}\" RESULT_VARIABLE ignored ERROR_QUIET)
    endif()
  ")
endif()
