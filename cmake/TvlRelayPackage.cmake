# The Debian packages of the organisation's side, beside the desktop's (cmake/TvlPackage.cmake):
#   tovalo-relay     the relay's programs for a stock OpenSSH server (component "relay")
#   tovalo-support   the supporters' console (component "support")
# Each is packed by CPack from its own configuration file, from its component alone:
#   cpack --config build/normal/CPackRelayConfig.cmake     (or: the target relay_package)
# so the desktop's package and its `cmake --install` stay as they are. The same settings
# are also given as CPACK_DEBIAN_<COMPONENT>_* for a CPack run of the whole project with
# one package per component (CPACK_DEB_COMPONENT_INSTALL): this file is included before
# cmake/TvlPackage.cmake, whose include(CPack) writes them.
function(tvl_component_package)
  cmake_parse_arguments(P "" "COMPONENT;NAME;SUMMARY;DESCRIPTION;DEPENDS;RECOMMENDS;CONFIG;CONTROL_DIR"
    "CONFFILES;SCRIPTS" ${ARGN})
  set(control "${CMAKE_BINARY_DIR}/debian-control-${P_NAME}")
  file(MAKE_DIRECTORY "${control}")
  set(extra "")
  if(P_CONFFILES)
    list(JOIN P_CONFFILES "\n" conffiles)
    file(WRITE "${control}/conffiles" "${conffiles}\n")
    list(APPEND extra "${control}/conffiles")
  endif()
  foreach(script ${P_SCRIPTS})
    list(APPEND extra "${script}")
  endforeach()
  file(WRITE "${CMAKE_BINARY_DIR}/${P_CONFIG}" "# Written by cmake/TvlRelayPackage.cmake
set(CPACK_GENERATOR DEB)
set(CPACK_CMAKE_GENERATOR \"${CMAKE_GENERATOR}\")
set(CPACK_INSTALL_CMAKE_PROJECTS \"${CMAKE_BINARY_DIR};${PROJECT_NAME};${P_COMPONENT};/\")
set(CPACK_PACKAGE_NAME ${P_NAME})
set(CPACK_PACKAGE_VENDOR NRVK)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${P_NAME}-${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT \"NRVK support <support@nrvk.invalid>\")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY \"${P_SUMMARY}\")
set(CPACK_PACKAGE_DESCRIPTION \"${P_DESCRIPTION}\")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION \"${P_DESCRIPTION}\")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS \"${P_DEPENDS}\")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS \"${P_RECOMMENDS}\")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA \"${extra}\")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_OUTPUT_FILE_PREFIX \"${CMAKE_BINARY_DIR}/packages\")
")
  string(TOUPPER ${P_COMPONENT} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${P_NAME} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_DESCRIPTION "${P_SUMMARY}\n${P_DESCRIPTION}" PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DESCRIPTION "${P_SUMMARY}\n${P_DESCRIPTION}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION net PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SHLIBDEPS ON PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${P_DEPENDS}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_RECOMMENDS "${P_RECOMMENDS}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA "${extra}" PARENT_SCOPE)
endfunction()

tvl_component_package(COMPONENT relay NAME tovalo-relay CONFIG CPackRelayConfig.cmake
  SUMMARY "Relay for Tovalo support sessions, on a stock OpenSSH server"
  DESCRIPTION "Lets a support organisation's OpenSSH server carry Tovalo support
sessions: one key, one port and one end for each session, registered by
customers' machines with the organisation's key, prepared and ended by
supporters through their console. sshd stays the only thing that listens on
the network. The package adds its settings, the programs sshd runs, the
session store and the relay's accounts."
  # sshd from Debian 12 on; useradd and friends come from passwd (required).
  DEPENDS "openssh-server (>= 1:9.2)"
  CONFFILES /etc/ssh/sshd_config.d/tovalo-relay.conf /etc/tovalo-relay/relay.conf
  SCRIPTS ${CMAKE_SOURCE_DIR}/relay/package/postinst ${CMAKE_SOURCE_DIR}/relay/package/postrm)

# Packed again when the program or a file of the package changes; the relay's tests install it.
file(GLOB relay_package_files ${CMAKE_SOURCE_DIR}/relay/package/*)
set(relay_deb ${CMAKE_BINARY_DIR}/packages/tovalo-relay_${PROJECT_VERSION}-1_amd64.deb)
add_custom_command(OUTPUT ${relay_deb}
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackRelayConfig.cmake > cpack-relay.log
  DEPENDS tovalo-relay tovalo_relay_changelog ${relay_package_files}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Packing tovalo-relay")
add_custom_target(relay_package DEPENDS ${relay_deb})

tvl_component_package(COMPONENT support NAME tovalo-support CONFIG CPackSupportConfig.cmake
  SUMMARY "Console for supporters of Tovalo support sessions"
  DESCRIPTION "tovalo-support prepares a link for a user, lists the sessions on the
organisation's relays, connects a VNC viewer to a session through the relay
and ends sessions. It reaches the relays only through ssh with the
supporter's own key."
  DEPENDS "openssh-client"
  RECOMMENDS "tigervnc-viewer")
set(support_deb ${CMAKE_BINARY_DIR}/packages/tovalo-support_${PROJECT_VERSION}-1_amd64.deb)
add_custom_command(OUTPUT ${support_deb}
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackSupportConfig.cmake > cpack-support.log
  DEPENDS tovalo-support tovalo_support_changelog ${CMAKE_SOURCE_DIR}/console/package/copyright
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Packing tovalo-support")
add_custom_target(support_package DEPENDS ${support_deb})
