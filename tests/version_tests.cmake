# Tests of the version block: the build tool, the ELF section reader, the
# VerQueryValue walk and the version strings. Included from
# tests/CMakeLists.txt after find_package(GTest) and include(GoogleTest).

# Small executables carrying test blocks, kept out of bin/.
set(version_probe_dir "${CMAKE_CURRENT_BINARY_DIR}/version_probes")
foreach(probe plain german marks)
  add_executable(version_probe_${probe} "${CMAKE_CURRENT_LIST_DIR}/version_probe.cpp")
  target_link_libraries(version_probe_${probe} PRIVATE reelwright_options)
  set_target_properties(version_probe_${probe} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${version_probe_dir}")
endforeach()
reelwright_add_version_block(version_probe_german "${CMAKE_CURRENT_LIST_DIR}/version_probe_german.txt")
reelwright_add_version_block(version_probe_marks "${CMAKE_CURRENT_LIST_DIR}/version_probe_marks.txt")

add_executable(version_test "${CMAKE_CURRENT_LIST_DIR}/version_test.cpp")
target_link_libraries(version_test PRIVATE reelwright_platform avi_builder reelwright_options GTest::gtest_main)
target_compile_definitions(version_test PRIVATE
  REELWRIGHT_FIX_PATH="$<TARGET_FILE:reelwright-fix>"
  REELWRIGHT_TEST_PROBE_PLAIN="$<TARGET_FILE:version_probe_plain>"
  REELWRIGHT_TEST_PROBE_GERMAN="$<TARGET_FILE:version_probe_german>"
  REELWRIGHT_TEST_PROBE_MARKS="$<TARGET_FILE:version_probe_marks>"
  REELWRIGHT_TEST_VERSION_COMPILE="$<TARGET_FILE:version_compile>"
  REELWRIGHT_TEST_STRIP="${CMAKE_STRIP}"
  REELWRIGHT_VERSION="${PROJECT_VERSION}")
add_dependencies(version_test reelwright-fix version_compile
  version_probe_plain version_probe_german version_probe_marks)
# The prefix lets "ctest -R version" pick these out.
gtest_discover_tests(version_test TEST_PREFIX "version." DISCOVERY_TIMEOUT 60)
