# Client tests (included by tests/CMakeLists.txt). The logic tests
# (unit/, label unit) link the window-free core (veilnox_client_core) only;
# the GUI tests (gui/, label gui) link the widgets on top.
find_package(Qt5 5.15 REQUIRED COMPONENTS Test)

# The client tests' support (support/qt/, one header set, namespace vnxtest
# like the library below it): a Qt Core part and a widget part, two targets
# because a library has one set of link dependencies and the logic tests must
# not link Qt Widgets. vnx_qt_test_core (on veilnox_client_core and
# vnx_test_support): the application object of a logic test, the bounded wait
# that runs the event loop, the per-user folders, the documents the tests
# hand to the client, the steerable HTTP server, and the programs of bin/ and
# stand-in peers on loopback. vnx_qt_test_widgets on top (the widgets and the
# main window): the QApplication, the message-box and URL recorders, the
# per-user world of a GUI test and the main window's rows.
set(vnx_qt ${CMAKE_CURRENT_SOURCE_DIR}/support/qt)
add_library(vnx_qt_test_core STATIC
  ${vnx_qt}/clientcore.h ${vnx_qt}/clientcore.cpp
  ${vnx_qt}/httpserver.h ${vnx_qt}/httpserver.cpp
  ${vnx_qt}/peers.h ${vnx_qt}/peers.cpp)
set_target_properties(vnx_qt_test_core PROPERTIES AUTOMOC ON)
target_link_libraries(vnx_qt_test_core PUBLIC veilnox_client_core vnx_test_support)

add_library(vnx_qt_test_widgets STATIC
  ${vnx_qt}/widgets.h ${vnx_qt}/widgets.cpp
  ${vnx_qt}/clientworld.h ${vnx_qt}/clientworld.cpp)
set_target_properties(vnx_qt_test_widgets PROPERTIES AUTOMOC ON)
target_link_libraries(vnx_qt_test_widgets PUBLIC vnx_qt_test_core veilnox_app_lib veilnox_client_lib Qt5::Test)

# Settings store, helpers, XML lists, autostart, versions: no window.
add_executable(test_clientlib
  unit/test_clientlib_appconfig.cpp
  unit/test_clientlib_helpers.cpp
  unit/test_clientlib_version.cpp)
target_link_libraries(test_clientlib PRIVATE vnx_qt_test_core)
# The veilnox program's window-free logic: what reaches the proxy data block,
# the settings keys of a connection, the server-list order, the rotation,
# the launch bookkeeping, the crash message and the capture mode; the
# servers' protection, the relay key handed to the local server and the
# user's own server list (pasted links, the file edited in place).
add_executable(test_app_logic unit/test_app_logic.cpp unit/test_client_localservers.cpp)
target_link_libraries(test_app_logic PRIVATE vnx_qt_test_core)
# The seed lists of redirected programs and the module scripts are read from bin/.
add_dependencies(test_app_logic veilnox_files)
vnx_discover(test_app_logic unit PREFIX app. TIMEOUT 180)
# The rules of the main window's views: traffic texts, probe answers.
add_executable(test_view_logic unit/test_view_logic.cpp)
target_link_libraries(test_view_logic PRIVATE vnx_qt_test_core)
vnx_discover(test_view_logic unit PREFIX view.)

# Downloads and the update check against a local HTTP server, widgets and
# dialogs on the offscreen platform.
add_executable(test_clientlib_gui
  gui/test_clientlib_download.cpp
  gui/test_clientlib_widgets.cpp
  gui/test_clientlib_dialogs.cpp)
target_link_libraries(test_clientlib_gui PRIVATE vnx_qt_test_widgets)
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
