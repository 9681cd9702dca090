# End-to-end test: the application and the simulator as processes on a private X server, typed
# into with xdotool. Only in the plain build (the sanitizers would slow the two programs past the
# operator's timings) and only where Xvfb and xdotool are at hand. The screen is read with grab-window.
if(SEALSTATION_EXTRA_CHECKS AND NOT SEALSTATION_SANITIZE AND NOT WIN32 AND TARGET sealstation-sim)
    find_program(SEALSTATION_XVFB Xvfb)
    find_program(SEALSTATION_XDOTOOL xdotool)
    if(SEALSTATION_XVFB AND SEALSTATION_XDOTOOL)
        add_executable(e2e_station e2e/test_station.cpp)
        target_link_libraries(e2e_station PRIVATE sealstation_testsupport_sim)
        target_compile_definitions(e2e_station PRIVATE
            SEALSTATION_APP_PATH="$<TARGET_FILE:sealstation>"
            SEALSTATION_SIM_PATH="$<TARGET_FILE:sealstation-sim>"
            SEALSTATION_GRAB_PATH="$<TARGET_FILE:grab-window>")
        add_dependencies(e2e_station sealstation sealstation-sim grab-window)
        set_target_properties(e2e_station PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
        add_test(NAME e2e_station COMMAND e2e_station)
        # Alone, so that the operator's timings do not compete with other suites for the CPU.
        set_tests_properties(e2e_station PROPERTIES
            ENVIRONMENT "${SEALSTATION_TEST_ENV}" TIMEOUT 30 RUN_SERIAL TRUE)
    else()
        message(STATUS "Xvfb or xdotool missing: no end-to-end test")
    endif()
endif()
