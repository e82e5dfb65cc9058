# Tests of the reelwright-fix tool, run as a child process. Included from
# tests/CMakeLists.txt after find_package(GTest) and include(GoogleTest).

add_executable(cli_test "${CMAKE_CURRENT_LIST_DIR}/cli_test.cpp")
# reelwright_cli for its JSON strings, and the engine itself as the oracle of
# what the tool must report.
target_link_libraries(cli_test PRIVATE reelwright_cli avi_builder reelwright_options GTest::gtest_main)
target_compile_definitions(cli_test PRIVATE
  REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>"
  REELWRIGHT_TEST_LANG_EN="$<TARGET_FILE:lang_module_en>"
  REELWRIGHT_VERSION="${PROJECT_VERSION}"
  REELWRIGHT_INSTALLED_MODULE_DIR="${REELWRIGHT_MODULE_DIR}")
add_dependencies(cli_test reelwright-fix lang_modules)
# The prefix lets "ctest -R cli" pick these out.
# The tests expect the default module's texts, whatever the desktop's language.
gtest_discover_tests(cli_test TEST_PREFIX "cli." DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8")
