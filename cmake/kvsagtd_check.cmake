# The administrators' check of the authorization file, built on the agent's own parser.
add_executable(kvsagtd-check ${CMAKE_SOURCE_DIR}/agent/check/kvsagtd_check.cpp)
target_link_libraries(kvsagtd-check PRIVATE kvsagt)
if(TARGET e2e_admin_test)
  add_dependencies(e2e_admin_test kvsagtd-check)
endif()
