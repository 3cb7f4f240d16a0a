# Bundle trees: X.app/Contents/{Info.plist,MacOS,Resources}, assembled under
# ${TVL_APPLICATIONS_DIR} so that the programs find each other as installed.
#
# tvl_bundle(TARGET <executable target> BUNDLES <bundle paths...>
#            [EXECUTABLE_NAME <file name in Contents/MacOS>]   (default: the target's output name)
#            [INFO_PLIST <a finished Info.plist>]
#            [RESOURCES <files or folders copied into Contents/Resources>...])
#
# Bundle paths are relative to ${TVL_APPLICATIONS_DIR}; the lists below name the places
# each program has in both editions. Several calls may fill one bundle (an auxiliary
# executable goes into the same Contents/MacOS as its bundle's main executable).

set(TVL_EDITION_BUNDLES "Mac Tovalo.app" "Mac Brisca.app")
set(TVL_TVLQC_BUNDLES
    "Mac Tovalo.app/Contents/Resources/TVLQC.app" "Mac Brisca.app/Contents/Resources/TVLQC.app")
set(TVL_COVER_BUNDLES
    "Mac Tovalo.app/Contents/Resources/TVLDesktopwhite.app"
    "Mac Brisca.app/Contents/Resources/TVLDesktopwhite.app")

function(tvl_bundle)
  cmake_parse_arguments(B "" "TARGET;EXECUTABLE_NAME;INFO_PLIST" "BUNDLES;RESOURCES" ${ARGN})
  if(NOT B_EXECUTABLE_NAME)
    set(B_EXECUTABLE_NAME $<TARGET_FILE_NAME:${B_TARGET}>)
  endif()
  set(commands)
  set(depends ${B_TARGET})
  foreach(bundle ${B_BUNDLES})
    set(contents "${TVL_APPLICATIONS_DIR}/${bundle}/Contents")
    # Contents/Resources only where there are resources: an empty folder is noise in a
    # package.
    list(APPEND commands
      COMMAND ${CMAKE_COMMAND} -E make_directory "${contents}/MacOS"
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${B_TARGET}> "${contents}/MacOS/${B_EXECUTABLE_NAME}")
    if(B_RESOURCES)
      list(APPEND commands COMMAND ${CMAKE_COMMAND} -E make_directory "${contents}/Resources")
    endif()
    if(B_INFO_PLIST)
      list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy "${B_INFO_PLIST}" "${contents}/Info.plist")
    endif()
    foreach(resource ${B_RESOURCES})
      get_filename_component(name "${resource}" NAME)
      if(IS_DIRECTORY "${resource}")
        list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy_directory "${resource}" "${contents}/Resources/${name}")
      else()
        list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy "${resource}" "${contents}/Resources/${name}")
      endif()
    endforeach()
  endforeach()
  foreach(resource ${B_INFO_PLIST} ${B_RESOURCES})
    if(IS_DIRECTORY "${resource}")
      file(GLOB_RECURSE files CONFIGURE_DEPENDS "${resource}/*")
      list(APPEND depends ${files})
    else()
      list(APPEND depends "${resource}")
    endif()
  endforeach()
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${B_TARGET}.bundle.stamp")
  add_custom_command(OUTPUT "${stamp}" ${commands}
    COMMAND ${CMAKE_COMMAND} -E touch "${stamp}"
    DEPENDS ${depends} VERBATIM)
  add_custom_target(${B_TARGET}_bundle ALL DEPENDS "${stamp}")
endfunction()
