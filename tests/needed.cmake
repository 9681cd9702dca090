# The product must run on a station that has only Qt, libusb and the system's runtime libraries: its
# NEEDED entries are checked, so that a library linked by mistake shows at once. The sanitized
# build needs the sanitizer runtimes and is left out.
if(NOT WIN32 AND NOT APPLE AND NOT SEALSTATION_SANITIZE)
    find_program(SEALSTATION_READELF NAMES readelf ${CMAKE_READELF})
    if(SEALSTATION_READELF)
        add_test(NAME product_needed
            COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-needed.sh $<TARGET_FILE:sealstation>)
        set_tests_properties(product_needed PROPERTIES ENVIRONMENT "READELF=${SEALSTATION_READELF}" TIMEOUT 30)
    endif()
endif()
