// Outside Windows the MIDI functions are linked directly.
#include "tools/check/winmm_loader.h"

namespace qmcheck {

WinmmSource LoadWinmm(std::string&) { return WinmmSource::kLinked; }

}  // namespace qmcheck
