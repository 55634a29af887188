// One run of the desk: the plug-in, the simulated host and the emulated
// surface together, and the commands that a script, the command prompt or a
// key runs on them.
#ifndef QUILLMOTE_TOOLS_DESK_SESSION_H
#define QUILLMOTE_TOOLS_DESK_SESSION_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bindings_dialog.h"
#include "host.h"
#include "log.h"
#include "machine.h"
#include "script.h"
#include "surface.h"

namespace desk {

// One of the sixteen bindable inputs, as the bindings dialog shows it.
struct BindingView {
  std::string input;  // "Shift + PLAY"
  bool selected = false;
  std::string command;  // the name the dialog's box shows
  int index = -1;       // the first host command of that name, -1 if none
  int seenIndex = -1;   // the last command the input ran here, -1 if none yet
};

struct BindingsState {
  bool available = false;  // the plug-in has the dialog
  bool read = false;       // the dialog has been read at least once
  std::vector<BindingView> rows;
};

class Session {
 public:
  // In step mode every command's effects are complete, and logged, before
  // the next command runs; otherwise the host runs in real time.
  Session(Log& log, Machine& machine, bool stepMode);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Sets up the simulated machine and opens the plug-in.
  void Start(bool withSurface);
  // Closes the plug-in if it is open and stops the host.
  void Finish();

  // Runs one command. Returns false, with the reason in `error`, when the
  // command cannot run in the present state (a track the host lacks...).
  bool Run(const Command& command, std::string* error);

  // A button from a key: press, release, or both.
  void PressButton(const Button& button, bool pressed);
  void TapButton(const Button& button);
  void TurnWheel(int steps);

  // Opens the bindings dialog, reads its sixteen boxes and cancels it.
  void RequestBindings();
  // Opens the bindings dialog, picks `command` for the slot (an index into
  // kSlotInputs) and confirms with OK.
  void RequestBind(int slot, const std::string& command);
  BindingsState Bindings() const;
  std::vector<std::string> BindingLines() const;
  // Whether the bindings dialog can be shown; if not, `why` says so.
  bool CanConfigure(std::string* why = nullptr) const;

  // New debugger lines of the plug-in into the log.
  void PollDebugger();

  Host& host() { return m_host; }
  Surface& surface() { return m_surface; }
  const Machine& machine() const { return m_machine; }

 private:
  void Settle();
  void Quiet();
  void ObserveCommand(int32_t index, bool pressed);

  Log& m_log;
  Machine& m_machine;
  bool m_stepMode;
  bool m_finished = false;
  Surface m_surface;
  Host m_host;
  std::mutex m_debugMutex;

  // The input being sent, so that a command it runs can be told to its slot.
  std::atomic<int32_t> m_sendingSlot{-1};
  mutable std::mutex m_bindingsMutex;  // the two below
  std::array<int, kSlotCount> m_seen;
  std::vector<DialogBox> m_boxes;
  // Whether the last bind found its command in the dialog.
  std::atomic<bool> m_bindChosen{false};
};

}  // namespace desk

#endif
