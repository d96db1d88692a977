# The Windows pass-through records, built from portable code and checked here
# on Linux byte by byte. Included from tool/device/CMakeLists.txt after
# kestrin_device; kestrin.exe itself is cross-built by tool/windows/.
add_library(kestrin_pass_through_records STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pass_through_records.cpp
)
target_include_directories(kestrin_pass_through_records PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(kestrin_pass_through_records PUBLIC common)

add_executable(kestrin_pass_through_records_tests
  ${CMAKE_CURRENT_LIST_DIR}/tests/pass_through_records_test.cpp
)
target_link_libraries(kestrin_pass_through_records_tests PRIVATE kestrin_pass_through_records GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(kestrin_pass_through_records_tests)
