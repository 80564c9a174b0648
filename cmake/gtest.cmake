# GoogleTest for every test binary, and how CTest runs them.

# The host's GoogleTest is built for the host alone: a cross build (the
# Windows exe) builds it from Debian's sources instead.
option(SIMRELAY_GTEST_FROM_SOURCE "Build GoogleTest from its sources" ${CMAKE_CROSSCOMPILING})
set(SIMRELAY_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
if(SIMRELAY_GTEST_FROM_SOURCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its CMake defines GTest::gtest_main as the installed package does.
  add_subdirectory(${SIMRELAY_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Registers a GoogleTest binary with CTest: one test per case natively. Each
# start under an emulator (Wine) costs a second or more, so there the whole
# binary is one test.
function(simrelay_gtest_tests target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target})
  else()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 ${ARGN})
  endif()
endfunction()
