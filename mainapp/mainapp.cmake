# The main application's native layer beyond the keychain: the controller's launch-URL and
# docking half, the script-callable utilities, the cover launcher and the application
# itself; its executable and the two edition bundles.
find_package(Qt6 REQUIRED COMPONENTS Core Widgets DBus UiTools)

target_sources(tvl_mainapp_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AppControllerEvents.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AppleEventManager.cpp ${CMAKE_CURRENT_LIST_DIR}/AppleEventManager.h
  ${CMAKE_CURRENT_LIST_DIR}/ApplicationUtils.cpp ${CMAKE_CURRENT_LIST_DIR}/ApplicationUtils.h
  ${CMAKE_CURRENT_LIST_DIR}/Docking.cpp ${CMAKE_CURRENT_LIST_DIR}/Docking.h
  ${CMAKE_CURRENT_LIST_DIR}/LaunchURL.cpp ${CMAKE_CURRENT_LIST_DIR}/LaunchURL.h
  ${CMAKE_CURRENT_LIST_DIR}/NSApplicationUtilsSystem.cpp)
target_link_libraries(tvl_mainapp_core PUBLIC tvl_script_interpreter tvl_notify tvl_cf tvl_system)

add_library(tvl_mainapp_native STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Localized.cpp ${CMAKE_CURRENT_LIST_DIR}/Localized.h
  ${CMAKE_CURRENT_LIST_DIR}/MainApplication.cpp ${CMAKE_CURRENT_LIST_DIR}/MainApplication.h
  ${CMAKE_CURRENT_LIST_DIR}/RelaySettings.cpp ${CMAKE_CURRENT_LIST_DIR}/RelaySettings.h
  ${CMAKE_CURRENT_LIST_DIR}/SupportSession.cpp ${CMAKE_CURRENT_LIST_DIR}/SupportSession.h
  ${CMAKE_CURRENT_LIST_DIR}/SupportSessionPortal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WhiteDesktop.cpp ${CMAKE_CURRENT_LIST_DIR}/WhiteDesktop.h)
set_target_properties(tvl_mainapp_native PROPERTIES AUTOMOC ON)
target_include_directories(tvl_mainapp_native PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tvl_mainapp_native PUBLIC tvl_mainapp_core tvl_script_interpreter
  tvl_workspace tvl_bundle tvl_bundle_ui tvl_notify tvl_cf tvl_system tvl_desktop Qt6::Widgets Qt6::DBus Qt6::UiTools ${CMAKE_DL_LIBS})

add_executable(mac_tovalo ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
set_target_properties(mac_tovalo PROPERTIES OUTPUT_NAME "Mac Tovalo")
target_link_libraries(mac_tovalo PRIVATE tvl_mainapp_native)

# Both editions run the same program under the same process name; they differ by the
# name in their Info dictionary.
tvl_bundle(TARGET mac_tovalo BUNDLES ${TVL_EDITION_BUNDLES}
  EXECUTABLE_NAME "Mac Tovalo"
  RESOURCES ${CMAKE_CURRENT_LIST_DIR}/resources/MainMenu.ui
    ${CMAKE_CURRENT_LIST_DIR}/resources/English.lproj ${CMAKE_CURRENT_LIST_DIR}/resources/de.lproj)
foreach(bundle ${TVL_EDITION_BUNDLES})
  string(REGEX REPLACE "\\.app$" "" TVL_EDITION_NAME "${bundle}")
  set(TVL_EDITION_EXECUTABLE "${TVL_APPLICATIONS_DIR}/${bundle}/Contents/MacOS/Mac Tovalo")
  tvl_edition_icon("${TVL_EDITION_NAME}" TVL_EDITION_ICON)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/resources/Info.plist.in
    "${TVL_APPLICATIONS_DIR}/${bundle}/Contents/Info.plist" @ONLY)
  # The launch-URL handler's desktop entry, ready to install for this copy of the bundle.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/resources/com.nrvk.tvl.desktop.in
    "${TVL_APPLICATIONS_DIR}/${bundle}/Contents/Resources/com.nrvk.tvl.desktop" @ONLY)
endforeach()

# tvl-portal-vnc: the VNC server of GNOME and KDE Wayland sessions (desktop portal and
# PipeWire), started by the support session; shipped beside the main executable.
pkg_check_modules(LIBVNCSERVER REQUIRED IMPORTED_TARGET libvncserver)
add_executable(tvl_portal_vnc
  ${CMAKE_CURRENT_LIST_DIR}/portalvnc/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/portalvnc/VncServer.cpp ${CMAKE_CURRENT_LIST_DIR}/portalvnc/VncServer.h)
set_target_properties(tvl_portal_vnc PROPERTIES OUTPUT_NAME tvl-portal-vnc AUTOMOC ON)
target_include_directories(tvl_portal_vnc PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(tvl_portal_vnc PRIVATE tvl_screencast PkgConfig::LIBVNCSERVER Qt6::Core)
tvl_bundle(TARGET tvl_portal_vnc BUNDLES ${TVL_EDITION_BUNDLES})
