# Installation layout and the Debian packages (cpack -G DEB), made from two
# install components:
#   main  -> veilnox: the client, local server, module, veilnox-run and the
#            capture service. Programs, the module and bat/ stay together in
#            /usr/lib/veilnox, so paths relative to the program folder work as
#            they do in the build tree; data/ (architecture-independent) is in
#            /usr/share/veilnox with a link to it in the program folder.
#            /usr/bin has links to the programs, and a small script for
#            veilnox-run (packaging/veilnox-run.sh).
#   relay -> veilnox-relay: the relay server alone (no Qt), for a server host,
#            with its service, options file and key made on install.
include(GNUInstallDirs)
set(VEILNOX_LIBEXEC lib/veilnox)
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME main)

set(programs)
foreach(prog veilnox veilnoxsvr veilnox-run)
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
# The Windows seed rules (default_rules_win.txt) have no use here.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/ DESTINATION ${CMAKE_INSTALL_DATADIR}/veilnox/data
        PATTERN default_rules_win.txt EXCLUDE)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/bat/ DESTINATION ${VEILNOX_LIBEXEC}/bat
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# vnx_install_link(LINK TARGET): a relative symbolic link in the staging
# tree, LINK under the prefix pointing at TARGET (relative to LINK's folder).
function(vnx_install_link link target)
  get_filename_component(folder ${link} DIRECTORY)
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${folder}\")
    execute_process(COMMAND \${CMAKE_COMMAND} -E create_symlink
      ${target} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${link}\")")
endfunction()
vnx_install_link(${VEILNOX_LIBEXEC}/data ../../${CMAKE_INSTALL_DATADIR}/veilnox/data)
# /usr/bin: links to the client and the local server; veilnox-run is a
# script that registers the module on a user's first use, then runs the
# launcher (see the script).
foreach(prog ${programs})
  if(prog STREQUAL "veilnox-run")
    install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/veilnox-run.sh DESTINATION ${CMAKE_INSTALL_BINDIR}
            RENAME veilnox-run)
  else()
    vnx_install_link(${CMAKE_INSTALL_BINDIR}/${prog} ../${VEILNOX_LIBEXEC}/${prog})
  endif()
endforeach()

install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
if(EXISTS ${CMAKE_SOURCE_DIR}/data/images/icon.png)
  install(FILES ${CMAKE_SOURCE_DIR}/data/images/icon.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME veilnox.png)
endif()

# vnx_install_man(SOURCE SECTION COMPONENT): a man page with the version
# filled in, compressed as Debian expects.
find_program(GZIP_PROGRAM gzip)
function(vnx_install_man page section component)
  if(NOT EXISTS ${CMAKE_SOURCE_DIR}/${page})
    return()
  endif()
  get_filename_component(name ${page} NAME)
  configure_file(${CMAKE_SOURCE_DIR}/${page} ${CMAKE_BINARY_DIR}/man/${name} @ONLY)
  if(GZIP_PROGRAM)
    execute_process(COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/man/${name})
    set(name ${name}.gz)
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/man/${name} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
foreach(page docs/man/veilnox.1 docs/man/veilnoxsvr.1 module/veilnox-run.1)
  vnx_install_man(${page} 1 main)
endforeach()

# Debian's package documents, per package: the copyright file and the
# changelog of the (native) package, compressed as Debian expects.
string(TIMESTAMP VEILNOX_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
function(vnx_install_deb_docs package changelog component)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
          COMPONENT ${component})
  configure_file(${CMAKE_SOURCE_DIR}/${changelog} ${CMAKE_BINARY_DIR}/deb-doc/${package}/changelog @ONLY)
  if(GZIP_PROGRAM)
    execute_process(COMMAND ${GZIP_PROGRAM} -9nf ${CMAKE_BINARY_DIR}/deb-doc/${package}/changelog)
    install(FILES ${CMAKE_BINARY_DIR}/deb-doc/${package}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component})
  endif()
endfunction()
vnx_install_deb_docs(veilnox packaging/changelog.in main)

