# veilnoxsvr: unit suites on the server library (in-process) and integration
# suites that drive the real program (and the real veilnox-relay) over
# loopback, on Linux (the test isolation they rely on is Linux's); and, in the
# Windows cross-build, the Windows program end to end (windows/), which
# scripts/windows-check runs under Wine beside a Linux veilnox-relay.
if(TARGET veilnoxsvr AND WIN32)
  add_executable(test_windows_server windows/test_windows_server.cpp windows/winprocess.h windows/winprocess.cpp)
  target_link_libraries(test_windows_server PRIVATE veilnox_shared gtest)
  add_dependencies(test_windows_server veilnoxsvr)
endif()
if(TARGET veilnoxsvr AND NOT WIN32)
  if(TARGET veilnox-relay)
    set(vnx_relay_path "$<TARGET_FILE:veilnox-relay>")
  else()
    set(vnx_relay_path "")
  endif()

  add_library(test_server_support STATIC
    integration/test_server_support.h integration/test_server_support.cpp)
  target_link_libraries(test_server_support PUBLIC veilnox_shared veilnox_hop vnx_test_support)
  target_include_directories(test_server_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/integration)
  target_compile_definitions(test_server_support PRIVATE
    VEILNOX_SERVER_PATH="$<TARGET_FILE:veilnoxsvr>" VEILNOX_RELAY_PATH="${vnx_relay_path}")

  foreach(suite process tcp udp)
    add_executable(test_server_${suite} integration/test_server_${suite}.cpp)
    target_link_libraries(test_server_${suite} PRIVATE test_server_support)
    add_dependencies(test_server_${suite} veilnoxsvr)
    if(TARGET veilnox-relay)
      add_dependencies(test_server_${suite} veilnox-relay)
    endif()
  endforeach()
  vnx_discover(test_server_process integration THREADS)
  vnx_discover(test_server_tcp integration THREADS TIMEOUT 600 STRESS "ServerTcp.TwoThousand*")
  vnx_discover(test_server_udp integration THREADS)

  add_executable(test_server_unit unit/test_server_unit.cpp)
  target_link_libraries(test_server_unit PRIVATE veilnoxsvr_lib test_server_support)
  vnx_discover(test_server_unit unit THREADS)

  if(VEILNOX_FUZZ)
    # A client datagram with arbitrary bytes handed to the registry's hooks
    # (clang: CC=clang CXX=clang++ cmake -DVEILNOX_FUZZ=ON). The registry's
    # own sources are compiled into the target so that libFuzzer sees their
    # coverage; the rest comes from the libraries.
    set(vnx_svr ${CMAKE_SOURCE_DIR}/veilnoxsvr)
    add_executable(fuzz_registry_datagram fuzz/fuzz_registry_datagram.cpp support/isolation.cpp
      ${vnx_svr}/rlocalserver.cpp ${vnx_svr}/bindport.cpp ${vnx_svr}/rudpserver.cpp ${vnx_svr}/rudptunnel.cpp
      ${vnx_svr}/rtcpserver.cpp ${vnx_svr}/rtcptunnel.cpp ${vnx_svr}/rlocaltcptunnel.cpp
      ${vnx_svr}/rsockproxy.cpp ${vnx_svr}/rthread.cpp ${vnx_svr}/serverstate.cpp ${vnx_svr}/processnames.cpp
      ${vnx_svr}/hopclient.cpp ${vnx_svr}/hoppool.cpp)
    target_include_directories(fuzz_registry_datagram PRIVATE support ${vnx_svr})
    target_link_libraries(fuzz_registry_datagram PRIVATE veilnox_common veilnox_hop)
    target_compile_options(fuzz_registry_datagram PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(fuzz_registry_datagram PRIVATE -fsanitize=fuzzer,address,undefined)
  endif()
endif()
