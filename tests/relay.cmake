# veilnox-relay: the real program driven over loopback, plus its command line
# and address policy. Linux only, like the program.
if(TARGET veilnox-relay)
  add_executable(test_relay
    integration/test_relay_support.h integration/test_relay_support.cpp
    integration/test_relay_tcp.cpp
    integration/test_relay_udp.cpp
    integration/test_relay_cli.cpp
    integration/test_relay_keyed.cpp)
  target_link_libraries(test_relay PRIVATE veilnox_relay_lib vnx_test_support)
  target_compile_definitions(test_relay PRIVATE VEILNOX_RELAY_PATH="$<TARGET_FILE:veilnox-relay>")
  add_dependencies(test_relay veilnox-relay)
  vnx_discover(test_relay integration THREADS STRESS "RelayTcp.ManyConcurrentConnections")

  if(VEILNOX_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # libFuzzer target for the relay header parser and the relay's decoding
    # of requests (clang: CC=clang CXX=clang++ cmake -DVEILNOX_FUZZ=ON). The
    # code under test is compiled into the target so that it is instrumented.
    add_executable(fuzz_relay_header
      fuzz/fuzz_relay_header.cpp
      ${CMAKE_SOURCE_DIR}/relay/relayrequest.cpp
      ${CMAKE_SOURCE_DIR}/relay/addresspolicy.cpp
      ${CMAKE_SOURCE_DIR}/common/relayheader.cpp
      ${CMAKE_SOURCE_DIR}/common/rendpoint.cpp)
    target_include_directories(fuzz_relay_header PRIVATE ${CMAKE_SOURCE_DIR}/relay ${CMAKE_SOURCE_DIR}/common)
    target_compile_options(fuzz_relay_header PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(fuzz_relay_header PRIVATE -fsanitize=fuzzer,address,undefined)

    # The keyed hop's datagram opener and the pasted server links and keys.
    find_package(OpenSSL 3.0 REQUIRED)
    add_executable(fuzz_hop_opener
      fuzz/fuzz_hop_opener.cpp
      ${CMAKE_SOURCE_DIR}/common/hop/datagram.cpp
      ${CMAKE_SOURCE_DIR}/common/hop/tls.cpp
      ${CMAKE_SOURCE_DIR}/common/hopkey.cpp
      ${CMAKE_SOURCE_DIR}/common/serverlink.cpp)
    target_include_directories(fuzz_hop_opener PRIVATE ${CMAKE_SOURCE_DIR}/common)
    target_link_libraries(fuzz_hop_opener PRIVATE veilnox_shared OpenSSL::SSL OpenSSL::Crypto)
    target_compile_options(fuzz_hop_opener PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(fuzz_hop_opener PRIVATE -fsanitize=fuzzer,address,undefined)
  endif()
endif()
