// The exported winmm functions: each counts its call, fails when a fault is
// injected for it, and otherwise hands over to the simulated MIDI system.
#include <windows.h>

#include <mmsystem.h>

#include <cstdint>

#include "midi_system.h"
#include "sim_state.h"

namespace {

namespace midi = qmsim::midi;
using qmsim::midi::Direction;

#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(MIDIHDR) == 64, "MIDIHDR has the system's layout");
#endif
static_assert(sizeof(MIDIOUTCAPSA) == 52, "MIDIOUTCAPSA has the system's layout");
static_assert(sizeof(MIDIINCAPSA) == 44, "MIDIINCAPSA has the system's layout");

// Counts the call, answers an injected fault, and keeps every exception
// inside: no exception may leave an exported function.
template <class Body>
MMRESULT Call(const char* function, Body&& body) {
  return qmsim::Guarded<MMRESULT>(MMSYSERR_NOMEM, [&]() -> MMRESULT {
    if (auto fault = qmsim::EnterCall(function)) return *fault;
    return body();
  });
}

uintptr_t Number(HMIDIOUT handle) { return reinterpret_cast<uintptr_t>(handle); }
uintptr_t Number(HMIDIIN handle) { return reinterpret_cast<uintptr_t>(handle); }

template <class Handle>
MMRESULT OpenDevice(const char* function, Direction direction, Handle* handle, UINT id,
                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
  return qmsim::Guarded<MMRESULT>(MMSYSERR_NOMEM, [&]() -> MMRESULT {
    if (auto fault = qmsim::EnterCall(function)) {
      if (handle != nullptr) *handle = nullptr;
      return *fault;
    }
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    uintptr_t number = 0;
    const MMRESULT result = midi::Open(direction, &number, id, callback, instance, flags);
    *handle = reinterpret_cast<Handle>(number);
    return result;
  });
}

}  // namespace

extern "C" {

// ---- Output ----

UINT WINAPI midiOutGetNumDevs(void) {
  return qmsim::Guarded<UINT>(0, [] {
    if (auto fault = qmsim::EnterCall("midiOutGetNumDevs")) return static_cast<UINT>(*fault);
    return midi::NumDevs(Direction::kOutput);
  });
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
  return Call("midiOutGetDevCapsA", [&] { return midi::OutCaps(uDeviceID, pmoc, cbmoc); });
}

MMRESULT WINAPI midiOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
  return Call("midiOutGetErrorTextA", [&] { return midi::ErrorText(mmrError, pszText, cchText); });
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback,
                            DWORD_PTR dwInstance, DWORD fdwOpen) {
  return OpenDevice("midiOutOpen", Direction::kOutput, phmo, uDeviceID, dwCallback, dwInstance,
                    fdwOpen);
}

MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
  return Call("midiOutClose", [&] { return midi::Close(Direction::kOutput, Number(hmo)); });
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  return Call("midiOutPrepareHeader",
              [&] { return midi::PrepareHeader(Direction::kOutput, Number(hmo), pmh, cbmh); });
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  return Call("midiOutUnprepareHeader",
              [&] { return midi::UnprepareHeader(Direction::kOutput, Number(hmo), pmh, cbmh); });
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
  return Call("midiOutShortMsg", [&] { return midi::ShortMsg(Number(hmo), dwMsg); });
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  return Call("midiOutLongMsg", [&] { return midi::LongMsg(Number(hmo), pmh, cbmh); });
}

MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
  return Call("midiOutReset", [&] { return midi::OutReset(Number(hmo)); });
}

// ---- Input ----

UINT WINAPI midiInGetNumDevs(void) {
  return qmsim::Guarded<UINT>(0, [] {
    if (auto fault = qmsim::EnterCall("midiInGetNumDevs")) return static_cast<UINT>(*fault);
    return midi::NumDevs(Direction::kInput);
  });
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
  return Call("midiInGetDevCapsA", [&] { return midi::InCaps(uDeviceID, pmic, cbmic); });
}

MMRESULT WINAPI midiInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText) {
  return Call("midiInGetErrorTextA", [&] { return midi::ErrorText(mmrError, pszText, cchText); });
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback,
                           DWORD_PTR dwInstance, DWORD fdwOpen) {
  return OpenDevice("midiInOpen", Direction::kInput, phmi, uDeviceID, dwCallback, dwInstance,
                    fdwOpen);
}

MMRESULT WINAPI midiInClose(HMIDIIN hmi) {
  return Call("midiInClose", [&] { return midi::Close(Direction::kInput, Number(hmi)); });
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
  return Call("midiInPrepareHeader",
              [&] { return midi::PrepareHeader(Direction::kInput, Number(hmi), pmh, cbmh); });
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
  return Call("midiInUnprepareHeader",
              [&] { return midi::UnprepareHeader(Direction::kInput, Number(hmi), pmh, cbmh); });
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN hmi, LPMIDIHDR pmh, UINT cbmh) {
  return Call("midiInAddBuffer", [&] { return midi::AddBuffer(Number(hmi), pmh, cbmh); });
}

MMRESULT WINAPI midiInStart(HMIDIIN hmi) {
  return Call("midiInStart", [&] { return midi::InStart(Number(hmi)); });
}

MMRESULT WINAPI midiInStop(HMIDIIN hmi) {
  return Call("midiInStop", [&] { return midi::InStop(Number(hmi)); });
}

MMRESULT WINAPI midiInReset(HMIDIIN hmi) {
  return Call("midiInReset", [&] { return midi::InReset(Number(hmi)); });
}

}  // extern "C"
