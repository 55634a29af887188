# Checks that every test of a build runs through tests/private_home.sh, from
# the tests ctest lists (ctest --show-only=json-v1):
#   cmake -DTESTS=FILE.json -DLAUNCHER=PATH -P private_commands.cmake
# Fails naming each test whose command starts with something else.
if(NOT DEFINED TESTS OR NOT DEFINED LAUNCHER)
  message(FATAL_ERROR "usage: cmake -DTESTS=FILE.json -DLAUNCHER=PATH -P private_commands.cmake")
endif()
file(READ ${TESTS} json)
string(JSON count LENGTH "${json}" tests)
if(count EQUAL 0)
  message(FATAL_ERROR "ctest lists no tests")
endif()
set(escaped "")
math(EXPR last "${count} - 1")
foreach(index RANGE ${last})
  string(JSON name GET "${json}" tests ${index} name)
  string(JSON first ERROR_VARIABLE missing GET "${json}" tests ${index} command 0)
  if(missing OR NOT first STREQUAL LAUNCHER)
    list(APPEND escaped "${name} (${first})")
  endif()
endforeach()
if(escaped)
  list(JOIN escaped "\n  " lines)
  message(FATAL_ERROR "these tests do not run through ${LAUNCHER}, so they see the user's home "
                      "and configuration directory:\n  ${lines}")
endif()
message(STATUS "all ${count} tests run through ${LAUNCHER}")
