# Inputs the engine fuzzer found faults with (fuzz/regressions/), each run
# through every fuzzer branch with the fuzzer's own checks. Included from
# tests/CMakeLists.txt after find_package(GTest) and include(GoogleTest).
add_executable(fuzz_regression_test
  "${CMAKE_CURRENT_LIST_DIR}/fuzz_regression_test.cpp"
  "${PROJECT_SOURCE_DIR}/fuzz/engine_exercise.cpp")
target_include_directories(fuzz_regression_test PRIVATE "${PROJECT_SOURCE_DIR}/fuzz")
target_link_libraries(fuzz_regression_test PRIVATE reelwright_engine reelwright_options GTest::gtest_main)
target_compile_definitions(fuzz_regression_test PRIVATE
  REELWRIGHT_FUZZ_REGRESSIONS="${PROJECT_SOURCE_DIR}/fuzz/regressions")
# Listed when the tests run, so that a newly added input needs no rebuild.
gtest_discover_tests(fuzz_regression_test TEST_PREFIX "fuzz." DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
