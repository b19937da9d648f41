# The veilnox program: start-up, main window, connecting, the local-server
# watchdog, tray and the module's buttons (the window-free rules they apply
# are in ../core). veilnox_app_lib holds all of it except main() so that the
# GUI tests drive the real window.

add_library(veilnox_app_lib STATIC
  appcontext.h appcontext.cpp
  clientapp.h clientapp.cpp
  inprocessserver.h inprocessserver.cpp
  mainwindow.h mainwindow.cpp mainwindow.ui
  mainwindowaccess.h
  moduleactions.h moduleactions.cpp)
set_target_properties(veilnox_app_lib PROPERTIES
  AUTOMOC ON
  AUTOUIC ON
  AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_SOURCE_DIR})
# The tests read the window's form through ui_mainwindow.h.
target_include_directories(veilnox_app_lib PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
  ${CMAKE_CURRENT_BINARY_DIR}/veilnox_app_lib_autogen/include)
# The in-process RVeilnoxSvr (constructed, never started) comes from the
# server library.
target_link_libraries(veilnox_app_lib PUBLIC veilnox_client_lib veilnoxsvr_lib Qt5::Network Qt5::Widgets)

add_executable(veilnox main.cpp automation.h automation.cpp)
target_link_libraries(veilnox PRIVATE veilnox_app_lib)
# The program finds its pictures, style sheet, default rules and scripts in
# bin/, and starts the local server from there.
add_dependencies(veilnox veilnox_files)
if(TARGET veilnoxsvr)
  add_dependencies(veilnox veilnoxsvr)
endif()

# bench/serverlist: how long a downloaded list takes to show.
add_executable(veilnox-bench-serverlist ${CMAKE_SOURCE_DIR}/bench/serverlist_bench.cpp)
target_link_libraries(veilnox-bench-serverlist PRIVATE veilnox_app_lib)
add_dependencies(veilnox-bench-serverlist veilnox_files)
