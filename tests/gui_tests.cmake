# Headless tests of the window's widgets (QT_QPA_PLATFORM=offscreen).
# Included from tests/CMakeLists.txt when the window is built.

# reelwright_gui_test(<name> SOURCES <files...> LIBS <targets...>
#                     [APP_MAIN] [PROGRAM_VERSION] [ENGLISH] [DESKTOP_ONLY]
#                     [DEFINES <definitions...>] [DEPENDS <targets...>])
# A GoogleTest executable over real widgets. APP_MAIN runs it under the
# program's own application object; PROGRAM_VERSION gives it the program's
# version block, so version_info reads as the program's own; ENGLISH passes
# the English language module's path as REELWRIGHT_TEST_LANG_EN. Qt 6.4
# plays through GStreamer on Linux; pinned, so that a QT_MEDIA_BACKEND left
# in the environment cannot switch the tests to another backend.
# DESKTOP_ONLY builds the executable without headless tests: it is run on
# the virtual X server only.
function(reelwright_gui_test name)
  cmake_parse_arguments(arg "APP_MAIN;PROGRAM_VERSION;ENGLISH;DESKTOP_ONLY" "" "SOURCES;LIBS;DEFINES;DEPENDS" ${ARGN})
  set(main gui_test_main.cpp)
  if(arg_APP_MAIN)
    set(main app_test_main.cpp)
  endif()
  list(TRANSFORM arg_SOURCES PREPEND "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/")
  add_executable(${name} ${arg_SOURCES} "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${main}")
  target_link_libraries(${name} PRIVATE ${arg_LIBS} reelwright_options GTest::gtest)
  if(arg_PROGRAM_VERSION)
    reelwright_add_version_block(${name} "${PROJECT_SOURCE_DIR}/platform/program_version.txt")
  endif()
  if(arg_ENGLISH)
    list(APPEND arg_DEFINES REELWRIGHT_TEST_LANG_EN="$<TARGET_FILE:lang_module_en>")
    list(APPEND arg_DEPENDS lang_module_en)
  endif()
  if(arg_DEFINES)
    target_compile_definitions(${name} PRIVATE ${arg_DEFINES})
  endif()
  if(arg_DEPENDS)
    add_dependencies(${name} ${arg_DEPENDS})
  endif()
  if(NOT arg_DESKTOP_ONLY)
    gtest_discover_tests(${name} TEST_PREFIX "gui." DISCOVERY_TIMEOUT 60
      PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_MEDIA_BACKEND=gstreamer")
  endif()
endfunction()

reelwright_gui_test(toolkit_test
  SOURCES log_memo_test.cpp status_bar_test.cpp nav_bar_test.cpp header_label_test.cpp message_box_test.cpp
  LIBS reelwright_toolkit Qt6::Test)

reelwright_gui_test(window_sink_test SOURCES window_sink_test.cpp LIBS reelwright_main_window avi_builder)

reelwright_gui_test(version_info_unit_test
  SOURCES version_info_unit_test.cpp
  LIBS reelwright_about Qt6::Widgets
  DEFINES REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>"
          REELWRIGHT_TEST_PROBE_PLAIN="$<TARGET_FILE:version_probe_plain>"
          REELWRIGHT_TEST_PROBE_GERMAN="$<TARGET_FILE:version_probe_german>"
          REELWRIGHT_VERSION="${PROJECT_VERSION}"
  DEPENDS reelwright-fix version_probe_plain version_probe_german)

reelwright_gui_test(file_list_test SOURCES file_list_test.cpp LIBS reelwright_main_window avi_builder Qt6::Test
  ENGLISH)

reelwright_gui_test(about_box_test
  SOURCES about_box_test.cpp
  LIBS reelwright_about Qt6::Test
  DEFINES REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>"
          REELWRIGHT_TEST_PROBE_PLAIN="$<TARGET_FILE:version_probe_plain>"
          REELWRIGHT_VERSION="${PROJECT_VERSION}"
  DEPENDS reelwright-fix version_probe_plain)

# The main window, driven headless, under the program's application object.
reelwright_gui_test(main_window_test SOURCES main_window_test.cpp LIBS reelwright_startup avi_builder Qt6::Test
  APP_MAIN PROGRAM_VERSION ENGLISH)

# The start-up, in a folder of its own so that no language module lies beside it.
reelwright_gui_test(startup_test SOURCES startup_test.cpp LIBS reelwright_startup
  PROGRAM_VERSION ENGLISH
  DEFINES REELWRIGHT_INSTALLED_MODULE_DIR="${REELWRIGHT_MODULE_DIR}")
set_target_properties(startup_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/startup_bin")

# One window per user and display, with the real program as the other start.
reelwright_gui_test(single_instance_test SOURCES single_instance_test.cpp LIBS reelwright_startup avi_builder Qt6::Test
  APP_MAIN PROGRAM_VERSION ENGLISH
  DEFINES REELWRIGHT_PROGRAM="$<TARGET_FILE:reelwright>"
  DEPENDS reelwright)

# The media player and the preview window on real files written by ffmpeg.
reelwright_gui_test(preview_test SOURCES preview_test.cpp LIBS reelwright_preview avi_builder Qt6::Test
  PROGRAM_VERSION ENGLISH)

# The preview window under a window manager, closed as a user closes it.
reelwright_gui_test(preview_desktop_test SOURCES preview_desktop_test.cpp LIBS reelwright_preview avi_builder Qt6::Test
  DESKTOP_ONLY)

# The same window tests once more on a real X server (a virtual one), where
# window frames, focus and the desktop's drag and drop are the X11 ones.
find_program(XVFB_RUN xvfb-run)
if(XVFB_RUN)
  foreach(suite toolkit_test about_box_test startup_test main_window_test preview_test single_instance_test)
    add_test(NAME x11.${suite}
      COMMAND "${XVFB_RUN}" -a -s "-screen 0 1280x800x24"
              env QT_QPA_PLATFORM=xcb QT_MEDIA_BACKEND=gstreamer "$<TARGET_FILE:${suite}>")
    # One virtual server at a time: xvfb-run's choice of a free display can race.
    set_tests_properties(x11.${suite} PROPERTIES RUN_SERIAL TRUE TIMEOUT 300)
  endforeach()
  # What shows only where a window manager frames and closes the windows.
  find_program(OPENBOX openbox)
  if(OPENBOX)
    add_test(NAME x11.preview_desktop_test
      COMMAND "${XVFB_RUN}" -a -s "-screen 0 1280x800x24"
              env QT_QPA_PLATFORM=xcb QT_MEDIA_BACKEND=gstreamer
              sh "${CMAKE_CURRENT_LIST_DIR}/with_window_manager.sh" "$<TARGET_FILE:preview_desktop_test>")
    set_tests_properties(x11.preview_desktop_test PROPERTIES RUN_SERIAL TRUE TIMEOUT 300)
  endif()
endif()
