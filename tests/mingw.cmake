# Compiles the WinUSB key device with mingw-w64 when the cross compiler is installed.
find_program(SEALSTATION_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
if(SEALSTATION_MINGW_CXX)
    add_test(NAME mingw_winusb
        COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-mingw.sh ${SEALSTATION_MINGW_CXX}
            ${CMAKE_BINARY_DIR}/mingw-check)
    set_tests_properties(mingw_winusb PROPERTIES TIMEOUT 300)
endif()
