// The desk's interactive terminal: the Terminal class, whose input handling
// (tui.cpp) and drawing (tui_draw.cpp) live apart, and what both use.
#ifndef QUILLMOTE_TOOLS_DESK_TUI_TERMINAL_H
#define QUILLMOTE_TOOLS_DESK_TUI_TERMINAL_H

#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "session.h"

namespace desk::tui {

constexpr std::size_t kLogCapacity = 2000;
constexpr int kTimeoutMs = 50;
constexpr int kPageSteps = 10;
constexpr int kLegendColumn = 45;
constexpr int kHostTop = 6;
constexpr int kHostRows = 10;
constexpr int kLogTop = kHostTop + kHostRows;

enum Color { kLit = 1, kRunning, kHeld, kCall, kUpdate, kOutput, kProblem };

// Meter glyphs as quarter blocks: the first level in the upper half, the
// second in the lower, a half step filling the left quarter.
inline const wchar_t kQuadrants[9] = {L' ',      L'\u2596', L'\u2584', L'\u2598', L'\u258C',
                                      L'\u2599', L'\u2580', L'\u259B', L'\u2588'};

struct KeyBinding {
  int key;
  const char* button;
  enum Action { kTap, kHold } action;
};

// Buttons whose release matters can be held: their key toggles the hold.
inline constexpr KeyBinding kKeys[] = {
    {'\t', "SHIFT", KeyBinding::kHold}, {' ', "PLAY", KeyBinding::kTap},
    {'s', "STOP", KeyBinding::kTap},    {'S', "STOP", KeyBinding::kHold},
    {'r', "RECORD", KeyBinding::kTap},  {'l', "LOOP", KeyBinding::kTap},
    {',', "RWD", KeyBinding::kTap},     {'<', "RWD", KeyBinding::kHold},
    {'.', "FFWD", KeyBinding::kTap},    {'>', "FFWD", KeyBinding::kHold},
    {'[', "TRACK-L", KeyBinding::kTap}, {'{', "TRACK-L", KeyBinding::kHold},
    {']', "TRACK-R", KeyBinding::kTap}, {'}', "TRACK-R", KeyBinding::kHold},
    {'u', "UNDO", KeyBinding::kTap},    {'a', "ADD", KeyBinding::kTap},
    {'z', "PREV", KeyBinding::kTap},    {'x', "NEXT", KeyBinding::kTap},
    {'i', "IN", KeyBinding::kTap},      {'o', "OUT", KeyBinding::kTap},
    {'p', "PUNCH", KeyBinding::kTap},   {'f', "FOOTSWITCH", KeyBinding::kTap},
    {'5', "FLAG-15", KeyBinding::kTap}, {'6', "FLAG-16", KeyBinding::kTap},
    {'9', "FLAG-19", KeyBinding::kTap},
};

inline const char* const kLegend[] = {
    "Tab SHIFT (hold)    space PLAY", "s STOP  S hold  r RECORD  l LOOP",
    ", . RWD FFWD        < > hold",   "[ ] TRACK-L/R       { } hold",
    "u UNDO  a ADD  z PREV  x NEXT",  "i IN  o OUT  p PUNCH  f FOOTSWITCH",
    "5 6 9  FLAG-15 FLAG-16 FLAG-19", "Left/Right wheel 1, PgDn/PgUp 10",
    ": command line   b bindings",    "c clear log  ? help  q quit",
};

inline const char* const kHelp[] = {
    "The desk: the plug-in with a simulated host and surface.",
    "",
    "Keys play the surface's buttons (see the legend). Buttons whose",
    "release matters are held by their hold key and let go by it again.",
    "",
    "':' takes a script line, the same as --script FILE:",
    "  press NAME | release NAME | tap NAME | wheel STEPS",
    "  host track N | host play [loop] | host stop | host record",
    "  host volume N DB | host pan N P | host flag N 15|16|19",
    "  host name N TEXT | host levels A B | host time HH:MM:SS",
    "  host reload | open | close | bindings | bind SLOT COMMAND",
    "Tracks are numbered from 1, as the display shows them.",
    "",
    "b shows the bindings as the plug-in's dialog has them; Enter",
    "on one picks a new command for it through that dialog.",
    "",
    "Any key closes this help.",
};

class Terminal {
 public:
  Terminal(Session& session, Log& log, std::deque<std::pair<Source, std::string>>& lines,
           std::mutex& linesMutex, bool unicode)
      : m_session(session),
        m_log(log),
        m_lines(lines),
        m_linesMutex(linesMutex),
        m_unicode(unicode) {}

  void Run();

 private:
  void Draw();
  void DrawSurface(const Surface::Snapshot& surface);
  void DrawHost(const Host::Snapshot& host);
  void DrawLegend();
  void DrawBindings();
  void DrawLog(int top, int bottom);
  void DrawStatus();
  void DrawHelp();
  void HandleKey(int key);
  void HandleBindingsKey(int key);
  void HandlePromptKey(int key);
  void RunPrompt();
  void Message(std::string text) { m_message = std::move(text); }

  Session& m_session;
  Log& m_log;
  std::deque<std::pair<Source, std::string>>& m_lines;
  std::mutex& m_linesMutex;
  bool m_unicode;
  bool m_quit = false;
  bool m_showBindings = false;
  int m_slotCursor = 0;
  bool m_picking = false;
  int m_commandCursor = 0;
  bool m_showHelp = false;
  bool m_prompting = false;
  std::string m_prompt;
  std::string m_message = "Keys play the surface; ? for help, q to quit.";
};

int ColorOf(Source source);

}  // namespace desk::tui

#endif
