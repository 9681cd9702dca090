# Fuzz smoke: runs each libFuzzer target (key codec, framing and engine, USB OS descriptors, service
# replies) for about 20 s when clang with libFuzzer works here. Only from the plain build, as the targets
# carry their own sanitizers.
if(SEALSTATION_EXTRA_CHECKS AND NOT SEALSTATION_SANITIZE AND NOT WIN32)
    find_program(SEALSTATION_FUZZ_CXX NAMES clang++ clang++-14)
    if(SEALSTATION_FUZZ_CXX AND NOT DEFINED SEALSTATION_FUZZ_WORKS)
        set(probe ${CMAKE_BINARY_DIR}/fuzz-probe)
        file(WRITE ${probe}/probe.cpp
            "#include <cstddef>\n#include <cstdint>\n"
            "extern \"C\" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n")
        execute_process(
            COMMAND ${SEALSTATION_FUZZ_CXX} -fsanitize=fuzzer,address,undefined probe.cpp -o probe
            WORKING_DIRECTORY ${probe} RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
        if(probe_result EQUAL 0)
            set(SEALSTATION_FUZZ_WORKS ON CACHE INTERNAL "clang++ builds libFuzzer targets")
        else()
            set(SEALSTATION_FUZZ_WORKS OFF CACHE INTERNAL "clang++ builds libFuzzer targets")
        endif()
    endif()
    if(SEALSTATION_FUZZ_WORKS)
        add_test(NAME fuzz_smoke COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/fuzz.sh 20)
        set_tests_properties(fuzz_smoke PROPERTIES
            ENVIRONMENT "FUZZ_OUT_DIR=${CMAKE_BINARY_DIR}/fuzz;FUZZ_CXX=${SEALSTATION_FUZZ_CXX}"
            TIMEOUT 600)
    else()
        message(STATUS "clang++ with libFuzzer not found: no fuzz smoke test")
    endif()
endif()
