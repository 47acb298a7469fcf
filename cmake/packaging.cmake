# Installing and packaging.
#
# Linux/macOS: bin/bsl430, bin/bsl430-gang, bin/bsl430-sim, the manual pages bsl430(1) and
# bsl430-gang(1), and README, licence and the example images under share/doc/bsl430.
# `cpack -G DEB` makes the Debian package.
# Windows (the MinGW build): bsl430.exe and bsl430-gang.exe with README, licence and the example
# images at the top of the folder, as a user unpacks it; `cpack -G ZIP` makes the archive.
include(GNUInstallDirs)

set(bsl430_examples ${PROJECT_SOURCE_DIR}/examples/blink.hex
                    ${PROJECT_SOURCE_DIR}/examples/bsl_replacement.hex)

if(WIN32)
    install(TARGETS bsl430 bsl430-gang RUNTIME DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
    install(FILES ${bsl430_examples} DESTINATION examples)
else()
    install(TARGETS bsl430 bsl430-gang RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(TARGET bsl430-sim)
        install(TARGETS bsl430-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/docs/bsl430.1 ${PROJECT_SOURCE_DIR}/docs/bsl430-gang.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    install(FILES ${bsl430_examples} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME bsl430)
set(CPACK_PACKAGE_VENDOR "the bsl430 developers")
set(CPACK_PACKAGE_CONTACT "the bsl430 developers <bsl430@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "program MSP430 flash through the chip's ROM bootstrap loader")
set(CPACK_PACKAGE_DESCRIPTION
    "bsl430 writes firmware from Intel HEX files into the flash of an MSP430
microcontroller through the chip's ROM bootstrap loader over a serial port
(DTR on RST/NMI, RTS on TEST), verifies it, and can open a terminal on the
port afterwards. bsl430-gang programs many boards at once, each by the
same run, with a record per board and serial numbers. bsl430-sim serves a simulated chip on a pseudo-terminal for
trying the tool without hardware.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    set(CPACK_GENERATOR DEB)
endif()

include(CPack)
