# The main window's connectivity test, traffic view and settings dialog
# (with its form). Part of veilnox_app_lib, so the program and the GUI tests
# get them with the window; the probe rules, the traffic texts and the rules
# file are in ../core.
target_sources(veilnox_app_lib PRIVATE
  trafficview.h trafficview.cpp
  programdlg.h programdlg.cpp forms/programdlg.ui
  mainwindow_probe.cpp
  mainwindow_traffic.cpp
  mainwindow_settings.cpp)
# The settings form lives with the other dialog forms.
set_property(TARGET veilnox_app_lib APPEND PROPERTY AUTOUIC_SEARCH_PATHS ${CMAKE_CURRENT_SOURCE_DIR}/forms)
