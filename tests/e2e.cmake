# The whole system end to end: the real client (offscreen, driven through
# its automation socket), the veilnoxsvr it launches, two veilnox-relay
# servers and a destination, in network namespaces made by the test.
if(WIN32 OR NOT TARGET veilnox OR NOT TARGET vnx_module_support OR NOT TARGET veilnoxsvr OR NOT TARGET veilnox-relay)
  return()
endif()
find_package(Qt5 5.15 REQUIRED COMPONENTS Core)

add_library(e2e_test_support STATIC integration/test_e2e_support.h integration/test_e2e_support.cpp
  integration/test_e2e_automationclient.cpp)
target_link_libraries(e2e_test_support PUBLIC Qt5::Core vnx_test_support)

add_executable(test_e2e_system integration/test_e2e_system.cpp)
target_link_libraries(test_e2e_system PRIVATE e2e_test_support vnx_module_support)
add_dependencies(test_e2e_system veilnox veilnoxsvr veilnox-relay veilnox_module veilnox-run veilnox_files)
vnx_discover(test_e2e_system e2e PREFIX e2e. TIMEOUT 300)

# The client's automation socket on its own (no namespaces needed).
add_executable(test_e2e_automation integration/test_e2e_automation.cpp)
target_link_libraries(test_e2e_automation PRIVATE e2e_test_support vnx_module_support)
add_dependencies(test_e2e_automation veilnox veilnoxsvr veilnox_files)
vnx_discover(test_e2e_automation e2e PREFIX e2e.)
