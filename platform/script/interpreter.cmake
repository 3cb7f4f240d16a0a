# The interpreter that runs the scripts other applications send (the application bus
# interface of platform/workspace hands them over).
find_package(Qt6 REQUIRED COMPONENTS Core Widgets)
add_library(tvl_script_interpreter STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ScriptInterpreter.cpp ${CMAKE_CURRENT_LIST_DIR}/ScriptInterpreter.h)
target_include_directories(tvl_script_interpreter PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tvl_script_interpreter PUBLIC Qt6::Core Qt6::Widgets)
