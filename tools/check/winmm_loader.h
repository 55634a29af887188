// Where quillmote-check takes the system's MIDI functions from.
//
// On Windows the program is run from download folders, where anyone may have
// left a winmm.dll. So it does not import winmm at all: every MIDI function
// the plug-in's code calls goes through a pointer that LoadWinmm fills from
// the winmm.dll of the system directory, after the program's own DLL search
// has been restricted to that directory. Elsewhere the MIDI functions are
// linked as usual and LoadWinmm does nothing.
//
// Test hook: the environment variable QUILLMOTE_CHECK_WINMM may name a
// winmm.dll by its full path, which is then loaded instead. The tests give the
// program the simulated MIDI system this way; a file dropped beside the
// program can't take this route.
#ifndef QUILLMOTE_TOOLS_CHECK_WINMM_LOADER_H
#define QUILLMOTE_TOOLS_CHECK_WINMM_LOADER_H

#include <string>

namespace qmcheck {

enum class WinmmSource { kLinked, kSystem, kTestHook, kFailed };

// Fills the MIDI functions; on failure says why in `error`.
WinmmSource LoadWinmm(std::string& error);

}  // namespace qmcheck

#endif
