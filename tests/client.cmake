# Client tests (included by tests/CMakeLists.txt). The logic tests
# (unit/, label unit) link the window-free core (veilnox_client_core) only;
# the GUI tests (gui/, label gui) link the widgets on top.
find_package(Qt5 5.15 REQUIRED COMPONENTS Test)

add_library(clientcore_support STATIC unit/clientcore_support.h unit/clientcore_support.cpp)
target_include_directories(clientcore_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/unit)
target_link_libraries(clientcore_support PUBLIC veilnox_client_core vnx_test_main)

add_library(clientlib_support STATIC gui/clientlib_support.h gui/clientlib_support.cpp)
set_target_properties(clientlib_support PROPERTIES AUTOMOC ON)
target_include_directories(clientlib_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/gui)
target_link_libraries(clientlib_support PUBLIC clientcore_support veilnox_client_lib vnx_test_main Qt5::Test)

# Settings store, helpers, XML lists, autostart, versions: no window.
add_executable(test_clientlib
  unit/test_clientlib_appconfig.cpp
  unit/test_clientlib_helpers.cpp
  unit/test_clientlib_version.cpp)
target_link_libraries(test_clientlib PRIVATE clientcore_support)
# The veilnox program's window-free logic: what reaches the proxy data block,
# the settings keys of a connection, the server-list order, the rotation,
# the launch bookkeeping, the crash message and the capture mode.
add_executable(test_app_logic unit/test_app_logic.cpp)
target_link_libraries(test_app_logic PRIVATE clientcore_support)
vnx_discover(test_app_logic unit PREFIX app. TIMEOUT 180)
# The rules of the main window's views: traffic texts, probe answers.
add_executable(test_view_logic unit/test_view_logic.cpp)
target_link_libraries(test_view_logic PRIVATE clientcore_support)
vnx_discover(test_view_logic unit PREFIX view.)

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
    # The version document goes through the update checker (ui/); the
    # others are core.
    if(f STREQUAL fuzz_version_document)
      target_link_libraries(${f} PRIVATE veilnox_client_lib)
    else()
      target_link_libraries(${f} PRIVATE veilnox_client_core)
    endif()
  endforeach()
endif()
