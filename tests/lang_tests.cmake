# Tests of the language modules and the message catalogue. Included from
# tests/CMakeLists.txt after find_package(GTest) and include(GoogleTest).

# Modules used only by the tests, kept out of bin/ so they are never mistaken
# for the program's own.
set(lang_test_module_dir "${CMAKE_CURRENT_BINARY_DIR}/lang_test_modules")

reelwright_add_lang_module(lang_test_module "${CMAKE_CURRENT_LIST_DIR}/lang_test_table.txt"
  lang.test.so)
set_target_properties(lang_test_module PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY "${lang_test_module_dir}")

add_library(not_a_lang_module MODULE "${CMAKE_CURRENT_LIST_DIR}/not_a_lang_module.cpp")
target_link_libraries(not_a_lang_module PRIVATE reelwright_options)
set_target_properties(not_a_lang_module PROPERTIES
  PREFIX ""
  SUFFIX ""
  OUTPUT_NAME not_a_lang.so
  LIBRARY_OUTPUT_DIRECTORY "${lang_test_module_dir}")

add_executable(lang_test "${CMAKE_CURRENT_LIST_DIR}/lang_test.cpp")
target_link_libraries(lang_test PRIVATE reelwright_lang avi_builder reelwright_options GTest::gtest_main)
target_compile_definitions(lang_test PRIVATE
  REELWRIGHT_TEST_LANG_EN="$<TARGET_FILE:lang_module_en>"
  REELWRIGHT_TEST_LANG_DE="$<TARGET_FILE:lang_module_de>"
  REELWRIGHT_TEST_LANG_TEST="$<TARGET_FILE:lang_test_module>"
  REELWRIGHT_TEST_NOT_A_MODULE="$<TARGET_FILE:not_a_lang_module>"
  REELWRIGHT_TEST_LANG_COMPILE="$<TARGET_FILE:lang_compile>"
  REELWRIGHT_TEST_MESSAGES_MD="${PROJECT_SOURCE_DIR}/lang_modules/messages.md")
# The modules are loaded at run time, not linked.
add_dependencies(lang_test lang_modules lang_test_module not_a_lang_module lang_compile)
gtest_discover_tests(lang_test PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8")
