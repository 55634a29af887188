# Every test process gets a home and a configuration directory
# (XDG_CONFIG_HOME) of its own, made under the build directory and removed
# after it: tests/private_home.sh comes before every test command.
# So no test reads or writes the user's ~/.config/quillmote/registry.json,
# and no two tests share a store. The test `hermetic.fake_home` proves it.
#
#   QM_TEST_LAUNCHER            put it before the command of an add_test
#   qm_private_home(TARGET...)  for test programs: ctest and
#                               gtest_discover_tests put it before them (and
#                               before Wine, for the Windows programs)
set(QM_TEST_HOMES ${CMAKE_BINARY_DIR}/test-homes)
set(QM_TEST_LAUNCHER ${PROJECT_SOURCE_DIR}/tests/private_home.sh ${QM_TEST_HOMES})

function(qm_private_home)
  foreach(target IN LISTS ARGN)
    get_target_property(emulator ${target} CROSSCOMPILING_EMULATOR)
    if(NOT emulator)
      set(emulator "")
    endif()
    set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR ${QM_TEST_LAUNCHER} ${emulator})
  endforeach()
endfunction()
