# Client library tests (included by tests/CMakeLists.txt).
find_package(Qt5 5.15 REQUIRED COMPONENTS Test)

add_library(clientlib_support STATIC gui/clientlib_support.h gui/clientlib_support.cpp)
set_target_properties(clientlib_support PROPERTIES AUTOMOC ON)
target_include_directories(clientlib_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/gui)
target_link_libraries(clientlib_support PUBLIC veilnox_client_lib vnx_test_main Qt5::Test)

# Settings store, helpers, XML lists, autostart, versions: no window.
add_executable(test_clientlib
  unit/test_clientlib_appconfig.cpp
  unit/test_clientlib_helpers.cpp
  unit/test_clientlib_version.cpp)
target_link_libraries(test_clientlib PRIVATE clientlib_support)

# Downloads and the update check against a local HTTP server, widgets and
# dialogs on the offscreen platform.
add_executable(test_clientlib_gui
  gui/test_clientlib_download.cpp
  gui/test_clientlib_widgets.cpp
  gui/test_clientlib_dialogs.cpp)
target_link_libraries(test_clientlib_gui PRIVATE clientlib_support)
# The widgets and the about window read bin/data.
add_dependencies(test_clientlib_gui veilnox_files)

foreach(t test_clientlib test_clientlib_gui)
  set_target_properties(${t} PROPERTIES AUTOMOC ON)
  if(t STREQUAL test_clientlib)
    set(label unit)
  else()
    set(label gui)
  endif()
  vnx_discover(${t} ${label} PREFIX clientlib. ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endforeach()

if(VEILNOX_FUZZ)
  foreach(f fuzz_parse_array_xml fuzz_appconfig_load fuzz_version_document)
    add_executable(${f} fuzz/${f}.cpp)
    target_compile_options(${f} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${f} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${f} PRIVATE veilnox_client_lib)
  endforeach()
endif()
