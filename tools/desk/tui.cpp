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
#include "tui_terminal.h"

namespace desk {

namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted = true; }

}  // namespace

namespace tui {

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

}  // namespace tui

namespace {

using namespace tui;

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
