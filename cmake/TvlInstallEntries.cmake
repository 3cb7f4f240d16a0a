# Install-time part of cmake/TvlInstall.cmake: the commands in bin, the desktop entries, the
# autostart entry and the bus's service file, which name installed paths and so depend on
# the prefix of this install run; and stripping
# the bundles' executables when asked to (`cmake --install --strip`, the package).
#
# Given by the install rule: TVL_SOURCE_DIR, TVL_STAGE_DIR, TVL_INSTALL_APPLICATIONS_DIR,
# TVL_INSTALL_BINDIR, TVL_INSTALL_DATADIR, TVL_INSTALL_MANDIR, TVL_INSTALL_SYSCONFDIR,
# TVL_AUTOSTART_DIR_CONFIGURED, TVL_STRIP.
# CMAKE_INSTALL_PREFIX is this run's prefix; file(INSTALL) adds DESTDIR itself.

set(applications "${CMAKE_INSTALL_PREFIX}/${TVL_INSTALL_APPLICATIONS_DIR}")

# The autostart folder: the environment's choice, then the configured one, then the
# system-wide one of this prefix (GNU rules for the configuration folder: /usr -> /etc,
# /opt/... -> /etc/opt/..., else <prefix>/etc).
if(DEFINED ENV{TVL_AUTOSTART_DIR} AND NOT "$ENV{TVL_AUTOSTART_DIR}" STREQUAL "")
  set(autostart "$ENV{TVL_AUTOSTART_DIR}")
elseif(NOT TVL_AUTOSTART_DIR_CONFIGURED STREQUAL "")
  set(autostart "${TVL_AUTOSTART_DIR_CONFIGURED}")
elseif(IS_ABSOLUTE "${TVL_INSTALL_SYSCONFDIR}")
  set(autostart "${TVL_INSTALL_SYSCONFDIR}/xdg/autostart")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(autostart "/etc/xdg/autostart")
elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/")
  string(REGEX REPLACE "/$" "" opt "${CMAKE_INSTALL_PREFIX}")
  set(autostart "/etc${opt}/xdg/autostart")
else()
  set(autostart "${TVL_INSTALL_SYSCONFDIR}/xdg/autostart")
endif()
if(NOT IS_ABSOLUTE "${autostart}")
  set(autostart "${CMAKE_INSTALL_PREFIX}/${autostart}")
endif()

# A program path as the first word of Exec: as it stands when it holds no character the
# desktop entry rules reserve, else quoted, with the characters that are special inside
# quotes escaped, then the value's own escape of the backslash; % doubled.
function(tvl_exec_quoted path out)
  if(path MATCHES "[\n\r\t]")
    message(FATAL_ERROR "Cannot name a program whose path holds a control character in a desktop entry: ${path}")
  endif()
  if(NOT path MATCHES "[] \"'\\><~|&;$*?#()`%=[]")
    set(${out} "${path}" PARENT_SCOPE)
    return()
  endif()
  string(REPLACE "\\" "\\\\" q "${path}")
  string(REPLACE "\"" "\\\"" q "${q}")
  string(REPLACE "`" "\\`" q "${q}")
  string(REPLACE "$" "\\$" q "${q}")
  string(REPLACE "\\" "\\\\" q "${q}")
  string(REPLACE "%" "%%" q "${q}")
  set(${out} "\"${q}\"" PARENT_SCOPE)
endfunction()

# Staged per prefix and destination, so that two install runs (a package beside a test's
# install) do not write each other's files.
string(MD5 run "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}|${autostart}")
set(stage "${TVL_STAGE_DIR}/${run}")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/applications" "${stage}/autostart" "${stage}/bin" "${stage}/man1"
  "${stage}/services")

# The commands in <prefix>/bin, for people and for the entries' Exec: names without blanks
# (a desktop's generic opener takes Exec's first word up to a blank, quotes or not), links
# to the programs in the bundles. The programs find their bundle from the link's target.
# Each edition's pair shares a manual page.
set(bin "${CMAKE_INSTALL_PREFIX}/${TVL_INSTALL_BINDIR}")
set(commands
  "mac-tovalo|Mac Tovalo.app/Contents/MacOS/Mac Tovalo|mac-tovalo"
  "mac-brisca|Mac Brisca.app/Contents/MacOS/Mac Tovalo|mac-tovalo"
  "mac-tovalo-menu|Mac Tovalo.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC|mac-tovalo-menu"
  "mac-brisca-menu|Mac Brisca.app/Contents/Resources/TVLQC.app/Contents/MacOS/TVLQC|mac-tovalo-menu")
file(RELATIVE_PATH up "${bin}" "${applications}")
set(links)
set(pageLinks)
foreach(command ${commands})
  string(REPLACE "|" ";" command "${command}")
  list(GET command 0 name)
  list(GET command 1 program)
  list(GET command 2 page)
  file(CREATE_LINK "${up}/${program}" "${stage}/bin/${name}" SYMBOLIC)
  list(APPEND links "${stage}/bin/${name}")
  if(NOT name STREQUAL page)
    file(CREATE_LINK "${page}.1.gz" "${stage}/man1/${name}.1.gz" SYMBOLIC)
    list(APPEND pageLinks "${stage}/man1/${name}.1.gz")
  endif()
endforeach()

