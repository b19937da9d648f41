# The main window's connectivity test, traffic view and settings dialog
# (with its form and the rules-file rules). Part of veilnox_app_lib, so the
# program and the GUI tests get them with the window.
target_sources(veilnox_app_lib PRIVATE
  probe.h probe.cpp
  trafficview.h trafficview.cpp
  rulesfile.h rulesfile.cpp
  programdlg.h programdlg.cpp forms/programdlg.ui
  mainwindow_probe.cpp
  mainwindow_traffic.cpp
  mainwindow_settings.cpp)
# The settings form lives with the other dialog forms.
set_property(TARGET veilnox_app_lib APPEND PROPERTY AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_SOURCE_DIR}/forms)

# The screenshot tool also pictures the settings pages and the Connections
# tab; it builds the real window inside a private /dev/shm.
target_sources(veilnox-screenshots PRIVATE
  tools/viewshots.h tools/viewshots.cpp
  tools/privateobjects.h tools/privateobjects_${veilnox_app_platform}.cpp)
target_link_libraries(veilnox-screenshots PRIVATE veilnox_app_lib)
