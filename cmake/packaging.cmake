# Installation layout and the Debian package (cpack -G DEB).
# Programs, data/ and bat/ stay together in /usr/lib/veilnox, so paths relative
# to the program folder work as they do in the build tree; /usr/bin has links.
include(GNUInstallDirs)
set(VEILNOX_LIBEXEC lib/veilnox)

set(programs)
foreach(prog veilnox veilnoxsvr veilnox-relay veilnox-run)
  if(TARGET ${prog})
    list(APPEND programs ${prog})
  endif()
endforeach()
if(programs)
  install(TARGETS ${programs} RUNTIME DESTINATION ${VEILNOX_LIBEXEC})
endif()
if(TARGET veilnox_module)
  install(TARGETS veilnox_module LIBRARY DESTINATION ${VEILNOX_LIBEXEC})
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/ DESTINATION ${VEILNOX_LIBEXEC}/data)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/bat/ DESTINATION ${VEILNOX_LIBEXEC}/bat
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Links in /usr/bin, made in the staging tree at install time.
foreach(prog ${programs})
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
    execute_process(COMMAND \${CMAKE_COMMAND} -E create_symlink
      ../${VEILNOX_LIBEXEC}/${prog} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${prog}\")")
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
if(EXISTS ${CMAKE_SOURCE_DIR}/data/images/icon.png)
  install(FILES ${CMAKE_SOURCE_DIR}/data/images/icon.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME veilnox.png)
endif()

# Man pages, with the version filled in and compressed as Debian expects.
find_program(GZIP_PROGRAM gzip)
foreach(page docs/man/veilnox.1 docs/man/veilnoxsvr.1 relay/veilnox-relay.1 module/veilnox-run.1)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${page})
    get_filename_component(name ${page} NAME)
    configure_file(${CMAKE_SOURCE_DIR}/${page} ${CMAKE_BINARY_DIR}/man/${name} @ONLY)
    if(GZIP_PROGRAM)
      execute_process(COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/man/${name})
      install(FILES ${CMAKE_BINARY_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
      install(FILES ${CMAKE_BINARY_DIR}/man/${name} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endif()
endforeach()

# Debian's package documents: the copyright file and the changelog of this
# (native) package, compressed as Debian expects.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/veilnox)
string(TIMESTAMP VEILNOX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/deb-doc/changelog @ONLY)
if(GZIP_PROGRAM)
  execute_process(COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/deb-doc/changelog)
  install(FILES ${CMAKE_BINARY_DIR}/deb-doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/veilnox)
endif()

# The relay as a system service, and its options: a conffile, so that dpkg
# keeps the administrator's edits across upgrades. Not enabled on install.
if(TARGET veilnox-relay)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox-relay.service DESTINATION /lib/systemd/system)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox-relay.default DESTINATION /etc/default RENAME veilnox-relay)
  list(APPEND VEILNOX_DEB_CONFFILES /etc/default/veilnox-relay)
endif()
# The kernel capture service: its program beside the others (a link in
# /usr/sbin), its unit, and its manual page. Enabled and started on install
# where systemd runs; detached on removal (packaging/postinst, prerm).
if(TARGET veilnox-capture)
  install(TARGETS veilnox-capture RUNTIME DESTINATION ${VEILNOX_LIBEXEC})
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/sbin\")
    execute_process(COMMAND \${CMAKE_COMMAND} -E create_symlink
      ../${VEILNOX_LIBEXEC}/veilnox-capture \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/sbin/veilnox-capture\")")
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox-capture.service DESTINATION /lib/systemd/system)
  configure_file(${CMAKE_SOURCE_DIR}/capture/veilnox-capture.8 ${CMAKE_BINARY_DIR}/man/veilnox-capture.8 @ONLY)
  if(GZIP_PROGRAM)
    execute_process(COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/man/veilnox-capture.8)
    install(FILES ${CMAKE_BINARY_DIR}/man/veilnox-capture.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  else()
    install(FILES ${CMAKE_BINARY_DIR}/man/veilnox-capture.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  endif()
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
# Every file listed in VEILNOX_DEB_CONFFILES goes into the package's
# conffiles list.
if(VEILNOX_DEB_CONFFILES)
  list(JOIN VEILNOX_DEB_CONFFILES "\n" conffiles)
  file(WRITE ${CMAKE_BINARY_DIR}/deb-control/conffiles "${conffiles}\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb-control/conffiles)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veilnox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Veilnox developers <dev@veilnox.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Send chosen applications' traffic through a remote proxy server")
# CPack indents each line of the description by one blank, as the control
# file wants its continuation lines.
set(CPACK_PACKAGE_DESCRIPTION "Veilnox redirects the TCP, UDP and DNS traffic of the applications you choose\nthrough a remote proxy server: a Qt desktop client, a local redirect server,\nan LD_PRELOAD network-stack module with its launcher veilnox-run, and\nveilnox-relay, a relay server for self-hosting.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Our own postrm: the one CPack would generate for a library under /usr/lib
# calls ldconfig, which the preloaded module does not need.
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
