# Installation and packages: a Debian package per program on Linux, an NSIS installer on Windows.
# `cpack` in the build directory makes them; see the README's Install section.
include(GNUInstallDirs)

set(SEALSTATION_APP_ID com.vesk.SealStation)
# The date of the release named by the project version; change both together.
set(SEALSTATION_RELEASE_DATE 2026-12-06)
set(SEALSTATION_HOMEPAGE "https://sealstation.vesk.example"
    CACHE STRING "Web page of the program; its screenshots are published there")
set(SEALSTATION_KEY_USB_IDS "" CACHE STRING
    "USB IDs of the key as VID:PID (e.g. 1d6b:0104;1d6b:0105) for the package's udev rule; empty: ship its template")

set(CPACK_PACKAGE_NAME sealstation)
set(CPACK_PACKAGE_VENDOR Vesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL ${SEALSTATION_HOMEPAGE})
set(CPACK_PACKAGE_CONTACT "Vesk SealStation team <sealstation@vesk.example>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY SealStation)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(_sealstation_ico ${PROJECT_SOURCE_DIR}/packaging/windows/sealstation.ico)
    set(SEALSTATION_ICO ${_sealstation_ico})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/sealstation.rc.in
        ${CMAKE_CURRENT_BINARY_DIR}/sealstation.rc @ONLY)
    target_sources(sealstation PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/sealstation.rc)

    install(TARGETS sealstation RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

    # windeployqt copies the Qt libraries and plugins the program needs next to it in the
    # staging directory, so the installer carries them.
    foreach(_qmake Qt6::qmake Qt5::qmake)
        if(TARGET ${_qmake})
            get_target_property(_qmake_location ${_qmake} IMPORTED_LOCATION)
            get_filename_component(_qt_bin_dir ${_qmake_location} DIRECTORY)
            break()
        endif()
    endforeach()
    find_program(SEALSTATION_WINDEPLOYQT windeployqt HINTS ${_qt_bin_dir})
    if(SEALSTATION_WINDEPLOYQT)
        install(CODE "
            execute_process(
                COMMAND \"${SEALSTATION_WINDEPLOYQT}\" --no-translations
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/sealstation.exe\"
                RESULT_VARIABLE _windeployqt_result)
            if(NOT _windeployqt_result EQUAL 0)
                message(FATAL_ERROR \"windeployqt failed: \${_windeployqt_result}\")
            endif()")
    else()
        message(WARNING "windeployqt not found: the installer would lack the Qt libraries")
    endif()
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION ${CMAKE_INSTALL_BINDIR})
    include(InstallRequiredSystemLibraries)

    set(CPACK_GENERATOR NSIS)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Exam-paper packing station")
    set(CPACK_MONOLITHIC_INSTALL ON)
    set(CPACK_PACKAGE_FILE_NAME sealstation-${PROJECT_VERSION}-win64-setup)
    # A Start-menu entry "SealStation" that starts bin\sealstation.exe.
    set(CPACK_PACKAGE_EXECUTABLES sealstation SealStation)
    set(CPACK_NSIS_DISPLAY_NAME SealStation)
    set(CPACK_NSIS_PACKAGE_NAME SealStation)
    set(CPACK_NSIS_MUI_ICON ${_sealstation_ico})
    set(CPACK_NSIS_MUI_UNIICON ${_sealstation_ico})
    set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\\\sealstation.exe)
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
elseif(UNIX AND NOT APPLE)
    set(_linux ${PROJECT_SOURCE_DIR}/packaging/linux)
    set(_packaging ${CMAKE_CURRENT_BINARY_DIR}/packaging)

    # The key's udev rule goes where udev reads the packages' rules (on Debian 12 /lib is /usr/lib).
    # Without the key's IDs the package carries the rule's template instead, where udev never reads it.
    include(${PROJECT_SOURCE_DIR}/cmake/KeyUdevRule.cmake)
    sealstation_key_udev_rule("${SEALSTATION_KEY_USB_IDS}" ${_packaging}/${SEALSTATION_KEY_UDEV_RULE_NAME}
        SEALSTATION_MODALIAS_PROVIDES)
    if(SEALSTATION_MODALIAS_PROVIDES)
        set(_rule_dir lib/udev/rules.d)
    else()
        set(_rule_dir ${CMAKE_INSTALL_DATADIR}/sealstation)
    endif()

    install(TARGETS sealstation RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
    install(FILES ${_linux}/${SEALSTATION_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
    # The metainfo announces the key's IDs, so that software centres offer the program for the key.
    configure_file(${_linux}/${SEALSTATION_APP_ID}.metainfo.xml.in
        ${CMAKE_CURRENT_BINARY_DIR}/${SEALSTATION_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${SEALSTATION_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/assets/src/sealstation.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${SEALSTATION_APP_ID}.svg COMPONENT app)
    foreach(_size 16 24 32 48 64 128 256)
        install(FILES ${_linux}/icons/${_size}x${_size}/${SEALSTATION_APP_ID}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps COMPONENT app)
    endforeach()
    install(FILES ${_packaging}/${SEALSTATION_KEY_UDEV_RULE_NAME} DESTINATION ${_rule_dir} COMPONENT app)

    # Each package's copyright file (the simulator's also names the cpp-httplib code compiled into it),
    # changelog and manual page; gzipped with -9 and without a time stamp, as Debian wants them.
    string(SUBSTRING ${SEALSTATION_RELEASE_DATE} 0 4 SEALSTATION_RELEASE_YEAR)
    set(SEALSTATION_COPYRIGHT_EXTRA "")
    configure_file(${_linux}/copyright.in ${_packaging}/app/copyright @ONLY)
    file(READ ${_linux}/copyright-cpp-httplib SEALSTATION_COPYRIGHT_EXTRA)
    string(STRIP "${SEALSTATION_COPYRIGHT_EXTRA}" SEALSTATION_COPYRIGHT_EXTRA)
    set(SEALSTATION_COPYRIGHT_EXTRA "\n\n${SEALSTATION_COPYRIGHT_EXTRA}")
    configure_file(${_linux}/copyright.in ${_packaging}/sim/copyright @ONLY)
    configure_file(${_linux}/changelog ${_packaging}/changelog COPYONLY)
    configure_file(${_linux}/sealstation.1.in ${_packaging}/sealstation.1 @ONLY)
    configure_file(${_linux}/sealstation-sim.1.in ${_packaging}/sealstation-sim.1 @ONLY)
    find_program(SEALSTATION_GZIP gzip)
    if(NOT SEALSTATION_GZIP)
        message(FATAL_ERROR "gzip not found: the packages' changelog and manual pages need it")
    endif()
    set(_gzipped "")
    foreach(_file changelog sealstation.1 sealstation-sim.1)
        add_custom_command(OUTPUT ${_packaging}/${_file}.gz
            COMMAND ${SEALSTATION_GZIP} -9nkf ${_packaging}/${_file}
            DEPENDS ${_packaging}/${_file} VERBATIM)
        list(APPEND _gzipped ${_packaging}/${_file}.gz)
    endforeach()
    add_custom_target(sealstation_package_docs ALL DEPENDS ${_gzipped})
    install(FILES ${_packaging}/app/copyright ${_packaging}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sealstation COMPONENT app)
    install(FILES ${_packaging}/sealstation.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT app)
    set(CPACK_COMPONENTS_ALL app)

    # The simulator is a package of its own, so an operator's station never gets it.
    if(TARGET sealstation-sim)
        install(TARGETS sealstation-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
        install(FILES ${_packaging}/sim/copyright ${_packaging}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sealstation-sim COMPONENT sim)
        install(FILES ${_packaging}/sealstation-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)
        list(APPEND CPACK_COMPONENTS_ALL sim)
    endif()

    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    # Dependencies come from the binaries' NEEDED entries (dpkg-shlibdeps).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_APP_PACKAGE_NAME sealstation)
    # The journal opens its database through Qt's SQLite driver, a plugin that no NEEDED entry names;
    # dpkg-shlibdeps appends what the binary links to this.
    set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS libqt${SEALSTATION_QT}sql${SEALSTATION_QT}-sqlite)
    set(CPACK_DEBIAN_APP_DESCRIPTION
        "Exam-paper packing station\nSigns the operator in to the Vesk web service, links scanned exam bags to\ntheir exam and school, records each seal and has the USB key close the lock.")
    set(CPACK_DEBIAN_SIM_PACKAGE_NAME sealstation-sim)
    set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
    set(CPACK_DEBIAN_SIM_DESCRIPTION
        "Station simulator for SealStation\nAn emulated USB key, a simulated Vesk web service and a relay server, for\ntrying out and testing SealStation without the hardware.")
endif()

include(CPack)
