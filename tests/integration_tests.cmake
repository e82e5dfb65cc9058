# Integration tests on real files written by ffmpeg and mencoder (installed by
# the test command). Included from tests/CMakeLists.txt.
add_executable(integration_test "${CMAKE_CURRENT_LIST_DIR}/integration_test.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/header_rebuild_integration_test.cpp")
target_link_libraries(integration_test PRIVATE reelwright_engine avi_builder reelwright_options GTest::gtest_main)
target_compile_definitions(integration_test PRIVATE REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>")
add_dependencies(integration_test reelwright-fix lang_modules)
gtest_discover_tests(integration_test TEST_PREFIX "integration." DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 ENVIRONMENT "LC_ALL=C.UTF-8")

# Gigabyte recordings (OpenDML): only with -DENABLE_SLOW_TESTS=ON, run by
# tools/slow-test with the label "slow".
option(ENABLE_SLOW_TESTS "Build the tests on gigabyte recordings" OFF)
if(ENABLE_SLOW_TESTS)
  add_executable(long_recording_test "${CMAKE_CURRENT_LIST_DIR}/long_recording_test.cpp")
  target_link_libraries(long_recording_test PRIVATE avi_builder reelwright_options GTest::gtest_main)
  target_compile_definitions(long_recording_test PRIVATE REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>")
  add_dependencies(long_recording_test reelwright-fix lang_modules)
  gtest_discover_tests(long_recording_test TEST_PREFIX "slow." DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 1800 LABELS slow ENVIRONMENT "LC_ALL=C.UTF-8")
endif()

# A recording read through the kernel from a medium whose reads fail with
# EIO (a FUSE file system); skipped where FUSE cannot be mounted.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME integration.unreadable_medium
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/unreadable_medium_test.py" --bin "$<TARGET_FILE:reelwright-fix>")
  set_tests_properties(integration.unreadable_medium PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300
    ENVIRONMENT "LC_ALL=C.UTF-8")
endif()
