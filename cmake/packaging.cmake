# Installing and packaging.
#
# Linux/macOS: bin/bsl430, bin/bsl430-gang, bin/bsl430-sim, the manual pages (every docs/*.1,
# gzipped), and README, copyright (the licence), changelog and the example images under
# share/doc/bsl430, the user guides (docs/*.md) under share/doc/bsl430/docs. `cpack -G DEB` makes
# the Debian package.
# Windows (the MinGW build): bsl430.exe and bsl430-gang.exe with README.txt (a Windows quick
# start), LICENSE.txt (both with CRLF line ends), README.md, the user guides under docs/ and the
# example images, as a user unpacks it; `cpack -G ZIP` makes the archive.
include(GNUInstallDirs)

set(bsl430_examples ${PROJECT_SOURCE_DIR}/examples/blink.hex
                    ${PROJECT_SOURCE_DIR}/examples/bsl_replacement.hex
                    ${PROJECT_SOURCE_DIR}/examples/hello.hex)
# The guides the README links to, in a folder docs/ beside it, so that its links hold.
file(GLOB bsl430_guides CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)

if(WIN32)
    # What a Windows user opens first: a short README.txt and the licence, with CRLF line ends so
    # that Notepad shows them as written; the full README.md beside them.
    configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/README.txt.in
                   ${PROJECT_BINARY_DIR}/windows/README.txt @ONLY NEWLINE_STYLE CRLF)
    configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/windows/LICENSE.txt @ONLY
                   NEWLINE_STYLE CRLF)
    install(TARGETS bsl430 bsl430-gang RUNTIME DESTINATION .)
    install(FILES ${PROJECT_BINARY_DIR}/windows/README.txt ${PROJECT_BINARY_DIR}/windows/LICENSE.txt
                  ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
    install(FILES ${bsl430_examples} DESTINATION examples)
    install(FILES ${bsl430_guides} DESTINATION docs)
else()
    install(TARGETS bsl430 bsl430-gang RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(TARGET bsl430-sim)
        install(TARGETS bsl430-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
    # Every manual page in docs/ (docs/NAME.1), compressed as Debian wants them: gzip -9n, no
    # name or time stamp inside, so that two builds give the same bytes.
    file(GLOB bsl430_manpages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.1)
    find_program(BSL430_GZIP gzip)
    set(bsl430_manpage_files)
    foreach(page ${bsl430_manpages})
        get_filename_component(name ${page} NAME)
        if(BSL430_GZIP)
            set(packed ${PROJECT_BINARY_DIR}/man/${name}.gz)
            add_custom_command(OUTPUT ${packed}
                               COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                               COMMAND ${BSL430_GZIP} -9n -c ${page} > ${packed}
                               DEPENDS ${page} VERBATIM)
            list(APPEND bsl430_manpage_files ${packed})
        else()
            list(APPEND bsl430_manpage_files ${page})
        endif()
    endforeach()
    add_custom_target(bsl430_manpages ALL DEPENDS ${bsl430_manpage_files})
    install(FILES ${bsl430_manpage_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

    # The package's documentation: the README, the licence in Debian's machine-readable form,
    # the changelog (compressed like the manual pages) and the example images.
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
                   ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
    if(BSL430_GZIP)
        add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
                           COMMAND ${BSL430_GZIP} -9n -c ${PROJECT_BINARY_DIR}/debian/changelog >
                                   ${PROJECT_BINARY_DIR}/debian/changelog.gz
                           DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog VERBATIM)
        add_custom_target(bsl430_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
        install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
    else()
        install(FILES ${PROJECT_BINARY_DIR}/debian/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    install(FILES ${bsl430_examples} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
    install(FILES ${bsl430_guides} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
endif()

set(CPACK_PACKAGE_NAME bsl430)
set(CPACK_PACKAGE_VENDOR "the bsl430 developers")
set(CPACK_PACKAGE_CONTACT "the bsl430 developers <bsl430@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "program MSP430 flash through the chip's ROM bootstrap loader")
set(CPACK_PACKAGE_DESCRIPTION
    "bsl430 writes firmware from Intel HEX, TI-TXT, S-record or ELF files into
the flash of an MSP430 microcontroller through the chip's ROM bootstrap loader
over a serial port (DTR on RST/NMI, RTS on TEST), verifies it, and can open a
terminal on the port afterwards. bsl430-gang programs many boards at once,
each by the same run, with a record per board and serial numbers. bsl430-sim
serves a simulated chip, whose CPU runs the firmware it was given, on a
pseudo-terminal or as a network serial port, for trying the tool without
hardware.")
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
