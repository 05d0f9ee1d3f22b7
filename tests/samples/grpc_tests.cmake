# Tests of the gRPC samples: tvx-sample-server as a process, and tvx_sample_remote loaded through
# TVXClientAPI as "remote". Included from tests/CMakeLists.txt; paths are relative to tests/.
if(TARGET tvx-sample-server AND TARGET tvx_sample_remote)
  add_executable(sample_server_tests samples/server_test.cpp)
  target_link_libraries(sample_server_tests PRIVATE tvx_sample_rpc tvx_sample_framework test_support gtest_main)
  add_dependencies(sample_server_tests tvx-sample-server)
  add_test(NAME sample_server_tests COMMAND sample_server_tests WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

  add_executable(remote_sample_tests samples/remote_sample_test.cpp)
  target_link_libraries(remote_sample_tests PRIVATE TVXClientAPI tvx_sample_rpc tvx_sample_framework test_support gtest_main)
  # The in-process sample beside it, as the scenario loads them: server objects moved into it.
  add_dependencies(remote_sample_tests tvx-sample-server tvx_sample_remote)
  add_test(NAME remote_sample_tests COMMAND remote_sample_tests WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()
