#include "tui.h"

#include <curses.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "session.h"

namespace desk {

namespace {

constexpr std::size_t kLogCapacity = 2000;
constexpr int kTimeoutMs = 50;
constexpr int kPageSteps = 10;
constexpr int kLegendColumn = 45;
constexpr int kHostTop = 6;
constexpr int kHostRows = 10;
constexpr int kLogTop = kHostTop + kHostRows;

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted = true; }

enum Color { kLit = 1, kRunning, kHeld, kCall, kUpdate, kOutput, kProblem };

// Meter glyphs as quarter blocks: the first level in the upper half, the
// second in the lower, a half step filling the left quarter.
const wchar_t kQuadrants[9] = {L' ',      L'\u2596', L'\u2584', L'\u2598', L'\u258C',
                               L'\u2599', L'\u2580', L'\u259B', L'\u2588'};

struct KeyBinding {
  int key;
  const char* button;
  enum Action { kTap, kHold } action;
};

// Buttons whose release matters can be held: their key toggles the hold.
constexpr KeyBinding kKeys[] = {
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

const char* const kLegend[] = {
    "Tab SHIFT (hold)    space PLAY", "s STOP  S hold  r RECORD  l LOOP",
    ", . RWD FFWD        < > hold",   "[ ] TRACK-L/R       { } hold",
    "u UNDO  a ADD  z PREV  x NEXT",  "i IN  o OUT  p PUNCH  f FOOTSWITCH",
    "5 6 9  FLAG-15 FLAG-16 FLAG-19", "Left/Right wheel 1, PgDn/PgUp 10",
    ": command line   b bindings",    "c clear log  ? help  q quit",
};

const char* const kHelp[] = {
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

int ColorOf(Source source) {
  switch (source) {
    case Source::kCall:
      return kCall;
    case Source::kUpdate:
      return kUpdate;
    case Source::kOutput:
      return kOutput;
    case Source::kError:
    case Source::kDebug:
      return kProblem;
    default:
      return 0;
  }
}

void Terminal::Run() {
  bool lost = false;
  while (!m_quit && !g_interrupted.load()) {
    if (std::string why; !lost && m_session.machine().Lost(&why)) {
      lost = true;
      m_log.Add(Source::kError, why);
      Message("The plug-in's process is gone (see the log); q quits.");
    }
    m_session.PollDebugger();
    m_log.Flush();
    Draw();
    const int key = getch();
    if (key == ERR) continue;
    if (key == KEY_RESIZE) continue;
    if (m_showHelp) {
      m_showHelp = false;
      continue;
    }
    if (m_prompting) {
      HandlePromptKey(key);
    } else if (m_showBindings) {
      HandleBindingsKey(key);
    } else {
      HandleKey(key);
    }
  }
}

void Terminal::HandleKey(int key) {
  for (const KeyBinding& binding : kKeys) {
    if (binding.key != key) continue;
    const Button& button = *FindButton(binding.button);
    if (binding.action == KeyBinding::kTap) {
      m_session.TapButton(button);
    } else {
      m_session.PressButton(button, !m_session.surface().IsHeld(button.note));
    }
    return;
  }
  switch (key) {
    case KEY_LEFT:
      m_session.TurnWheel(-1);
      return;
    case KEY_RIGHT:
      m_session.TurnWheel(1);
      return;
    case KEY_NPAGE:
      m_session.TurnWheel(-kPageSteps);
      return;
    case KEY_PPAGE:
      m_session.TurnWheel(kPageSteps);
      return;
    case ':':
      m_prompting = true;
      m_prompt.clear();
      return;
    case 'b':
      if (std::string why; !m_session.CanConfigure(&why)) {
        if (!why.empty())
          why[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(why[0])));
        Message(why + ".");
        return;
      }
      m_showBindings = true;
      m_picking = false;
      m_session.RequestBindings();
      return;
    case 'c': {
      std::lock_guard<std::mutex> lock(m_linesMutex);
      m_lines.clear();
      return;
    }
    case '?':
    case KEY_F(1):
      m_showHelp = true;
      return;
    case 'q':
      m_quit = true;
      return;
    default:
      Message(std::string("No key ") + (key > 32 && key < 127 ? std::string(1, char(key)) : "") +
              " here; ? shows the keys.");
  }
}

void Terminal::HandleBindingsKey(int key) {
  const int commands = static_cast<int>(m_session.host().Commands().size());
  int& cursor = m_picking ? m_commandCursor : m_slotCursor;
  const int count = m_picking ? commands : static_cast<int>(kSlotCount);
  switch (key) {
    case KEY_UP:
      cursor = std::max(0, cursor - 1);
      return;
    case KEY_DOWN:
      cursor = std::min(count - 1, cursor + 1);
      return;
    case KEY_PPAGE:
      cursor = std::max(0, cursor - kPageSteps);
      return;
    case KEY_NPAGE:
      cursor = std::min(count - 1, cursor + kPageSteps);
      return;
    case '\n':
    case '\r':
    case KEY_ENTER:
      if (!m_picking) {
        m_picking = true;
        // Start from the command the slot has now.
        const BindingsState state = m_session.Bindings();
        const int index = state.rows[m_slotCursor].index;
        m_commandCursor = index >= 0 ? index : 0;
        return;
      }
      m_picking = false;
      m_session.RequestBind(m_slotCursor, m_session.host().Commands()[m_commandCursor]);
      m_session.RequestBindings();
      Message(std::string("Bound through the dialog: ") + kSlotInputs[m_slotCursor].label);
      return;
    case 27:
      if (m_picking) {
        m_picking = false;
      } else {
        m_showBindings = false;
      }
      return;
    case 'b':
      m_showBindings = false;
      m_picking = false;
      return;
    case 'q':
      m_quit = true;
      return;
    default:
      Message("Bindings: Up/Down choose, Enter picks, Esc or b goes back.");
  }
}

void Terminal::HandlePromptKey(int key) {
  if (key == 27) {
    m_prompting = false;
    return;
  }
  if (key == '\n' || key == '\r' || key == KEY_ENTER) {
    m_prompting = false;
    RunPrompt();
    return;
  }
  if (key == KEY_BACKSPACE || key == 127 || key == 8) {
    if (!m_prompt.empty()) m_prompt.pop_back();
    return;
  }
  if (key >= 32 && key < 127) m_prompt += static_cast<char>(key);
}

void Terminal::RunPrompt() {
  Command command;
  std::string error;
  if (!ParseLine(m_prompt, &command, &error)) {
    Message(error);
    return;
  }
  if (command.kind == Command::kComment) return;
  if (!m_session.Run(command, &error)) {
    Message(error);
    return;
  }
  if (command.kind == Command::kBindings || command.kind == Command::kBind) m_showBindings = true;
  Message("> " + m_prompt);
}

void Terminal::Draw() {
  erase();
  if (COLS < kMinColumns || LINES < kMinLines) {
    mvprintw(0, 0, "The terminal is %dx%d; the desk needs at least %dx%d.", COLS, LINES,
             kMinColumns, kMinLines);
    mvprintw(1, 0, "Enlarge the window, or press q to quit.");
    refresh();
    return;
  }
  const Surface::Snapshot surface = m_session.surface().Take();
  const Host::Snapshot host = m_session.host().Take();

  attron(A_BOLD);
  mvprintw(0, 0, "Quillmote desk");
  attroff(A_BOLD);
  const std::string path = m_session.machine().Name();
  printw("  %s %s", path.c_str(),
         host.open ? (surface.ports ? "open" : "open, no surface") : "closed");
  DrawSurface(surface);
  if (m_showBindings) {
    DrawBindings();
  } else if (m_showHelp) {
    DrawHelp();
  } else {
    DrawHost(host);
    DrawLegend();
    DrawLog(kLogTop, LINES - 2);
  }
  DrawStatus();
  refresh();
}

void Terminal::DrawSurface(const Surface::Snapshot& surface) {
  // The display, boxed.
  mvaddch(1, 0, ACS_ULCORNER);
  mvhline(1, 1, ACS_HLINE, static_cast<int>(kLineCells));
  mvaddch(1, kLineCells + 1, ACS_URCORNER);
  mvaddch(4, 0, ACS_LLCORNER);
  mvhline(4, 1, ACS_HLINE, static_cast<int>(kLineCells));
  mvaddch(4, kLineCells + 1, ACS_LRCORNER);
  for (int row = 0; row < 2; ++row) {
    mvaddch(2 + row, 0, ACS_VLINE);
    for (std::size_t i = 0; i < kLineCells; ++i) {
      const uint8_t byte = surface.cells[row * kLineCells + i];
      const int x = static_cast<int>(i) + 1;
      MeterCell cell;
      if (byte < 8 && DecodeGlyph(byte, &cell)) {
        if (m_unicode) {
          const wchar_t glyph[2] = {kQuadrants[cell.first * 3 + cell.second], 0};
          mvaddwstr(2 + row, x, glyph);
        } else {
          mvaddch(2 + row, x, static_cast<chtype>('0' + byte) | A_REVERSE);
        }
      } else if (byte >= 0x20 && byte < 0x7F) {
        mvaddch(2 + row, x, byte);
      } else {
        mvaddch(2 + row, x, '?' | A_DIM);
      }
    }
    mvaddch(2 + row, kLineCells + 1, ACS_VLINE);
  }

  // The lamps, in the order of the surface's lamp list.
  int x = 24;
  int y = 1;
  for (std::size_t i = 0; i < kLamps.size(); ++i) {
    if (i == 4) {
      x = 24;
      y = 2;
    }
    if (surface.lamps[i]) attron(COLOR_PAIR(kLit) | A_BOLD);
    mvprintw(y, x, "[%c] %s", surface.lamps[i] ? '*' : ' ', kLamps[i].name);
    if (surface.lamps[i]) attroff(COLOR_PAIR(kLit) | A_BOLD);
    x += 6 + static_cast<int>(std::string(kLamps[i].name).size());
  }

  // The meter as two bars, legible in any terminal.
  std::string first, second;
  for (std::size_t i = 0; i < 8; ++i) {
    MeterCell cell;
    if (!DecodeGlyph(surface.cells[20 + i], &cell)) cell = MeterCell{};
    first += " .|"[cell.first];
    second += " .|"[cell.second];
  }
  mvprintw(3, 24, "meter  1 [%s]  2 [%s]", first.c_str(), second.c_str());

  std::string held;
  for (uint8_t note : surface.held) {
    if (const Button* button = ButtonForNote(note)) held += std::string(" ") + button->name;
  }
  mvprintw(4, 24, "held:");
  if (!held.empty()) attron(COLOR_PAIR(kHeld) | A_BOLD);
  printw("%s", held.empty() ? " none" : held.c_str());
  if (!held.empty()) attroff(COLOR_PAIR(kHeld) | A_BOLD);
}

void Terminal::DrawHost(const Host::Snapshot& host) {
  mvhline(kHostTop - 1, 0, ACS_HLINE, COLS);
  mvprintw(kHostTop - 1, 2, " Host ");
  move(kHostTop, 0);
  const char* transport = host.playing ? (host.looped ? "PLAY loop" : "PLAY") : "STOP";
  if (host.playing) attron(COLOR_PAIR(kRunning) | A_BOLD);
  printw("%s", transport);
  if (host.playing) attroff(COLOR_PAIR(kRunning) | A_BOLD);
  if (host.recording) {
    attron(COLOR_PAIR(kLit) | A_BOLD);
    printw(" REC");
    attroff(COLOR_PAIR(kLit) | A_BOLD);
  }
  if (host.shuttle != 0) printw(host.shuttle < 0 ? " <<" : " >>");
  printw("  %s", FormatTime(host.position).c_str());
  mvprintw(kHostTop + 1, 0, "levels %.2f %.2f  metronome %s  markers %zu", host.level1, host.level2,
           host.metronome ? "on" : "off", host.markers.size());
  mvprintw(kHostTop + 2, 0, "   #  Track             Vol  Pan  15 16 19");

  const int rows = kHostRows - 3;
  const int count = static_cast<int>(host.tracks.size());
  int first = std::max(0, std::min(host.current - rows / 2, count - rows));
  for (int row = 0; row < rows && first + row < count; ++row) {
    const int index = first + row;
    const Track& track = host.tracks[index];
    const bool current = index == host.current;
    if (current) attron(A_REVERSE);
    mvprintw(kHostTop + 3 + row, 0, "%c%3d  %-14.14s %6.1f  %-3s   %c  %c  %c ",
             current ? '>' : ' ', index + 1, track.name.c_str(), track.volume,
             FormatPan(track.pan).c_str(), track.flag15 ? 'x' : '.', track.flag16 ? 'x' : '.',
             track.flag19 ? 'x' : '.');
    if (current) attroff(A_REVERSE);
  }
}

void Terminal::DrawLegend() {
  mvprintw(kHostTop - 1, kLegendColumn, " Keys ");
  for (std::size_t i = 0; i < std::size(kLegend); ++i) {
    mvprintw(kHostTop + static_cast<int>(i), kLegendColumn, "%.*s", COLS - kLegendColumn,
             kLegend[i]);
  }
}

void Terminal::DrawBindings() {
  mvhline(kHostTop - 1, 0, ACS_HLINE, COLS);
  const BindingsState state = m_session.Bindings();
  if (m_picking) {
    mvprintw(kHostTop - 1, 2, " Pick a command for %s ", kSlotInputs[m_slotCursor].label);
    const std::vector<std::string>& commands = m_session.host().Commands();
    const int rows = LINES - 1 - kHostTop;
    const int count = static_cast<int>(commands.size());
    const int first = std::max(0, std::min(m_commandCursor - rows / 2, count - rows));
    for (int row = 0; row < rows && first + row < count; ++row) {
      const int index = first + row;
      if (index == m_commandCursor) attron(A_REVERSE);
      mvprintw(kHostTop + row, 0, " #%-3d %-50s", index, commands[index].c_str());
      if (index == m_commandCursor) attroff(A_REVERSE);
    }
    return;
  }
  mvprintw(kHostTop - 1, 2, " Bindings, as the plug-in's dialog shows them ");
  if (!state.read) {
    mvprintw(kHostTop, 2, "Reading the bindings dialog...");
    return;
  }
  mvprintw(kHostTop, 0, "  %-16s %-42s %-5s %s", "Input", "Command", "Index", "Last run");
  for (std::size_t i = 0; i < state.rows.size() && kHostTop + 1 + static_cast<int>(i) < LINES - 1;
       ++i) {
    const BindingView& view = state.rows[i];
    const std::string index = view.index < 0 ? "-" : "#" + std::to_string(view.index);
    const std::string seen = view.seenIndex < 0 ? "-" : "#" + std::to_string(view.seenIndex);
    const bool current = static_cast<int>(i) == m_slotCursor;
    if (current) attron(A_REVERSE);
    mvprintw(kHostTop + 1 + static_cast<int>(i), 0, "%c %-16s %-42.42s %-5s %-5s",
             current ? '>' : ' ', view.input.c_str(),
             view.selected ? view.command.c_str() : "(none)", index.c_str(), seen.c_str());
    if (current) attroff(A_REVERSE);
  }
}

void Terminal::DrawHelp() {
  mvhline(kHostTop - 1, 0, ACS_HLINE, COLS);
  int y = kHostTop;
  for (const char* line : kHelp) {
    if (y >= LINES - 1) break;
    mvprintw(y++, 2, "%.*s", COLS - 2, line);
  }
}

void Terminal::DrawLog(int top, int bottom) {
  mvhline(top, 0, ACS_HLINE, COLS);
  mvprintw(top, 2, " Log ");
  std::lock_guard<std::mutex> lock(m_linesMutex);
  const int rows = bottom - top;
  const int count = static_cast<int>(m_lines.size());
  const int start = std::max(0, count - rows);
  for (int i = start; i < count; ++i) {
    const auto& [source, text] = m_lines[i];
    const int color = ColorOf(source);
    if (color) attron(COLOR_PAIR(color));
    mvprintw(top + 1 + (i - start), 0, "%.*s", COLS,
             (std::string(SourceTag(source)) + text).c_str());
    if (color) attroff(COLOR_PAIR(color));
  }
}

void Terminal::DrawStatus() {
  move(LINES - 1, 0);
  clrtoeol();
  if (m_prompting) {
    mvprintw(LINES - 1, 0, ":%.*s", COLS - 2, m_prompt.c_str());
    curs_set(1);
  } else {
    curs_set(0);
    mvprintw(LINES - 1, 0, "%.*s", COLS - 1, m_message.c_str());
  }
}

bool UnicodeTerminal() {
  std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::string(codeset) == "UTF-8";
}

}  // namespace

int RunTerminal(Machine& machine, bool withSurface) {
  const bool unicode = UnicodeTerminal();
  SCREEN* screen = newterm(nullptr, stdout, stdin);
  if (screen == nullptr) {
    std::fprintf(stderr, "quillmote-desk: cannot drive this terminal (TERM=%s)\n",
                 getenv("TERM") ? getenv("TERM") : "");
    return 1;
  }
  if (COLS < kMinColumns || LINES < kMinLines) {
    const int columns = COLS, lines = LINES;
    endwin();
    delscreen(screen);
    std::fprintf(stderr,
                 "quillmote-desk: the terminal is %dx%d; the desk needs at least %dx%d.\n"
                 "Enlarge the window, or run a script with --script FILE.\n",
                 columns, lines, kMinColumns, kMinLines);
    return 1;
  }
  cbreak();
  noecho();
  keypad(stdscr, TRUE);
  set_escdelay(25);
  timeout(kTimeoutMs);
  curs_set(0);
  if (has_colors()) {
    start_color();
    use_default_colors();
    init_pair(kLit, COLOR_RED, -1);
    init_pair(kRunning, COLOR_GREEN, -1);
    init_pair(kHeld, COLOR_YELLOW, -1);
    init_pair(kCall, COLOR_CYAN, -1);
    init_pair(kUpdate, COLOR_MAGENTA, -1);
    init_pair(kOutput, COLOR_YELLOW, -1);
    init_pair(kProblem, COLOR_RED, -1);
  }
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::deque<std::pair<Source, std::string>> lines;
  std::mutex linesMutex;
  Log log([&](Source source, const std::string& text) {
    std::lock_guard<std::mutex> lock(linesMutex);
    lines.emplace_back(source, text);
    while (lines.size() > kLogCapacity) lines.pop_front();
  });
  {
    Session session(log, machine, false);
    session.Start(withSurface);
    Terminal terminal(session, log, lines, linesMutex, unicode);
    terminal.Run();
    session.Finish();
  }
  endwin();
  delscreen(screen);
  return 0;
}

}  // namespace desk
