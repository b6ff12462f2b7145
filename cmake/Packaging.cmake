# What `cmake --install` puts in place and what the packages hold: the command-line
# tool, on Linux the udev rule that lets the user at the seat open the adapter and the
# man page, the docs; on Windows also the dialog program. Tests, the benchmark and the
# gadget are not installed.
include(GNUInstallDirs)

set(KORBEX_PACKAGE_NAME korbex-update)
if(WIN32)
  # The zip users unpack: the two programs at the top, the docs beside them.
  set(KORBEX_BIN_DIR .)
  set(KORBEX_DOC_DIR docs)
else()
  set(KORBEX_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(KORBEX_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KORBEX_PACKAGE_NAME})
endif()

foreach(program korbex-update KorbexUpdate)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${KORBEX_BIN_DIR})
  endif()
endforeach()
install(FILES README.md docs/cli.md docs/gadget.md docs/windows.md DESTINATION ${KORBEX_DOC_DIR})

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # udev reads /usr/lib/udev/rules.d (and /etc/udev/rules.d), not /usr/local/...: an
  # install under another prefix says where the rule has to go.
  set(KORBEX_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING "udev rules folder, relative to the prefix or absolute")
  install(FILES packaging/linux/70-korbex-adapter.rules DESTINATION ${KORBEX_UDEV_RULES_DIR})
  install(CODE [[
    if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND "$ENV{DESTDIR}" STREQUAL "")
      message(STATUS "udev does not read rules under ${CMAKE_INSTALL_PREFIX}: to open the adapter without root, "
                     "copy 70-korbex-adapter.rules to /etc/udev/rules.d/ and run "
                     "udevadm control --reload-rules && udevadm trigger")
    endif()]])
endif()

if(NOT WIN32)
  # The man page carries the project version and is installed compressed, as Debian's
  # man pages are.
  configure_file(packaging/man/korbex-update.1 ${PROJECT_BINARY_DIR}/man/korbex-update.1 @ONLY)
  find_program(KORBEX_GZIP gzip REQUIRED)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/korbex-update.1.gz
                     COMMAND ${KORBEX_GZIP} -9nf -k ${PROJECT_BINARY_DIR}/man/korbex-update.1
                     DEPENDS ${PROJECT_BINARY_DIR}/man/korbex-update.1
                     COMMENT "Compressing the man page")
  add_custom_target(korbex_man ALL DEPENDS ${PROJECT_BINARY_DIR}/man/korbex-update.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/korbex-update.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# cpack -G DEB: korbex-update_<version>_amd64.deb; on Windows cpack -G ZIP.
set(CPACK_PACKAGE_NAME ${KORBEX_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korbex")
set(CPACK_PACKAGE_CONTACT "Korbex Update developers <korbex-update@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the Korbex 2.4 GHz game-controller adapter")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Writes a firmware file into the adapter (the USB receiver) through its flash loader over HID, "
    "checks every block by CRC and says the update succeeded only when the flash holds the file. "
    "Includes a udev rule that lets the user at the seat open the adapter without root.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends from the libraries the binary links (libhidapi-hidraw0, libudev1, ...).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udev)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