# The relay package: the program in /usr/bin (it needs nothing beside it),
# its manual page, its system service and the service's options, a conffile
# so that dpkg keeps the administrator's edits across upgrades. Its
# maintainer scripts make the relay's key (/etc/veilnox-relay/key) and
# enable and start the service.
if(TARGET veilnox-relay)
  install(TARGETS veilnox-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
  vnx_install_man(relay/veilnox-relay.1 1 relay)
  vnx_install_deb_docs(veilnox-relay packaging/relay/changelog.in relay)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox-relay.service DESTINATION /lib/systemd/system COMPONENT relay)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox-relay.default DESTINATION /etc/default RENAME veilnox-relay
          COMPONENT relay)
  file(WRITE ${CMAKE_BINARY_DIR}/deb-control/relay/conffiles "/etc/default/veilnox-relay\n")
  set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
      ${CMAKE_SOURCE_DIR}/packaging/relay/postinst ${CMAKE_SOURCE_DIR}/packaging/relay/prerm
      ${CMAKE_SOURCE_DIR}/packaging/relay/postrm ${CMAKE_BINARY_DIR}/deb-control/relay/conffiles)
  set(CPACK_DEBIAN_RELAY_PACKAGE_NAME veilnox-relay)
  set(CPACK_DEBIAN_RELAY_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_RELAY_DESCRIPTION "Relay server for self-hosted Veilnox connections\nveilnox-relay is the server end of Veilnox: it relays the TCP and UDP traffic\nof Veilnox clients to their destinations. On install it makes a random key\n(/etc/veilnox-relay/key) and starts veilnox-relay.service on port 9200; it\nthen serves only clients that hold the key, over TLS 1.3 and sealed\ndatagrams. The command veilnox-relay --print-list-entry prints the line\nthat clients add to their server list.")
  set(CPACK_DEBIAN_MAIN_PACKAGE_SUGGESTS veilnox-relay)
endif()
# The kernel capture service: its program beside the others (a link in
# /usr/sbin), its unit, and its manual page. Enabled and started on install
# where systemd runs; detached on removal (packaging/postinst, prerm).
if(TARGET veilnox-capture)
  install(TARGETS veilnox-capture RUNTIME DESTINATION ${VEILNOX_LIBEXEC})
  vnx_install_link(${CMAKE_INSTALL_SBINDIR}/veilnox-capture ../${VEILNOX_LIBEXEC}/veilnox-capture)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/veilnox-capture.service DESTINATION /lib/systemd/system)
  vnx_install_man(capture/veilnox-capture.8 8 main)
  list(APPEND CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst
       ${CMAKE_SOURCE_DIR}/packaging/prerm)
endif()
# Our own postrm: the one CPack would generate for a library under /usr/lib
# calls ldconfig, which the preloaded module does not need.
list(APPEND CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postrm)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL main)
if(TARGET veilnox-relay)
  list(APPEND CPACK_COMPONENTS_ALL relay)
endif()
set(CPACK_PACKAGE_NAME veilnox)
set(CPACK_DEBIAN_MAIN_PACKAGE_NAME veilnox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Veilnox developers <dev@veilnox.invalid>")
# Each package's description starts with its own summary line, so no common
# CPACK_PACKAGE_DESCRIPTION_SUMMARY is set (CPack would put it in front of
# both). CPack indents each further line by one blank, as the control file
# wants its continuation lines.
set(CPACK_DEBIAN_MAIN_DESCRIPTION "Send chosen applications' traffic through a remote proxy server\nVeilnox redirects the TCP, UDP and DNS traffic of the applications you choose\nthrough a remote proxy server: a Qt desktop client, a local redirect server,\nan LD_PRELOAD network-stack module with its launcher veilnox-run, and a\nkernel capture service. The relay server for self-hosting is the package\nveilnox-relay.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The client's Install button asks for the administrator's password with
# pkexec to start the capture service.
set(CPACK_DEBIAN_MAIN_PACKAGE_RECOMMENDS pkexec)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
