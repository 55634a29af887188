// The desk's machine under Wine: the real 32-bit plug-in DLL, loaded by
// quillmote-bridge.exe on the simulated MIDI system of the test winmm.dll
// (both from the windows build), driven over the bridge's line protocol
// (tools/desk/bridge/bridge.cpp). The plug-in's calls of the host come back
// as "call" lines and are answered by the host's own callbacks, on the desk
// thread that waits for the bridge at that moment, as they would be in
// process.
//
// The bindings stay in the desk's store (~/.config/quillmote/registry.json):
// they are copied into the Wine prefix's registry when the bridge starts, and
// back after each OK in the bindings dialog, which under Wine is a real
// window and needs an X display.
#ifndef QUILLMOTE_TOOLS_DESK_WINE_MACHINE_H
#define QUILLMOTE_TOOLS_DESK_WINE_MACHINE_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "machine.h"
#include <sys/types.h>

namespace desk {

struct WineSetup {
  std::string windowsBuild;  // holds quillmote-bridge.exe, winmm.dll and the plug-in
  std::string plugin;        // the DLL; empty: Quillmote1_5.cv2 in windowsBuild
  std::string prefix;        // WINEPREFIX; empty: windowsBuild/wineprefix
  std::string wine = "wine";
};

class WineMachine : public Machine {
 public:
  WineMachine() = default;
  ~WineMachine() override;
  WineMachine(const WineMachine&) = delete;
  WineMachine& operator=(const WineMachine&) = delete;

  // Starts the bridge and waits until the plug-in is loaded. On failure
  // returns false and says why in `error`, in words meant for the user.
  bool Start(const WineSetup& setup, std::string* error);

  std::string Name() const override;
  bool Lost(std::string* why) const override;
  int Query(unsigned char* record, std::size_t size) override;
  int Open(const HostServices& services) override;
  void Update(int32_t code, const UpdateArg& first, const UpdateArg& second) override;
  void Close() override;
  bool HasDialog(std::string* why) const override;
  int RunDialog(int32_t count, HostGetCommandNameFn names, const DialogRequest& request,
                const DialogObserver& seen, bool* shown) override;

  void Install(bool withPorts, OutputListener listener) override;
  void Detach() override;
  bool SendInput(uint32_t packed) override;
  bool WaitIdle() override;
  std::vector<std::string> TakeDebugLines() override;

 private:
  using LineHandler = std::function<void(const std::string& line)>;

  // Sends one request and waits for its "ok" or "error" line, answering the
  // plug-in's calls meanwhile; other lines go to `other`. Returns the answer
  // after "ok " ("" for a bare "ok"); false for "error" or a bridge that is
  // gone, which is then said once on standard error.
  bool Request(const std::string& line, std::string* answer, const LineHandler& other = nullptr);
  bool WaitForLine(std::string* line, int timeoutMs);
  void Write(const std::string& line);
  void ReadBridge();
  void AnswerCall(const std::string& line);
  void Fail(const std::string& why);
  std::string StderrText();
  void PushStore();
  void PullStore();

  pid_t m_pid = -1;
  int m_toBridge = -1;
  int m_fromBridge = -1;
  int m_stderr = -1;
  std::string m_name;
  bool m_configure = false;
  std::thread m_reader;
  std::atomic<bool> m_stopping{false};

  std::mutex m_writeMutex;
  std::mutex m_requestMutex;  // one request at a time

  std::mutex m_inboxMutex;  // the four below
  std::condition_variable m_inboxChanged;
  std::deque<std::string> m_inbox;
  bool m_gone = false;
  bool m_waiting = false;  // a request waits for its answer

  std::mutex m_callMutex;  // the two below
  HostServices m_services{};
  HostGetCommandNameFn m_dialogNames = nullptr;

  std::mutex m_listenerMutex;
  OutputListener m_listener;

  std::atomic<bool> m_failed{false};
  mutable std::mutex m_failureMutex;
  std::string m_failure;
};

}  // namespace desk

#endif
