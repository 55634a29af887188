#include "midi/callback_gate.h"

namespace midi {

void ReportUnfinishedClose(const char* port) {
  char line[128];
  wsprintfA(line, "Quillmote Midi %s port did not finish closing; its memory is kept\n", port);
  OutputDebugStringA(line);
}

}  // namespace midi
