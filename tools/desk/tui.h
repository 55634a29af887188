// The desk in a terminal: the surface's display and lamps, the host's state,
// a key legend and the scrolling log, with keys that play the surface.
#ifndef QUILLMOTE_TOOLS_DESK_TUI_H
#define QUILLMOTE_TOOLS_DESK_TUI_H

#include <string>

#include "machine.h"

namespace desk {

constexpr int kMinColumns = 80;
constexpr int kMinLines = 24;

// Runs the desk interactively until the user quits. Returns the process's
// exit status; says on standard error why it could not start.
int RunTerminal(Machine& machine, bool withSurface);

}  // namespace desk

#endif
