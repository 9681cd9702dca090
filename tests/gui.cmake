# The widget suites run on Qt's offscreen platform, whose plugin never frees its screen and cursor.
# lsan.supp suppresses those by their caller, which the fast unwinder cannot reach through Qt's
# libraries: these suites record whole allocation stacks instead.
set(SEALSTATION_GUI_TEST_ENV ${SEALSTATION_TEST_ENV})
list(TRANSFORM SEALSTATION_GUI_TEST_ENV REPLACE "^ASAN_OPTIONS=(.*)$" "ASAN_OPTIONS=\\1:fast_unwind_on_malloc=0")
set_tests_properties(test_ui test_settings PROPERTIES ENVIRONMENT "${SEALSTATION_GUI_TEST_ENV}")
