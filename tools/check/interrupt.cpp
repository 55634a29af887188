// Ctrl+C ends the test mode through a flag: the surface is blanked before
// the program exits.
#include "tools/check/check.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace qmcheck {

std::atomic<bool>& InterruptFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  InterruptFlag().store(true);
  return TRUE;
}
#else
void OnInterrupt(int) { InterruptFlag().store(true); }
#endif

}  // namespace

void InstallInterruptHandler() {
#ifdef _WIN32
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
#endif
}

}  // namespace qmcheck
