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

# tvl_add_fuzzer(NAME <name> SOURCES <files...> [PKG <pkg-config modules...>]
#                [OPTIONS <libFuzzer options...>])
#
# A libFuzzer target and its CTest test (label fuzz, 60 s). libFuzzer needs clang while the
# project builds with g++, so the target is compiled by clang++ straight from the sources,
# in the plain build only (the fuzzer brings its own AddressSanitizer and UBSan). The seed
# corpus is the folder's corpus/; what a run grows goes to the build tree.
function(tvl_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;PKG;OPTIONS" ${ARGN})
  find_program(TVL_CLANGXX NAMES clang++ clang++-14)
  if(NOT TVL_CLANGXX OR TVL_SANITIZE)
    return()
  endif()
  pkg_check_modules(${F_NAME}_DEPS REQUIRED ${F_PKG})
  file(GLOB headers ${CMAKE_SOURCE_DIR}/*/*.h ${CMAKE_SOURCE_DIR}/platform/*/*.h)
  set(fuzzer ${CMAKE_CURRENT_BINARY_DIR}/${F_NAME}.bin)
  add_custom_command(OUTPUT ${fuzzer}
    COMMAND ${TVL_CLANGXX} -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined
            -fno-sanitize-recover=undefined -I${CMAKE_SOURCE_DIR} ${${F_NAME}_DEPS_CFLAGS}
            ${F_SOURCES} ${${F_NAME}_DEPS_LDFLAGS} -o ${fuzzer}
    DEPENDS ${F_SOURCES} ${headers}
    COMMENT "Building ${F_NAME} with clang"
    VERBATIM)
  add_custom_target(${F_NAME} ALL DEPENDS ${fuzzer})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/corpus)
  add_test(NAME ${F_NAME}
    COMMAND ${fuzzer} -max_total_time=60 -max_len=4096 -timeout=10 -rss_limit_mb=2048
            -print_final_stats=1 ${F_OPTIONS}
            ${CMAKE_CURRENT_BINARY_DIR}/corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus)
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 180)
endfunction()
