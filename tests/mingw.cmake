# Checks the Windows configuration with mingw-w64 when the cross compiler is installed: builds the protocol
# library, runs its property checks and the WinUSB device's no-key path under Wine (frames compared byte for
# byte with the Linux build's), and compiles every other Windows source against Debian's Qt 5 headers.
if(SEALSTATION_EXTRA_CHECKS AND NOT WIN32)
    find_program(SEALSTATION_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
    if(SEALSTATION_MINGW_CXX)
        add_test(NAME mingw_windows
            COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-mingw.sh ${SEALSTATION_MINGW_CXX}
                ${CMAKE_BINARY_DIR}/mingw-check)
        # 50 s alone on two cores, 65 s when it makes the Wine prefix; 95 to 180 s beside the fuzz smoke.
        set_tests_properties(mingw_windows PROPERTIES TIMEOUT 270)
    endif()
endif()
