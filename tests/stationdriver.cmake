# The small station driver that scripts/screenshots.sh runs (simulated service, emulated key, window grabs).
add_executable(station-driver ${PROJECT_SOURCE_DIR}/scripts/stationdriver.cpp)
target_link_libraries(station-driver PRIVATE sealstation_core)
