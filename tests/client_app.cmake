# veilnox program tests (included by tests/CMakeLists.txt): the real
# MainWindow on the offscreen platform, and the real programs as processes
# (veilnox, veilnoxsvr, the bat/ scripts). The window-free logic is
# test_app_logic (tests/client.cmake).
find_package(Qt5 5.15 REQUIRED COMPONENTS Test)

add_executable(test_app_window gui/test_app_window.cpp)
add_executable(test_app_process gui/test_app_process.cpp)
# The process tests read README.md and the man page.
target_compile_definitions(test_app_process PRIVATE VNX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
foreach(t test_app_window test_app_process)
  set_target_properties(${t} PROPERTIES AUTOMOC ON)
  target_link_libraries(${t} PRIVATE vnx_qt_test_widgets)
  # The window reads bin/data and runs bin/bat; the process tests start the
  # programs from bin/.
  add_dependencies(${t} veilnox_files veilnox)
  # The window, real processes.
  set(label gui)
  if(t STREQUAL test_app_process)
    set(label integration)
  endif()
  vnx_discover(${t} ${label} PREFIX app. TIMEOUT 180 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endforeach()
# The windows' sizes are given for 96 dpi (above); at a desktop's 125 % text
# size they grow and still cut no text.
add_test(NAME app.Window.EveryTextFitsItsWidgetAt120Dpi
  COMMAND test_app_window --gtest_filter=Window.EveryTextFitsItsWidget)
set_tests_properties(app.Window.EveryTextFitsItsWidgetAt120Dpi PROPERTIES
  TIMEOUT 180 LABELS gui ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FONT_DPI=120")
# The process tests ask veilnox-relay for its server-list entry.
if(TARGET veilnox-relay)
  add_dependencies(test_app_process veilnox-relay)
endif()
# The install scripts refuse to add a module library that is not built.
if(TARGET veilnox_module)
  add_dependencies(test_app_process veilnox_module)
endif()
