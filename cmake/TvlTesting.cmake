# tvl_add_test(NAME <name> LABEL <unit|integration|privileged|e2e|fuzz|soak|load> [QT_MAIN]
#              SOURCES <files...> [LIBS <libs...>] [WRAPPER <command...>] [ARGS <args...>]
#              [TIMEOUT <seconds>])
#
# One CTest test per GoogleTest binary. QT_MAIN: the program's main makes a QApplication
# first (tests/support/QtTestMain.cpp) instead of GoogleTest's plain main. WRAPPER runs the binary inside a service
# set-up (a private session bus, a keyring, a mount namespace), e.g.
#   WRAPPER ${TVL_TEST_SUPPORT}/with-session-bus
set(TVL_TEST_SUPPORT ${CMAKE_SOURCE_DIR}/tests/support)

function(tvl_add_test)
  cmake_parse_arguments(T "QT_MAIN" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;WRAPPER;ARGS" ${ARGN})
  if(NOT T_LABEL MATCHES "^(unit|integration|privileged|e2e|fuzz|soak|load)$")
    message(FATAL_ERROR "tvl_add_test(${T_NAME}): LABEL must be one of unit, integration, privileged, e2e, fuzz, soak, load")
  endif()
  if(T_QT_MAIN)
    find_package(Qt6 REQUIRED COMPONENTS Widgets)
    add_executable(${T_NAME} ${T_SOURCES} ${TVL_TEST_SUPPORT}/QtTestMain.cpp)
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} Qt6::Widgets GTest::gtest GTest::gmock)
  else()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  endif()
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${T_NAME} COMMAND ${T_WRAPPER} $<TARGET_FILE:${T_NAME}> ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "TVL_BUILD_DIR=${CMAKE_BINARY_DIR};TVL_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
