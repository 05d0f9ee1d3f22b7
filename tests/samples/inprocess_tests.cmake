# The in-process sample loaded through TVXClientAPI as "common", checked on real values.
# Included from tests/CMakeLists.txt; builds natively and for Windows with MinGW (run under Wine).
add_executable(inprocess_sample_tests ${CMAKE_CURRENT_LIST_DIR}/inprocess_sample_test.cpp)
target_link_libraries(inprocess_sample_tests PRIVATE TVXClientAPI test_support gtest_main)
add_dependencies(inprocess_sample_tests tvx_sample_inprocess)

# The sample's proxy operators reach a server only when it was built with gRPC; the tests that
# need a running server start tvx-sample-server and load the remote sample beside it.
if(TARGET tvx_sample_rpc)
  target_compile_definitions(inprocess_sample_tests PRIVATE TVX_SAMPLE_TEST_WITH_GRPC)
  if(TARGET tvx-sample-server AND TARGET tvx_sample_remote)
    target_compile_definitions(inprocess_sample_tests PRIVATE TVX_SAMPLE_TEST_WITH_SERVER)
    add_dependencies(inprocess_sample_tests tvx-sample-server tvx_sample_remote)
  endif()
endif()

add_test(NAME inprocess_sample_tests COMMAND inprocess_sample_tests WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
