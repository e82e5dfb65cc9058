# Headless tests of the window's widgets (QT_QPA_PLATFORM=offscreen).
# Included from tests/CMakeLists.txt when the window is built.
add_executable(toolkit_test
  "${CMAKE_CURRENT_LIST_DIR}/log_memo_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/status_bar_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/nav_bar_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/header_label_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/message_box_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/gui_test_main.cpp")
target_link_libraries(toolkit_test PRIVATE reelwright_toolkit reelwright_options Qt6::Test GTest::gtest)
gtest_discover_tests(toolkit_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

add_executable(window_sink_test
  "${CMAKE_CURRENT_LIST_DIR}/window_sink_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/gui_test_main.cpp")
target_link_libraries(window_sink_test PRIVATE reelwright_main_window avi_builder reelwright_options GTest::gtest)
gtest_discover_tests(window_sink_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

add_executable(version_info_unit_test
  "${CMAKE_CURRENT_LIST_DIR}/version_info_unit_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/gui_test_main.cpp")
target_link_libraries(version_info_unit_test PRIVATE reelwright_about reelwright_options Qt6::Widgets GTest::gtest)
target_compile_definitions(version_info_unit_test PRIVATE
  REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>"
  REELWRIGHT_TEST_PROBE_PLAIN="$<TARGET_FILE:version_probe_plain>"
  REELWRIGHT_TEST_PROBE_GERMAN="$<TARGET_FILE:version_probe_german>"
  REELWRIGHT_VERSION="${PROJECT_VERSION}")
add_dependencies(version_info_unit_test reelwright-fix version_probe_plain version_probe_german)
gtest_discover_tests(version_info_unit_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

add_executable(file_list_test
  "${CMAKE_CURRENT_LIST_DIR}/file_list_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/gui_test_main.cpp")
target_link_libraries(file_list_test PRIVATE reelwright_main_window avi_builder reelwright_options Qt6::Test GTest::gtest)
target_compile_definitions(file_list_test PRIVATE REELWRIGHT_TEST_LANG_EN="$<TARGET_FILE:lang_module_en>")
add_dependencies(file_list_test lang_module_en)
gtest_discover_tests(file_list_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

add_executable(about_box_test
  "${CMAKE_CURRENT_LIST_DIR}/about_box_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/gui_test_main.cpp")
target_link_libraries(about_box_test PRIVATE reelwright_about reelwright_options Qt6::Test GTest::gtest)
target_compile_definitions(about_box_test PRIVATE
  REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>"
  REELWRIGHT_TEST_PROBE_PLAIN="$<TARGET_FILE:version_probe_plain>"
  REELWRIGHT_VERSION="${PROJECT_VERSION}")
add_dependencies(about_box_test reelwright-fix version_probe_plain)
gtest_discover_tests(about_box_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

# The main window, driven headless. It carries the program's version block,
# so its title and version panel read as the program's own.
add_executable(main_window_test
  "${CMAKE_CURRENT_LIST_DIR}/main_window_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/app_test_main.cpp")
target_link_libraries(main_window_test PRIVATE reelwright_startup avi_builder reelwright_options Qt6::Test GTest::gtest)
reelwright_add_version_block(main_window_test "${PROJECT_SOURCE_DIR}/platform/program_version.txt")
target_compile_definitions(main_window_test PRIVATE REELWRIGHT_TEST_LANG_EN="$<TARGET_FILE:lang_module_en>")
add_dependencies(main_window_test lang_module_en)
gtest_discover_tests(main_window_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_MEDIA_BACKEND=gstreamer")

# The start-up, in a folder of its own so that no language module lies beside it.
add_executable(startup_test
  "${CMAKE_CURRENT_LIST_DIR}/startup_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/gui_test_main.cpp")
target_link_libraries(startup_test PRIVATE reelwright_startup reelwright_options GTest::gtest)
set_target_properties(startup_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/startup_bin")
reelwright_add_version_block(startup_test "${PROJECT_SOURCE_DIR}/platform/program_version.txt")
target_compile_definitions(startup_test PRIVATE
  REELWRIGHT_TEST_LANG_EN="$<TARGET_FILE:lang_module_en>"
  REELWRIGHT_INSTALLED_MODULE_DIR="${REELWRIGHT_MODULE_DIR}")
add_dependencies(startup_test lang_module_en)
gtest_discover_tests(startup_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

# The media player and the preview window on real files written by ffmpeg.
# The program's version block gives the window's title its product name.
# Qt 6.4 plays through GStreamer on Linux; pinned so that a QT_MEDIA_BACKEND
# left in the environment cannot switch the tests to another backend.
add_executable(preview_test
  "${CMAKE_CURRENT_LIST_DIR}/preview_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/gui_test_main.cpp")
target_link_libraries(preview_test PRIVATE reelwright_preview avi_builder reelwright_options Qt6::Test GTest::gtest)
reelwright_add_version_block(preview_test "${PROJECT_SOURCE_DIR}/platform/program_version.txt")
target_compile_definitions(preview_test PRIVATE REELWRIGHT_TEST_LANG_EN="$<TARGET_FILE:lang_module_en>")
add_dependencies(preview_test lang_module_en)
gtest_discover_tests(preview_test TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_MEDIA_BACKEND=gstreamer")

# The same window tests once more on a real X server (a virtual one), where
# window frames, focus and the desktop's drag and drop are the X11 ones.
find_program(XVFB_RUN xvfb-run)
if(XVFB_RUN)
  foreach(suite toolkit_test about_box_test startup_test main_window_test preview_test)
    add_test(NAME x11.${suite}
      COMMAND "${XVFB_RUN}" -a -s "-screen 0 1280x800x24"
              env QT_QPA_PLATFORM=xcb QT_MEDIA_BACKEND=gstreamer "$<TARGET_FILE:${suite}>")
    # One virtual server at a time: xvfb-run's choice of a free display can race.
    set_tests_properties(x11.${suite} PROPERTIES RUN_SERIAL TRUE TIMEOUT 300)
  endforeach()
endif()
