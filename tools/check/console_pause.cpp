// When quillmote-check waits for Enter before it ends (console_pause.h).
#ifdef _WIN32
// GetConsoleProcessList came with Windows XP: older header defaults hide it.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0501
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <iostream>

#include "tools/check/console_pause.h"

namespace qmcheck {

bool ShouldPause(const ConsoleFacts& facts) {
  return facts.processes == 1 && facts.inputIsConsole && facts.outputIsConsole && !facts.json;
}

ConsoleFacts GatherConsoleFacts(const std::vector<std::string>& args) {
  ConsoleFacts facts;
  facts.json = std::find(args.begin(), args.end(), "--json") != args.end();
#ifdef _WIN32
  // Only whether it is one matters: with more than fit, the call returns how
  // many there are.
  DWORD ids[4];
  facts.processes = GetConsoleProcessList(ids, 4);
  DWORD mode = 0;
  facts.inputIsConsole = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
  facts.outputIsConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#endif
  return facts;
}

void WaitForEnter(std::FILE* in, std::ostream& out) {
  out << "\n" << kPauseLine << std::endl;
  int c = 0;
  while ((c = std::fgetc(in)) != EOF && c != '\n') {
  }
}

void PauseIfOwnConsole(const std::vector<std::string>& args) {
  if (!ShouldPause(GatherConsoleFacts(args))) return;
#ifdef _WIN32
  // An Enter pressed while the report was still coming would close the
  // window before it is read.
  FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
#endif
  WaitForEnter(stdin, std::cout);
}

}  // namespace qmcheck
