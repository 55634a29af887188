// A double-clicked console program gets a window of its own that closes the
// moment the program ends, before anyone has read the report. So when the
// program is alone in its console, it asks for Enter before it ends; run from
// a prompt, a script or with --json it never does.
#ifndef QUILLMOTE_TOOLS_CHECK_CONSOLE_PAUSE_H
#define QUILLMOTE_TOOLS_CHECK_CONSOLE_PAUSE_H

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace qmcheck {

constexpr char kPauseLine[] = "Press Enter to close this window.";

// What decides whether to wait for Enter.
struct ConsoleFacts {
  unsigned long processes = 0;   // attached to the console, this one included; 0: no console
  bool inputIsConsole = false;   // standard input is the console, not a file or a pipe
  bool outputIsConsole = false;  // standard output is the console
  bool json = false;             // --json: the output is for a program, not a person
};

// Waits only in a console no other process shares (a prompt's console has
// the prompt in it too), and only when a person both reads and types there.
bool ShouldPause(const ConsoleFacts& facts);

// This process's facts. Only Windows gives a program a window of its own:
// elsewhere they always say "no console".
ConsoleFacts GatherConsoleFacts(const std::vector<std::string>& args);

// Prints the pause line and returns at the end of a line, or of `in`.
void WaitForEnter(std::FILE* in, std::ostream& out);

// The program's last step: waits for Enter when ShouldPause says so.
void PauseIfOwnConsole(const std::vector<std::string>& args);

}  // namespace qmcheck

#endif
