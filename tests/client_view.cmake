# The main window's connectivity test, traffic view and settings dialog
# (included by tests/CMakeLists.txt): real widgets on the offscreen
# platform, a real veilnox-relay answering the probes and a real veilnoxsvr
# relaying the traffic that the view shows.
if(TARGET veilnox_app_lib AND NOT WIN32)
  find_package(Qt5 5.15 REQUIRED COMPONENTS Test)

  foreach(suite probe traffic live settings)
    add_executable(test_view_${suite} gui/test_view_${suite}.cpp)
    set_target_properties(test_view_${suite} PROPERTIES AUTOMOC ON)
    target_link_libraries(test_view_${suite} PRIVATE vnx_qt_test_widgets)
    # The probe suite seals and opens as a keyed relay does.
    if(suite STREQUAL probe)
      target_link_libraries(test_view_${suite} PRIVATE veilnox_hop)
    endif()
    # bin/ holds the pictures, the default rules, the module scripts, the
    # module library they install and the programs the suites start.
    add_dependencies(test_view_${suite} veilnox_files)
    foreach(program veilnox-relay veilnoxsvr veilnox_module)
      if(TARGET ${program})
        add_dependencies(test_view_${suite} ${program})
      endif()
    endforeach()
    vnx_discover(test_view_${suite} gui PREFIX view. TIMEOUT 180 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endforeach()
endif()
