// The desk's terminal drawn: the surface, the host, the legend, the
// bindings, the log and the status line.
#include <curses.h>

#include <algorithm>
#include <cstdio>

#include "tui.h"
#include "tui_terminal.h"

namespace desk::tui {

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

}  // namespace desk::tui
