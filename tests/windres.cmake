# Compiles the Windows version resource and icon with the mingw-w64 resource compiler.
find_program(SEALSTATION_WINDRES NAMES x86_64-w64-mingw32-windres)
if(SEALSTATION_EXTRA_CHECKS AND SEALSTATION_WINDRES)
    set(SEALSTATION_ICO ${PROJECT_SOURCE_DIR}/packaging/windows/sealstation.ico)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/sealstation.rc.in
        ${CMAKE_BINARY_DIR}/windres-check/sealstation.rc @ONLY)
    add_test(NAME windres_version
        COMMAND ${SEALSTATION_WINDRES} -i ${CMAKE_BINARY_DIR}/windres-check/sealstation.rc
            -o ${CMAKE_BINARY_DIR}/windres-check/sealstation.res -O res)
    set_tests_properties(windres_version PROPERTIES TIMEOUT 60)
endif()
