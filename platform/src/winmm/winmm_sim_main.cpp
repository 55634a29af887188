// Windows only: the replacement MIDI DLL collects the process's debugger
// output, so that sim_debug_line reads the same lines as on Linux.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "sim_state.h"
#include "simctl.h"

namespace {

// OutputDebugStringA raises this exception before it looks for a debugger;
// a vectored handler sees it first and lets it go on.
constexpr DWORD kDebugPrint = 0x40010006;

LONG CALLBACK CollectDebugString(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == kDebugPrint && record->NumberParameters >= 2) {
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    if (text != nullptr) qmsim::Guarded([&] { qmsim::AddDebugLine(text); });
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

PVOID g_handler = nullptr;

// A program run by a test in a process of its own (quillmote-check) finds its
// machine in the environment, as entries separated by ';': "out:NAME" and
// "in:NAME" add a device, "taken-out:N" and "taken-in:N" mark device N as
// held by another program.
void SetUpMachineFromEnvironment() {
  const char* spec = std::getenv("QM_SIM_MACHINE");
  if (spec == nullptr) return;
  std::string rest = spec;
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    const std::string entry = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end + 1);
    const std::size_t colon = entry.find(':');
    if (colon == std::string::npos) continue;
    const std::string kind = entry.substr(0, colon);
    const std::string value = entry.substr(colon + 1);
    if (kind == "out") sim_add_output(value.c_str());
    if (kind == "in") sim_add_input(value.c_str());
    if (kind == "taken-out")
      sim_set_device_taken(SIM_OUTPUT, std::strtoul(value.c_str(), nullptr, 10), 1);
    if (kind == "taken-in")
      sim_set_device_taken(SIM_INPUT, std::strtoul(value.c_str(), nullptr, 10), 1);
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_handler = AddVectoredExceptionHandler(1, &CollectDebugString);
    qmsim::Guarded([] { SetUpMachineFromEnvironment(); });
  } else if (reason == DLL_PROCESS_DETACH && g_handler != nullptr) {
    RemoveVectoredExceptionHandler(g_handler);
  }
  return TRUE;
}

namespace qmsim {

bool CodeIsLoaded(std::uintptr_t address) {
  HMODULE module = nullptr;
  return GetModuleHandleExA(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             reinterpret_cast<LPCSTR>(address), &module) != FALSE;
}

// The system's own PostThreadMessageA: it refuses a thread without a queue
// as Windows does.
bool PostThreadNotice(std::uint32_t thread_id, unsigned message, std::uintptr_t wparam,
                      std::intptr_t lparam) {
  return PostThreadMessageA(thread_id, message, wparam, lparam) != FALSE;
}

std::uint32_t CallingThreadId() { return GetCurrentThreadId(); }

namespace {

// Another thread's queue can't be looked into here: a marker posted after
// the notices, which the receiving thread takes only once it has done with
// everything before it, tells instead. A hook on that thread sees it taken.
// Its wParam is no handle, so a port drops it as another handle's message.
constexpr UINT kMarker = WM_NULL;
constexpr WPARAM kMarkerCookie = 0x51AD51AD;

struct Markers {
  std::mutex mutex;
  std::condition_variable taken;
  std::map<DWORD, HHOOK> hooks;
  std::map<DWORD, std::uint64_t> count;
};

Markers& TheMarkers() {
  static Markers* markers = new Markers;
  return *markers;
}

LRESULT CALLBACK SeeMarker(int code, WPARAM removal, LPARAM param) {
  const auto* message = reinterpret_cast<const MSG*>(param);
  if (code == HC_ACTION && removal == PM_REMOVE && message != nullptr && message->hwnd == nullptr &&
      message->message == kMarker && message->wParam == kMarkerCookie) {
    Guarded([] {
      Markers& markers = TheMarkers();
      std::lock_guard<std::mutex> lock(markers.mutex);
      ++markers.count[GetCurrentThreadId()];
      markers.taken.notify_all();
    });
  }
  return CallNextHookEx(nullptr, code, removal, param);
}

}  // namespace

bool WaitThreadNoticesHandled(std::uint32_t thread_id, unsigned bound) {
  Markers& markers = TheMarkers();
  std::unique_lock<std::mutex> lock(markers.mutex);
  if (markers.hooks.count(thread_id) == 0) {
    // A hook of this process on one of its threads; it goes with the thread.
    HHOOK hook = SetWindowsHookExA(WH_GETMESSAGE, &SeeMarker, nullptr, thread_id);
    if (hook == nullptr) return true;  // no such thread any more
    markers.hooks[thread_id] = hook;
  }
  const std::uint64_t before = markers.count[thread_id];
  if (!PostThreadMessageA(thread_id, kMarker, kMarkerCookie, 0)) return true;
  return markers.taken.wait_for(lock, std::chrono::milliseconds(bound),
                                [&] { return markers.count[thread_id] > before; });
}

// The queues' limit is the system's own here.
void ResetPlatformSettings() {}

}  // namespace qmsim
