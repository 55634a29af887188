// Desk scripts: one command a line, for automation and bug reports. The same
// lines work at the desk's command prompt.
//
//   press NAME | release NAME | tap NAME      a surface button (tap: press, release)
//   wheel STEPS                               the jog wheel, -63 to 63
//   host track N | play [loop] | stop | record
//        volume N DB | pan N P | flag N 15|16|19 | name N TEXT
//        levels A B | time HH:MM:SS[.cc] | reload
//   wait 200ms | wait 2s                      host time passes
//   open | close                              the plug-in's lifetime
//   bindings                                  the slots, read from the bindings dialog
//   bind SLOT COMMAND                         picks COMMAND for SLOT in the dialog, OK
//   # comment
//
// Tracks are numbered from 1, as the surface's display shows them.
#ifndef QUILLMOTE_TOOLS_DESK_SCRIPT_H
#define QUILLMOTE_TOOLS_DESK_SCRIPT_H

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace desk {

struct Command {
  enum Kind {
    kComment,
    kPress,
    kRelease,
    kTap,
    kWheel,
    kHost,
    kWait,
    kOpen,
    kClose,
    kBindings,
    kBind,
  };
  enum HostOp {
    kTrack,
    kPlay,
    kPlayLooped,
    kStop,
    kRecord,
    kVolume,
    kPan,
    kFlag,
    kName,
    kLevels,
    kTime,
    kReload,
  };

  Kind kind = kComment;
  std::string line;  // as written, for the echo
  int lineNumber = 0;
  uint8_t note = 0;  // buttons
  std::string button;
  int steps = 0;  // wheel
  HostOp hostOp = kPlay;
  int track = 0;  // zero-based
  int flag = 0;
  double value1 = 0.0;
  double value2 = 0.0;
  std::string text;
  int64_t ms = 0;  // wait, time
  int slot = -1;   // bind: index into kSlotInputs
};

// Parses one line. Blank lines and comments give kComment. On a bad line
// returns false and puts what was expected into `error`.
bool ParseLine(std::string_view line, Command* command, std::string* error);

// Parses a whole script; errors read "NAME:LINE: what was expected".
bool ParseScript(std::istream& in, const std::string& name, std::vector<Command>* commands,
                 std::string* error);

// The short script that the desk plays when there is no terminal.
const char* DemoScript();

}  // namespace desk

#endif
