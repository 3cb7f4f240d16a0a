# Installation: `cmake --install <build> [--prefix P]` and the Debian package (cmake/TvlPackage.cmake).
#
#   <prefix>/lib/tovalo/Applications/{Mac Tovalo.app,Mac Brisca.app}   the assembled bundles
#   <prefix>/bin/{mac-tovalo,mac-brisca,mac-tovalo-menu,mac-brisca-menu}  links to their programs
#   <prefix>/share/man/man1/<the commands>.1.gz              their manual pages
#   <prefix>/share/dbus-1/services/com.nrvk.tvl.service      Mac Tovalo, started by the bus
#   <prefix>/share/applications/com.nrvk.tvl.desktop         Mac Tovalo, handler of tovalo: URLs
#   <prefix>/share/applications/com.nrvk.tvl.brisca.desktop  Mac Brisca
#   <prefix>/share/applications/com.nrvk.tvlqc.desktop       TVLQC of Mac Tovalo (its menu window)
#   <autostart folder>/com.nrvk.tvlqc.desktop                TVLQC of Mac Tovalo at login
#   <prefix>/share/polkit-1/actions/com.nrvk.tvl.policy      the administrator action
#   <prefix>/share/doc/tovalo-desktop/{copyright,changelog.Debian.gz}
#   <prefix>/share/metainfo/com.nrvk.tvl.metainfo.xml       AppStream description
#   <prefix>/share/icons/hicolor/{16x16,...,256x256,scalable}/apps/  the editions' icons
#
# The bundles keep the folder layout the programs rely on (the controller three folders below
# its main application, the helper tool's template among the controller's executables), so
# they go as a whole into one private folder. The entries that name installed paths are
# written at install time: the prefix given to `cmake --install --prefix` is known only then.
include(GNUInstallDirs)

# Relative to the prefix; fixed, other tools (scripts/run, the package) rely on it.
set(TVL_INSTALL_APPLICATIONS_DIR "lib/tovalo/Applications")

set(TVL_AUTOSTART_DIR "" CACHE STRING
  "Folder of the entry that starts TVLQC at login. Empty: <sysconfdir of the install prefix>/xdg/autostart, \
i.e. /etc/xdg/autostart for the prefix /usr. A relative folder is taken below the prefix. For a user's \
own prefix (~/.local) use $HOME/.config/autostart. The environment variable TVL_AUTOSTART_DIR, \
when set at install time, takes precedence.")

# An edition's icon name in the hicolor theme, also the base name of its desktop entry.
function(tvl_edition_icon edition out)
  if(edition STREQUAL "Mac Brisca")
    set(${out} "com.nrvk.tvl.brisca" PARENT_SCOPE)
  else()
    set(${out} "com.nrvk.tvl" PARENT_SCOPE)
  endif()
endfunction()

function(tvl_install_product)
  # Every rule here is the desktop side's, packed as tovalo-desktop (cmake/TvlPackage.cmake):
  # `cmake --install --component desktop` installs it alone.
  set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME desktop)
  # Modes are set, not copied from the build tree: executables 0755 (never set-user-ID: the
  # controller makes and blesses its own working copy of the helper tool at run time), all
  # else 0644, whatever the builder's umask was.
  set(exec_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  foreach(bundle ${TVL_EDITION_BUNDLES})
    install(DIRECTORY "${TVL_APPLICATIONS_DIR}/${bundle}"
      DESTINATION "${TVL_INSTALL_APPLICATIONS_DIR}"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
      DIRECTORY_PERMISSIONS ${exec_mode}
      # Names build-tree paths; the installed entries are in share/applications.
      PATTERN "com.nrvk.tvl.desktop" EXCLUDE
      REGEX "/Contents/MacOS/[^/]+$" PERMISSIONS ${exec_mode})
  endforeach()

  # The editions' icons: the scalable drawing, and the fixed sizes rendered from it for
  # menus, docks and panels that want pixels (resources/CMakeLists.txt renders them).
  foreach(edition "Mac Tovalo" "Mac Brisca")
    tvl_edition_icon("${edition}" icon)
    set(drawing tvl)
    if(edition STREQUAL "Mac Brisca")
      set(drawing mbx)
    endif()
    install(FILES "${CMAKE_SOURCE_DIR}/resources/images/${drawing}.svg" RENAME "${icon}.svg"
      DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
    foreach(size ${TVL_ICON_SIZES})
      install(FILES "${TVL_ICON_DIR}/${size}x${size}/${icon}.png"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
    endforeach()
  endforeach()

  # What a distribution asks of a package: the copyright and changelog in its doc folder,
  # and the AppStream description that software centres show.
  install(FILES "${CMAKE_SOURCE_DIR}/resources/package/copyright" "${TVL_CHANGELOG_GZ}"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/tovalo-desktop")
  install(FILES "${CMAKE_SOURCE_DIR}/resources/package/com.nrvk.tvl.metainfo.xml"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")

  # The commands' manual pages, compressed as Debian's policy wants them; the other edition's
  # commands are links written at install time.
  install(FILES ${TVL_MAN_PAGES_GZ} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

  install(FILES "${CMAKE_SOURCE_DIR}/resources/polkit/com.nrvk.tvl.policy"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/polkit-1/actions")

  install(CODE "
    set(TVL_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
    set(TVL_STAGE_DIR \"${CMAKE_BINARY_DIR}/install-entries\")
    set(TVL_INSTALL_APPLICATIONS_DIR \"${TVL_INSTALL_APPLICATIONS_DIR}\")
    set(TVL_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(TVL_INSTALL_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
    set(TVL_INSTALL_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
    set(TVL_INSTALL_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
    set(TVL_AUTOSTART_DIR_CONFIGURED \"${TVL_AUTOSTART_DIR}\")
    set(TVL_STRIP \"${CMAKE_STRIP}\")
    include(\"${CMAKE_SOURCE_DIR}/cmake/TvlInstallEntries.cmake\")
  ")
endfunction()

# tvl_gzip_for_package(SOURCE OUTPUT): a rule that compresses SOURCE (a changelog, a manual
# page) to OUTPUT as Debian's policy wants it: no name or time stamp in the gzip header, so
# that the package is reproducible.
function(tvl_gzip_for_package source output)
  get_filename_component(dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()
