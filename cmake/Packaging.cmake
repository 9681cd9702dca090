# Installation and packages: a Debian package per program on Linux, an NSIS installer on Windows.
# `cpack` in the build directory makes them; see the README's Install section.
include(GNUInstallDirs)

set(SEALSTATION_APP_ID com.vesk.SealStation)
# The date of the release named by the project version; change both together.
set(SEALSTATION_RELEASE_DATE 2026-12-06)
set(SEALSTATION_HOMEPAGE "https://sealstation.vesk.example"
    CACHE STRING "Web page of the program; its screenshots are published there")

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
    install(TARGETS sealstation RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
    install(FILES ${_linux}/${SEALSTATION_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
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
    set(CPACK_COMPONENTS_ALL app)

    # The simulator is a package of its own, so an operator's station never gets it.
    if(TARGET sealstation-sim)
        install(TARGETS sealstation-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
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
