# Integration tests on real files written by ffmpeg and mencoder (installed by
# the test command). Included from tests/CMakeLists.txt.
add_executable(integration_test "${CMAKE_CURRENT_LIST_DIR}/integration_test.cpp")
target_link_libraries(integration_test PRIVATE avi_builder reelwright_options GTest::gtest_main)
target_compile_definitions(integration_test PRIVATE REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>")
add_dependencies(integration_test reelwright-fix lang_modules)
gtest_discover_tests(integration_test TEST_PREFIX "integration." DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 ENVIRONMENT "LC_ALL=C.UTF-8")
