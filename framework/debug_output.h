// The plug-in's only log: the debugger output. Every fixed line it writes is
// named here, so that the lines a user may see are found in one place.
#ifndef QUILLMOTE_FRAMEWORK_DEBUG_OUTPUT_H
#define QUILLMOTE_FRAMEWORK_DEBUG_OUTPUT_H

#include <windows.h>

namespace debug_line {

constexpr char kNoSurface[] = "Couldn't find Quillmote Midi port\n";
// %s: the system's error text, or the port's own sentence.
constexpr char kAttachError[] = "Error attaching to Quillmote Midi port %s\n";
// %ld: the registry's error code.
constexpr char kBindingsUnreadable[] =
    "Couldn't read the Quillmote button bindings (error %ld); using the defaults\n";
constexpr char kConfigureOutOfMemory[] =
    "Couldn't open the Quillmote button bindings: out of memory\n";
constexpr char kConfigureFailed[] = "Couldn't open the Quillmote button bindings\n";
// %u: the template id; %lu: the system's error code.
constexpr char kDialogNotShown[] = "Couldn't show dialog %u (system error %lu)\n";
// %s: "input" or "output".
constexpr char kPortCloseUnfinished[] =
    "Quillmote Midi %s port did not finish closing; its memory is kept\n";
// %s: the system's error text.
constexpr char kWaitingRefused[] =
    "Quillmote Midi output port refused a waiting message (%s); it is dropped\n";
// %u: how many.
constexpr char kWaitingGivenUp[] =
    "Quillmote Midi output port closed with %u messages still waiting; they are dropped\n";
constexpr char kControllerKept[] =
    "Quillmote controller still handles a surface message; its memory is kept\n";
// A system-exclusive message from the surface: its buffer, length and time
// stamp, in hexadecimal, with no line feed.
constexpr char kLongMessage[] = "msg=%x, bytes=%x, ts=%x";

}  // namespace debug_line

// Formats a line with wsprintfA (at most 1,024 characters) and writes it to
// the debugger output.
template <class... Arguments>
void WriteDebugLine(const char* format, Arguments... arguments) {
  char line[1024];
  wsprintfA(line, format, arguments...);
  OutputDebugStringA(line);
}

#endif
