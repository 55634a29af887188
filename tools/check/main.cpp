// quillmote-check: says whether the Quillmote surface is ready for the
// plug-in, and if not, why. See check.h and the user guide.
#include <iostream>
#include <string>
#include <vector>

#include "tools/check/check.h"
#include "tools/check/console_pause.h"
#include "tools/check/winmm_loader.h"

int main(int argc, char** argv) {
  // Before anything of the MIDI system is used: on Windows it must come
  // from the system directory, never from the folder the program lies in.
  std::string error;
  const qmcheck::WinmmSource source = qmcheck::LoadWinmm(error);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (source == qmcheck::WinmmSource::kFailed) {
    std::cerr << "quillmote-check: " << error << "\n";
    qmcheck::PauseIfOwnConsole(args);
    return qmcheck::kNotUsable;
  }
  qmcheck::InstallInterruptHandler();
  const int status = qmcheck::Run(args, std::cout, std::cerr, qmcheck::InterruptFlag());
  qmcheck::PauseIfOwnConsole(args);
  return status;
}
