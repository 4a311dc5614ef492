# Installation tree and packages: `cmake --install` (component "runtime") lays out what an installation needs,
# never the test programs; CPack makes a .deb on Linux and a .zip on Windows from it.
#
# TSL_INSTALL_LAYOUT chooses the tree:
#   tree    the installation as the program expects it, under the prefix: bin/ (program, security library,
#           bootstrap and logging files), configuration/, logs/, temp/. The Windows zip, and hand installs.
#   debian  the same installation in Debian's places, for the .deb (prefix "/"): the program in
#           /usr/lib/tslbootstrapservice/bin; the files an administrator edits in /etc/tslbootstrapservice,
#           where dpkg keeps them across upgrades; logs in /var/log/tslbootstrapservice; the temporary folder in
#           /var/lib/tslbootstrapservice/temp. /usr/lib/tslbootstrapservice holds links to them by the names
#           that the program looks for (configuration, logs, temp and the bin/*.xml files).
set(TSL_INSTALL_LAYOUT tree CACHE STRING "Installation layout: 'tree' or, on Linux, 'debian' (the .deb)")
set_property(CACHE TSL_INSTALL_LAYOUT PROPERTY STRINGS tree debian)
if(NOT TSL_INSTALL_LAYOUT MATCHES "^(tree|debian)$" OR (WIN32 AND TSL_INSTALL_LAYOUT STREQUAL "debian"))
  message(FATAL_ERROR "TSL_INSTALL_LAYOUT must be 'tree' or, on Linux, 'debian'")
endif()

set(TSL_PACKAGE_MAINTAINER "Vandix Tessel maintainers <tessel-maintainers@vandix.example>"
  CACHE STRING "Maintainer named in the packages")

if(WIN32)
  set(TSL_PLATFORM_NAME winx64)
else()
  set(TSL_PLATFORM_NAME linuxx64)
endif()
# The sample bootstrap files of this platform, and the logging configuration: documented examples that the
# administrator edits to run the real servers.
file(GLOB TSL_SAMPLE_BIN_FILES ${PROJECT_SOURCE_DIR}/examples/bin/bootstrap_*${TSL_PLATFORM_NAME}.xml)
list(APPEND TSL_SAMPLE_BIN_FILES ${PROJECT_SOURCE_DIR}/examples/bin/trqlogconfig.xml)
set(TSL_SAMPLE_CONFIGURATION_FILES
  ${PROJECT_SOURCE_DIR}/examples/configuration/tslstartup.xml
  ${PROJECT_SOURCE_DIR}/examples/configuration/trqEnvironmentVars.ini
  ${PROJECT_SOURCE_DIR}/examples/configuration/tslconfig.prefs)

if(TSL_INSTALL_LAYOUT STREQUAL "debian")
  if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX / CACHE PATH "Installation prefix" FORCE)
  endif()
  set(TSL_ROOT_DIR usr/lib/${PROJECT_NAME})
  set(TSL_BIN_DIR ${TSL_ROOT_DIR}/bin)
  set(TSL_ETC_DIR etc/${PROJECT_NAME})
  set(TSL_LOG_DIR var/log/${PROJECT_NAME})
  set(TSL_TEMP_DIR var/lib/${PROJECT_NAME}/temp)
  set(TSL_DOC_DIR usr/share/doc/${PROJECT_NAME})
  set(TSL_BIN_FILES_DIR ${TSL_ETC_DIR})
  set(TSL_CONFIGURATION_DIR ${TSL_ETC_DIR})
else()
  set(TSL_BIN_DIR bin)
  set(TSL_BIN_FILES_DIR bin)
  set(TSL_CONFIGURATION_DIR configuration)
  set(TSL_LOG_DIR logs)
  set(TSL_TEMP_DIR temp)
endif()

install(TARGETS tslbootstrapservice RUNTIME DESTINATION ${TSL_BIN_DIR} COMPONENT runtime)
if(TARGET JOV_Crypto_Interface)
  install(TARGETS JOV_Crypto_Interface
    RUNTIME DESTINATION ${TSL_BIN_DIR} COMPONENT runtime
    LIBRARY DESTINATION ${TSL_BIN_DIR} COMPONENT runtime)
endif()
install(FILES ${TSL_SAMPLE_BIN_FILES} DESTINATION ${TSL_BIN_FILES_DIR} COMPONENT runtime)
install(FILES ${TSL_SAMPLE_CONFIGURATION_FILES} DESTINATION ${TSL_CONFIGURATION_DIR} COMPONENT runtime)
# The service writes its logs, process-id files and temporary files there; it does not create the logs folder.
install(DIRECTORY DESTINATION ${TSL_LOG_DIR} COMPONENT runtime)
install(DIRECTORY DESTINATION ${TSL_TEMP_DIR} COMPONENT runtime)

