# The script interpreter and the server side of the application bus interface.
find_package(Qt6 REQUIRED COMPONENTS Core Widgets DBus)
add_library(tvl_script_interpreter STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ScriptInterpreter.cpp ${CMAKE_CURRENT_LIST_DIR}/ScriptInterpreter.h
  ${CMAKE_CURRENT_LIST_DIR}/ApplicationServer.cpp ${CMAKE_CURRENT_LIST_DIR}/ApplicationServer.h)
set_target_properties(tvl_script_interpreter PROPERTIES AUTOMOC ON)
target_include_directories(tvl_script_interpreter PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tvl_script_interpreter PUBLIC Qt6::Core Qt6::Widgets Qt6::DBus)
