# Builds the Debian packages and checks the application's package as a station would get it, and
# both packages with lintian. Only for the normal build: a sanitized binary does not belong in a package.
find_program(SEALSTATION_DPKG_DEB dpkg-deb)
find_program(SEALSTATION_DESKTOP_FILE_VALIDATE desktop-file-validate)
find_program(SEALSTATION_APPSTREAMCLI appstreamcli)
find_program(SEALSTATION_LINTIAN lintian)
if(SEALSTATION_EXTRA_CHECKS AND UNIX AND NOT APPLE AND NOT SEALSTATION_SANITIZE AND SEALSTATION_DPKG_DEB
   AND SEALSTATION_DESKTOP_FILE_VALIDATE AND SEALSTATION_APPSTREAMCLI AND SEALSTATION_LINTIAN)
    add_test(NAME packages
        COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-packages.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    # 15 to 25 s; about 10 s more with the key's rule (lintian runs once more).
    set_tests_properties(packages PROPERTIES TIMEOUT 75)
endif()
