# What `cmake --install` puts beside the two programs, and the Debian package
# that CPack makes of it: one per build, for the build's target architecture
# (amd64 natively, armhf and arm64 with the toolchain files).

# Debian wants man pages and the changelog compressed (gzip -9n: no name or
# time stamp, so that builds are reproducible) and the documentation, the
# changelog and the copyright file under the package's name.
set(tarvion_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvion-update)
set(tarvion_gzipped)
foreach(doc IN ITEMS tarvion_update.1 tarvion_module_sim.1 changelog)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/${doc}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/doc/${doc} > ${PROJECT_BINARY_DIR}/doc/${doc}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/${doc} VERBATIM)
  list(APPEND tarvion_gzipped ${PROJECT_BINARY_DIR}/doc/${doc}.gz)
endforeach()
add_custom_target(tarvion_docs ALL DEPENDS ${tarvion_gzipped})
install(FILES ${PROJECT_BINARY_DIR}/doc/tarvion_update.1.gz ${PROJECT_BINARY_DIR}/doc/tarvion_module_sim.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/examples/tarvion_update.conf ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
  DESTINATION ${tarvion_docdir})
# The static build is static on purpose (one file to copy onto any board).
if(TARVION_STATIC)
  file(WRITE ${PROJECT_BINARY_DIR}/lintian-overrides
    "tarvion-update: statically-linked-binary [usr/bin/tarvion_module_sim]\n"
    "tarvion-update: statically-linked-binary [usr/bin/tarvion_update]\n")
  install(FILES ${PROJECT_BINARY_DIR}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME tarvion-update)
endif()

# The package carries the program's own version ("2011_09b1" becomes
# 2011.09~b1, which sorts before the release 2011.09).
file(STRINGS ${PROJECT_SOURCE_DIR}/src/options.cpp tarvion_version_line
  REGEX "kVersion\\[\\] = \"[^\"]+\"")
if(tarvion_version_line MATCHES "\"([0-9]+)_([0-9]+)([a-z]+[0-9]*)?\"")
  set(CPACK_PACKAGE_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}")
  if(CMAKE_MATCH_3)
    string(APPEND CPACK_PACKAGE_VERSION "~${CMAKE_MATCH_3}")
  endif()
else()
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
endif()

set(TARVION_PACKAGE_CONTACT "tarvion_update maintainers <maintainers@tarvion-update.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvion-update)  # Debian package names take no '_'
set(CPACK_PACKAGE_CONTACT ${TARVION_PACKAGE_CONTACT})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware flasher for modules on a board's serial port")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "tarvion_update loads an Intel HEX or raw binary file, brings a
microcontroller module into its ROM boot loader through reset and
boot-select GPIO lines, erases its flash and writes the image over a
serial port.
.
tarvion_module_sim, a simulated module on a pseudo-terminal, lets
scripts be tried without hardware.")

# The architecture and the libraries the programs need: dpkg knows both for
# a native build; a cross build names them itself, since the cross
# toolchain's libraries are not the target's packages.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  else()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  if(NOT TARVION_STATIC)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 11)")
  endif()
elseif(NOT TARVION_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
