# The window grabber that scripts/screenshots.sh uses, so that it needs no image tools.
add_executable(grab-window ${PROJECT_SOURCE_DIR}/scripts/grabwindow.cpp)
target_link_libraries(grab-window PRIVATE Qt::Gui)
