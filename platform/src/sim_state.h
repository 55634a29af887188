// The bookkeeping that every simulated system function shares: call counts,
// injected faults and the debugger's lines. Portable C++ with no Win32 call,
// so that the MIDI simulation can be built for Windows as well.
#ifndef QUILLMOTE_PLATFORM_SIM_STATE_H
#define QUILLMOTE_PLATFORM_SIM_STATE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qmsim {

// Counts one call of the named platform function and says whether this call
// is to fail, and with which value (see sim_fail in simctl.h). Every
// exported platform function starts with it.
std::optional<unsigned> EnterCall(std::string_view function);

void SetFault(std::string_view function, unsigned result, unsigned skip, unsigned count);
void ClearFaults();
unsigned CallCount(std::string_view function);
// Name `index`, in name order, of the functions called since the counts were
// cleared; copied like DebugLine.
std::size_t CalledFunction(std::size_t index, char* buf, std::size_t cap);
void ClearCallCounts();

void AddDebugLine(std::string_view text);
std::size_t DebugCount();
// Copies line `index` as a NUL-terminated text cut to cap bytes; returns the
// line's full length, or 0 when there is no such line.
std::size_t DebugLine(std::size_t index, char* buf, std::size_t cap);
void ClearDebugLines();

// Marks the calling thread as one of the simulated system's own threads.
void MarkSystemThread();
bool OnSystemThread();

// Whether the code at this address is still loaded: the system drops a
// callback into a module that was unloaded while its handle was open, and
// counts it (sim_stray_callbacks). Each build of the platform defines it.
bool CodeIsLoaded(std::uintptr_t address);

// Posts a notification to a thread's message queue (CALLBACK_THREAD), as
// PostThreadMessageA does but without counting a call of it: the system's
// own posts are no calls of the application. False when the system refused
// the post. Each build of the platform defines it.
bool PostThreadNotice(std::uint32_t thread_id, unsigned message, std::uintptr_t wparam,
                      std::intptr_t lparam);

// Waits until every notice posted to the thread so far has been taken from
// its queue and the thread has come back to its queue after it, so that a
// test that sent a message with `wait` sees what handling it did; or until
// the thread has no queue any more, or `bound` milliseconds have passed.
// False in the last case. Each build of the platform defines it.
bool WaitThreadNoticesHandled(std::uint32_t thread_id, unsigned bound);
// The calling thread's id, without counting a call of GetCurrentThreadId.
std::uint32_t CallingThreadId();

// What sim_reset restores beside the MIDI system and the call counts: on
// Linux the message queues' limit. Each build of the platform defines it.
void ResetPlatformSettings();

// Runs `body` and turns any exception into `fallback`: no exception may leave
// an exported function.
template <class R, class F>
R Guarded(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

template <class F>
void Guarded(F&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace qmsim

#endif
