// quillmote-check: the surface as the plug-in sees it. Everything but the
// program's entry point, so that the tests run it in their own process.
#ifndef QUILLMOTE_TOOLS_CHECK_CHECK_H
#define QUILLMOTE_TOOLS_CHECK_CHECK_H

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace qmcheck {

// Exit statuses.
constexpr int kReady = 0;
constexpr int kNotFound = 1;
constexpr int kNotUsable = 2;
constexpr int kBadInput = 3;

// Runs the program on its arguments (without the program name). `stop` ends
// the test mode early, as Ctrl+C does; it is read, never written.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::atomic<bool>& stop);

// What Ctrl+C sets: the flag that Run is given by the program.
std::atomic<bool>& InterruptFlag();
// Makes Ctrl+C set InterruptFlag() instead of ending the process, so that the
// test mode can still blank the surface.
void InstallInterruptHandler();

}  // namespace qmcheck

#endif
