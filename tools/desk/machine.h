// What the desk needs of the plug-in and of the simulated MIDI system it runs
// on, behind one interface with two ends: the native library in this process
// over libqmplatform (NativeMachine), and the real Windows DLL under Wine,
// reached through quillmote-bridge.exe (WineMachine). The host, the surface
// and the session see only this, so that both ends give the same run.
#ifndef QUILLMOTE_TOOLS_DESK_MACHINE_H
#define QUILLMOTE_TOOLS_DESK_MACHINE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bindings_dialog.h"
#include "host/host_services.h"

namespace desk {

// One argument of UpdateController: a number, or the address of a double or
// of a text, which the machine keeps for the length of the call.
struct UpdateArg {
  enum Kind { kNumber, kDouble, kText };
  Kind kind = kNumber;
  HostArg number = 0;
  double value = 0.0;
  std::string text;

  static UpdateArg Number(HostArg number) {
    UpdateArg arg;
    arg.number = number;
    return arg;
  }
  static UpdateArg Double(double value) {
    UpdateArg arg;
    arg.kind = kDouble;
    arg.value = value;
    return arg;
  }
  static UpdateArg Text(std::string text) {
    UpdateArg arg;
    arg.kind = kText;
    arg.text = std::move(text);
    return arg;
  }
};

// What the user does in the bindings dialog: reads its boxes and presses
// Cancel (controlId 0), or picks `command` in the box `controlId` and
// presses OK (Cancel when the box does not list it).
struct DialogRequest {
  int32_t controlId = 0;
  std::string command;
};

// What the user saw before pressing OK or Cancel.
struct DialogSeen {
  std::string caption;
  std::vector<DialogBox> boxes;  // when reading: one per slot, in kSlotInputs' order
  bool chosen = false;           // when picking: the box listed the command
};

class Machine {
 public:
  // The surface port's output, one message at a time, on a thread of the
  // machine's own.
  using OutputListener = std::function<void(const uint8_t* bytes, std::size_t length)>;
  using DialogObserver = std::function<void(const DialogSeen& seen)>;

  virtual ~Machine() = default;

  // The plug-in as the desk's header names it.
  virtual std::string Name() const = 0;
  // True once the machine is gone for good (the process that ran the
  // plug-in ended), with why in `why`.
  virtual bool Lost(std::string* /*why*/) const { return false; }

  // ---- The plug-in's exports; the host calls them on its own thread ----
  // QueryController into `record` (zeroed first).
  virtual int Query(unsigned char* record, std::size_t size) = 0;
  // OpenController. The plug-in calls `services` back, on the calling thread
  // or on the machine's.
  virtual int Open(const HostServices& services) = 0;
  virtual void Update(int32_t code, const UpdateArg& first, const UpdateArg& second) = 0;
  virtual void Close() = 0;
  // Whether the bindings dialog can be shown; if not, `why` says so.
  virtual bool HasDialog(std::string* why) const = 0;
  // ConfigureController(0, 0, count, names); once the dialog waits for its
  // user, the user acts as `request` says, after telling `seen` what the
  // dialog showed. Returns ConfigureController's result. False in `shown`
  // when the dialog never appeared.
  virtual int RunDialog(int32_t count, HostGetCommandNameFn names, const DialogRequest& request,
                        const DialogObserver& seen, bool* shown) = 0;

  // ---- The simulated MIDI system ----
  // A fresh machine: the surface's port pair "Quillmote Port", or without it
  // an unrelated pair, so that the plug-in finds no surface. Output to the
  // surface goes to `listener` from then on.
  virtual void Install(bool withPorts, OutputListener listener) = 0;
  // No more output to the listener.
  virtual void Detach() = 0;
  // From the next Install on, the simulated system calls back as real
  // drivers do: every callback `milliseconds` late, the close calls not
  // waiting for it. Negative: the simulation's own prompt timing.
  void SetLateCallbacks(int milliseconds) { m_lateCallbacks = milliseconds; }
  // From the next Install on, the surface's cable carries so many bytes a
  // second (a DIN cable 3125); 0: as fast as the plug-in sends.
  void SetWireRate(unsigned bytesPerSecond) { m_wireRate = bytesPerSecond; }
  // One short message from the surface, returning once the plug-in has
  // handled it. False when the input port dropped it (not started).
  virtual bool SendInput(uint32_t packed) = 0;
  // Waits until every message the plug-in sent has reached the listener.
  // False when the system did not become idle in time.
  virtual bool WaitIdle() = 0;
  // The plug-in's debugger lines since the last call, line ends removed.
  virtual std::vector<std::string> TakeDebugLines() = 0;

 protected:
  int m_lateCallbacks = -1;
  unsigned m_wireRate = 0;
};

}  // namespace desk

#endif
