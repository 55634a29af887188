# The desk's script cases (tests/desk/cases/NAME.desk, NAME.args, NAME.out),
# shared by the native tests (tests/desk) and the Windows ones
# (tests/windows), which play the same cases on the real DLL under Wine
# (quillmote-desk --wine) against the same golden files.
set(QM_DESK_CASES
  session controls bindings no_surface no_terminal
  missing_plugin bad_line no_such_track wine_no_windows_build late_callbacks wire_rate
  wire_rate_bad)

# Under Wine, all but these:
#   missing_plugin         its golden output is the native loader's (dlopen)
#                          message; under --wine the desk checks the DLL's path
#                          itself (wine_no_windows_build covers that message).
#   wine_no_windows_build  a --wine error case already, that never reaches Wine.
set(QM_DESK_WINE_EXCLUDED missing_plugin wine_no_windows_build)
# Cases that show the bindings dialog: under Wine a real window, so they run
# under a private X server (xvfb-run).
set(QM_DESK_DIALOG_CASES bindings)
