# Tests of the network-stack module: on Windows the layered service
# provider (run under Wine by scripts/windows-check), on Linux the preloaded
# module and its launcher.
if(WIN32)
  if(TARGET veilnox_lsp)
    # The provider DLL driven through its WSPStartup over a recording
    # stand-in for the provider below, and the catalog installer.
    add_executable(test_lsp windows/lsp_fakelower.h windows/lsp_fakelower.cpp windows/lsp_provider.cpp
                            windows/lsp_catalog.cpp)
    target_link_libraries(test_lsp PRIVATE veilnox_lsp_catalog veilnox_shared GTest::gtest_main)
    target_include_directories(test_lsp PRIVATE ${CMAKE_SOURCE_DIR}/module/win)
    add_dependencies(test_lsp veilnox_lsp veilnox-lspsetup)
    vnx_discover(test_lsp unit)
  endif()
  return()
endif()
if(NOT TARGET veilnox_module)
  return()
endif()

# The program the tests run under the module. Built without sanitizers: a
# preloaded module and a sanitizer runtime do not mix.
add_executable(vnx_module_probe integration/test_module_probe.cpp)
find_package(Threads REQUIRED)
target_link_libraries(vnx_module_probe PRIVATE Threads::Threads)
vnx_without_sanitizers(vnx_module_probe)

add_library(vnx_module_support STATIC integration/test_module_support.h integration/test_module_support.cpp)
target_link_libraries(vnx_module_support PUBLIC veilnox_shared vnx_test_support)
target_compile_definitions(vnx_module_support PUBLIC
  VNX_MODULE_PATH="$<TARGET_FILE:veilnox_module>"
  VNX_PROBE_PATH="$<TARGET_FILE:vnx_module_probe>"
  VNX_RUN_PATH="$<TARGET_FILE:veilnox-run>"
  VNX_BIN_DIR="${VEILNOX_BIN_DIR}"
  VNX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# Parsers and helpers of the module, in-process.
add_executable(test_module_units integration/test_module_units.cpp)
target_link_libraries(test_module_units PRIVATE veilnox_module_core vnx_test_support)
vnx_discover(test_module_units unit)

# Real programs under the module against a stand-in for the local server.
add_executable(test_module_standin integration/test_module_standin.cpp)
target_link_libraries(test_module_standin PRIVATE vnx_module_support Threads::Threads)
add_dependencies(test_module_standin veilnox_module vnx_module_probe veilnox-run veilnox_files)
vnx_discover(test_module_standin integration TIMEOUT 900
  STRESS "ModuleStandIn.ThirtyThousand*:ModuleStandIn.ManyConcurrent*")

# The launcher and the catalog scripts.
add_executable(test_module_run integration/test_module_run.cpp)
target_link_libraries(test_module_run PRIVATE vnx_module_support)
add_dependencies(test_module_run veilnox_module veilnox-run veilnox_files)
vnx_discover(test_module_run integration)

# The whole chain (module, veilnoxsvr, veilnox-relay) across network
# namespaces made by the test, with curl, wget, python3 and getent.
if(TARGET veilnoxsvr AND TARGET veilnox-relay)
  add_executable(test_module_topology integration/test_module_topology.cpp)
  target_link_libraries(test_module_topology PRIVATE vnx_module_support Threads::Threads)
  add_dependencies(test_module_topology veilnox_module vnx_module_probe veilnox-run veilnoxsvr veilnox-relay)
  vnx_discover(test_module_topology e2e TIMEOUT 1200
    STRESS "ModuleTopology.HundredMebibyte*:ModuleTopology.ManyConnections*")
endif()

if(VEILNOX_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # libFuzzer target for the module's DNS response parser (the code under
  # test is compiled in, so that it is instrumented).
  add_executable(fuzz_module_dns fuzz/fuzz_module_dns.cpp ${CMAKE_SOURCE_DIR}/module/dnsmessage.cpp)
  target_include_directories(fuzz_module_dns PRIVATE ${CMAKE_SOURCE_DIR}/module)
  target_compile_options(fuzz_module_dns PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(fuzz_module_dns PRIVATE -fsanitize=fuzzer,address,undefined)
endif()

# Kernel capture: veilnox-capture's hooks on a cgroup folder of the test's
# own, with real programs (never through veilnox-run) across the same
# three namespaces.
if(TARGET veilnox-capture AND TARGET veilnoxsvr AND TARGET veilnox-relay)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBURING REQUIRED IMPORTED_TARGET liburing)
  add_executable(vnx_capture_probe integration/test_capture_probe.c)
  target_link_libraries(vnx_capture_probe PRIVATE PkgConfig::LIBURING Threads::Threads)
  vnx_without_sanitizers(vnx_capture_probe)
  add_executable(test_capture_topology integration/test_capture_topology.cpp)
  target_link_libraries(test_capture_topology PRIVATE vnx_module_support Threads::Threads)
  target_compile_definitions(test_capture_topology PRIVATE VNX_CAPTURE_PROBE_PATH="$<TARGET_FILE:vnx_capture_probe>")
  add_dependencies(test_capture_topology veilnox-capture veilnoxsvr veilnox-relay vnx_capture_probe)
  vnx_discover(test_capture_topology e2e TIMEOUT 300)
  add_executable(test_capture_policy unit/test_capture_policy.cpp)
  target_link_libraries(test_capture_policy PRIVATE veilnox_capture_policy vnx_test_support)
  vnx_discover(test_capture_policy unit)
  # Ending a program's existing sockets (sock_diag), in namespaces of the test.
  add_executable(test_capture_reset integration/test_capture_reset.cpp)
  target_link_libraries(test_capture_reset PRIVATE veilnox_capture_policy vnx_test_support)
  vnx_discover(test_capture_reset integration)
endif()
