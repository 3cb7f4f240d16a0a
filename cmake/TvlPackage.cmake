# The Debian packages: `cpack -G DEB` in a build folder (or the `package` target) packs what
# `cmake --install` installs, for the prefix /usr, one package per install component. See
# docs/install.md.
#
# tovalo-desktop is the component "desktop", which every install rule of the desktop side
# belongs to (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME in TvlInstall.cmake). Another package
# (the relay's) is another component with its own CPACK_DEBIAN_<COMPONENT>_* settings:
# nothing below is set package-wide that one package's control file alone should say.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_VENDOR NRVK)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "NRVK support <support@nrvk.invalid>")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME tovalo-desktop)
# The first line is the synopsis; CPack indents the others and turns the empty one into
# the " ." of a control file's paragraph break.
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "Remote support desktop: Mac Tovalo, its status menu and screen cover
Lets a remote party see or control this computer's screen for a
support session.

The package holds the main application in its two editions (Mac Tovalo and
Mac Brisca), the status menu that starts with the desktop session (launch,
share, preferences, the Auto Tovalo service), its helper tool for the
administrator's actions (authorized through polkit), and the cover that hides
the desktop while a session runs.")
# A Debian revision: the package is a packaging of the upstream version, not a native one.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The paths the entries name are those of the installed system: install for /usr into a
# staging DESTDIR, never for the staging folder as prefix. Absolute destinations (the
# autostart entry in /etc) land in the staging folder too.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://nrvk.invalid/")

# What a default install brings is measured with apt's own simulation in the package test
# and in docs/install.md: no desktop shell, and no more than a comparable remote-desktop
# package brings. So Depends holds what every desktop needs, and Suggests what a desktop
# that has the route brings itself.
#
# Libraries from dpkg-shlibdeps (libvncserver1 and libpipewire-0.3-0 among them, for
# tvl-portal-vnc); programs the product runs or talks to, by hand:
#   pkexec, polkitd   administrator authorization, blessing the helper tool's working copy
#   dbus, a session bus   the applications' bus names, notifications, polkit's system bus
#   procps (ps), psmisc (killall)   the process checks and the cover's stop
#   x11vnc            the screen-sharing server the main application starts on X11 (on
#                     Wayland it is tvl-portal-vnc, in the package)
#   qt6-wayland       Qt's Wayland platform: the windows and the status menu of a Wayland
#                     session (libwayland-client0 comes from the layer-shell cover's linking)
#   openssh-client    ssh, the tunnel of a session to the organisation's relay
#   a Secret Service  the main application's stored passwords
# URLs of other schemes go to their handler through GIO, in the process: no opener program.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS
  "pkexec, polkitd, dbus, default-dbus-session-bus | dbus-session-bus, procps, psmisc, x11vnc, qt6-wayland, openssh-client, gnome-keyring | keepassxc")
# Registers the URL handler (update-desktop-database runs through its trigger); Qt's own
# texts (standard buttons, text field menus) in the user's language.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_RECOMMENDS "desktop-file-utils, qt6-translations-l10n")
# GNOME and KDE Wayland sessions: tvl-portal-vnc asks the desktop portal for the screen and
# reads it from PipeWire. GNOME and KDE Plasma bring their portal backend (and with it the
# portal) and PipeWire themselves; recommending a backend here would bring a whole desktop
# shell to every other desktop (xdg-desktop-portal-gnome recommends gnome-shell).
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SUGGESTS "xdg-desktop-portal-gnome | xdg-desktop-portal-kde, pipewire")

# Files in /etc are the administrator's: kept on upgrade when changed, left on remove.
file(WRITE "${CMAKE_BINARY_DIR}/debian-control/desktop/conffiles" "/etc/xdg/autostart/com.nrvk.tvlqc.desktop\n")
set(CPACK_DEBIAN_DESKTOP_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/debian-control/desktop/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# `cpack` here packs the desktop alone: the relay's and the console's packages have their
# own configurations (cmake/TvlRelayPackage.cmake; targets relay_package, support_package).
# With one component, CPack makes one package from the package-wide settings alone (named
# CPACK_PACKAGE_NAME), hence the desktop's copied into them.
set(CPACK_COMPONENTS_ALL desktop)
set(CPACK_PACKAGE_NAME tovalo-desktop)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_DESKTOP_DESCRIPTION}")
foreach(field SECTION SHLIBDEPS DEPENDS RECOMMENDS SUGGESTS CONTROL_EXTRA)
  set(CPACK_DEBIAN_PACKAGE_${field} "${CPACK_DEBIAN_DESKTOP_PACKAGE_${field}}")
endforeach()

include(CPack)
