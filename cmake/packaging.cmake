# Installation and packages.
#   Linux:   kestrelink and kestrelink-sim in bin, the simulator's scenario library in
#            share/kestrelink/scenarios with the synthetic firmware bundle in
#            share/kestrelink/bundle, the manual page kestrelink.1; cpack makes a .deb.
#   Windows: kestrelink.exe (statically linked: it runs alone) and the README; cpack makes
#            a .zip.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS kestrelink RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  install(TARGETS kestrelink RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET kestrelink-sim)
    install(TARGETS kestrelink-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(DIRECTORY sim/scenarios/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrelink/scenarios
          FILES_MATCHING PATTERN "*.scn")
  # Scenarios may take their firmware from the synthetic bundle (the maker's is not shipped).
  if(NOT KESTRELINK_BUNDLE_DIR)
    install(DIRECTORY ${CMAKE_BINARY_DIR}/bundle/synthetic/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrelink/bundle)
  endif()
  # Manual pages and the changelog are installed compressed, as Debian's policy asks.
  set(compressed)
  foreach(source kestrelink.1 kestrelink-sim.1 changelog)
    set(output ${CMAKE_CURRENT_BINARY_DIR}/packaging/${source}.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
      COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/${source} > ${output}
      DEPENDS ${PROJECT_SOURCE_DIR}/packaging/${source}
      COMMENT "Compressing ${source}")
    list(APPEND compressed ${output})
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/kestrelink.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(TARGET kestrelink-sim)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/kestrelink-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME kestrelink)
set(CPACK_PACKAGE_VENDOR "Kestrelink developers")
set(CPACK_PACKAGE_CONTACT "Kestrelink developers <kestrelink@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware and file installer for Balvanta weighing units")
# Debian's control file keeps description lines short: the lines break here.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Kestrelink finds the serial port and the Balvanta weighing unit on it,\n"
  "identifies it and installs firmware and on-board files, reporting every\n"
  "step on the console and in a session log. The package also carries\n"
  "kestrelink-sim, a simulator of the units on a pseudo-terminal, with a\n"
  "library of scenarios.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kestrelink-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