if(TSL_INSTALL_LAYOUT STREQUAL "debian")
  # The Debian revision comes from the package's changelog, whose upstream version must be the program's.
  set(TSL_DEBIAN_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TSL_DEBIAN_CHANGELOG})
  file(STRINGS ${TSL_DEBIAN_CHANGELOG} TSL_CHANGELOG_HEAD LIMIT_COUNT 1)
  if(NOT TSL_CHANGELOG_HEAD MATCHES "^${PROJECT_NAME} \\(([^)-]+)-([^)]+)\\)")
    message(FATAL_ERROR "${TSL_DEBIAN_CHANGELOG}: the first line must read \"${PROJECT_NAME} (<version>-<revision>) ...\"")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${TSL_DEBIAN_CHANGELOG} starts with version ${CMAKE_MATCH_1}, the program is ${PROJECT_VERSION}: "
      "add a changelog entry for ${PROJECT_VERSION}")
  endif()
  set(TSL_DEBIAN_REVISION ${CMAKE_MATCH_2})

  set(TSL_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
  file(MAKE_DIRECTORY ${TSL_PACKAGING_DIR})
  # Debian wants the changelog compressed at the highest level, without a time stamp.
  execute_process(COMMAND gzip -9nc ${TSL_DEBIAN_CHANGELOG} OUTPUT_FILE ${TSL_PACKAGING_DIR}/changelog.Debian.gz
    RESULT_VARIABLE TSL_GZIP_RESULT)
  if(NOT TSL_GZIP_RESULT EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${TSL_DEBIAN_CHANGELOG}: ${TSL_GZIP_RESULT}")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${TSL_PACKAGING_DIR}/changelog.Debian.gz
    DESTINATION ${TSL_DOC_DIR} COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides DESTINATION usr/share/lintian/overrides
    RENAME ${PROJECT_NAME} COMPONENT runtime)

  # Every file in /etc is a configuration file: dpkg keeps an administrator's changes on upgrade.
  set(TSL_CONFFILES "")
  set(TSL_LINKS "${TSL_ROOT_DIR}/configuration=/${TSL_ETC_DIR}" "${TSL_ROOT_DIR}/logs=/${TSL_LOG_DIR}"
    "${TSL_ROOT_DIR}/temp=/${TSL_TEMP_DIR}")
  foreach(file ${TSL_SAMPLE_BIN_FILES} ${TSL_SAMPLE_CONFIGURATION_FILES})
    get_filename_component(name ${file} NAME)
    string(APPEND TSL_CONFFILES "/${TSL_ETC_DIR}/${name}\n")
  endforeach()
  foreach(file ${TSL_SAMPLE_BIN_FILES})
    get_filename_component(name ${file} NAME)
    list(APPEND TSL_LINKS "${TSL_BIN_DIR}/${name}=/${TSL_ETC_DIR}/${name}")
  endforeach()
  file(WRITE ${TSL_PACKAGING_DIR}/conffiles "${TSL_CONFFILES}")

  # Absolute links, as Debian wants them between top-level folders.
  install(CODE "
    foreach(link ${TSL_LINKS})
      string(REPLACE \"=\" \";\" link \"\${link}\")
      list(GET link 0 name)
      list(GET link 1 target)
      set(name \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${name}\")
      message(STATUS \"Installing: \${name} -> \${target}\")
      file(REMOVE \"\${name}\")
      file(CREATE_LINK \"\${target}\" \"\${name}\" SYMBOLIC)
    endforeach()" COMPONENT runtime)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION . RENAME COPYRIGHT.txt COMPONENT runtime)
endif()

# Packages: the "runtime" component only.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vandix")
set(CPACK_PACKAGE_CONTACT "${TSL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bootstrap service of the Vandix Tessel server product")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};runtime;/")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
elseif(TSL_INSTALL_LAYOUT STREQUAL "debian")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${TSL_DEBIAN_REVISION})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TSL_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Loaded at run time, not linked, by a service that systemd runs: the
  # binaries do not show it to dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsystemd0")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TSL_PACKAGING_DIR}/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Under the summary line: the extended description, in lines that fit Debian's 80 columns.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
tslbootstrapservice starts the Java application servers of a Vandix Tessel
installation, tests that each is ready by sending it a command over a TLS or
TCP socket, restarts a server that dies or stops answering, and stops them all
in order. It runs under systemd, in the foreground (-d) or as a daemon.
The sample configuration in /etc/tslbootstrapservice starts test servers that
are not part of this package: edit its bootstrap files to name the real ones.]=])
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-linux-x86_64)
endif()
include(CPack)