file(READ "${TVL_SOURCE_DIR}/mainapp/resources/com.nrvk.tvl.desktop.in" main_entry)
foreach(edition "Mac Tovalo" "Mac Brisca")
  set(TVL_EDITION_NAME "${edition}")
  if(edition STREQUAL "Mac Brisca")
    set(TVL_EDITION_ICON "com.nrvk.tvl.brisca")
    tvl_exec_quoted("${bin}/mac-brisca" TVL_EDITION_EXEC)
  else()
    set(TVL_EDITION_ICON "com.nrvk.tvl")
    tvl_exec_quoted("${bin}/mac-tovalo" TVL_EDITION_EXEC)
  endif()
  string(CONFIGURE "${main_entry}" entry @ONLY)
  # One handler for the tovalo: scheme: both editions run the same program, and two claims
  # would leave the choice to chance. The first edition claims it. Its entry is also the
  # one that desktops start over the bus: the file name must be the bus name, which both
  # editions share (com.nrvk.tvl).
  if(edition STREQUAL "Mac Brisca")
    string(REGEX REPLACE "MimeType=[^\n]*\n" "" entry "${entry}")
    string(REGEX REPLACE "DBusActivatable=[^\n]*\n" "" entry "${entry}")
  endif()
  file(WRITE "${stage}/applications/${TVL_EDITION_ICON}.desktop" "${entry}")
endforeach()

# The bus starts Mac Tovalo for a desktop that opens its entry over the bus (DBusActivatable).
# Exec is split like a shell's words: single quotes keep a path with blanks whole.
set(service_exec "${bin}/mac-tovalo")
if(service_exec MATCHES "[^-A-Za-z0-9_./+@]")
  string(REPLACE "'" "'\\''" service_exec "${service_exec}")
  set(service_exec "'${service_exec}'")
endif()
file(WRITE "${stage}/services/com.nrvk.tvl.service"
  "[D-BUS Service]\nName=com.nrvk.tvl\nExec=${service_exec}\n")

tvl_exec_quoted("${bin}/mac-tovalo-menu" TVLQC_EXEC)
configure_file("${TVL_SOURCE_DIR}/resources/autostart/com.nrvk.tvlqc.desktop.in"
  "${stage}/autostart/com.nrvk.tvlqc.desktop" @ONLY)
# The same program in the applications menu: where no tray shows the status menu, starting it
# again from there opens the menu's window.
configure_file("${TVL_SOURCE_DIR}/resources/applications/com.nrvk.tvlqc.desktop.in"
  "${stage}/applications/com.nrvk.tvlqc.desktop" @ONLY)

# Links are made in place: file(INSTALL) would set the modes of a link's target.
foreach(link ${links} ${pageLinks})
  get_filename_component(name "${link}" NAME)
  if(link MATCHES "/man1/")
    set(to "${CMAKE_INSTALL_PREFIX}/${TVL_INSTALL_MANDIR}/man1/${name}")
  else()
    set(to "${bin}/${name}")
  endif()
  file(READ_SYMLINK "${link}" target)
  get_filename_component(folder "$ENV{DESTDIR}${to}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(REMOVE "$ENV{DESTDIR}${to}")
  file(CREATE_LINK "${target}" "$ENV{DESTDIR}${to}" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${to}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${TVL_INSTALL_DATADIR}/dbus-1/services"
  TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  FILES "${stage}/services/com.nrvk.tvl.service")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${TVL_INSTALL_DATADIR}/applications" TYPE FILE
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  FILES "${stage}/applications/com.nrvk.tvl.desktop" "${stage}/applications/com.nrvk.tvl.brisca.desktop"
    "${stage}/applications/com.nrvk.tvlqc.desktop")
file(INSTALL DESTINATION "${autostart}" TYPE FILE
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
  FILES "${stage}/autostart/com.nrvk.tvlqc.desktop")
file(REMOVE_RECURSE "${stage}")

# The desktop database (mimeinfo.cache) tells openers that Mac Tovalo handles tovalo: URLs.
# A package leaves that to the trigger of desktop-file-utils; an installation into the
# running system (no DESTDIR) updates it here, as the trigger would.
if("$ENV{DESTDIR}" STREQUAL "")
  find_program(TVL_UPDATE_DESKTOP_DATABASE update-desktop-database)
  if(TVL_UPDATE_DESKTOP_DATABASE)
    execute_process(COMMAND "${TVL_UPDATE_DESKTOP_DATABASE}" -q
      "${CMAKE_INSTALL_PREFIX}/${TVL_INSTALL_DATADIR}/applications" RESULT_VARIABLE failed)
    if(failed)
      message(WARNING "update-desktop-database failed: tovalo: links may not find Mac Tovalo")
    endif()
  else()
    message(STATUS "No update-desktop-database (desktop-file-utils): tovalo: links may not find Mac Tovalo until it runs")
  endif()
endif()

# Release builds carry debug information; an installation that asks for stripping gets the
# programs without it (the build tree keeps it).
if(CMAKE_INSTALL_DO_STRIP AND TVL_STRIP)
  file(GLOB_RECURSE files "$ENV{DESTDIR}${applications}/*")
  set(programs ${files})
  list(FILTER programs INCLUDE REGEX "/Contents/MacOS/[^/]+$")
  foreach(program ${programs})
    # As Debian's dh_strip does: the compiler's .comment and .note go too.
    execute_process(COMMAND "${TVL_STRIP}" --remove-section=.comment --remove-section=.note
      --strip-unneeded "${program}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "Could not strip ${program}")
    endif()
  endforeach()
endif()
