// The simulated MIDI system: devices, open handles with their system threads,
// completion of long messages, and what the surface received and sends.
//
// Written over the C++ standard library alone (no kernel32 call), so that the
// same files build the MIDI system's replacement DLL for Windows; the Win32
// types come from the platform's <mmsystem.h> here and from the system's
// headers there. The winmm functions call in here after counting the call and
// checking for an injected fault; simctl.h's functions call the rest.
#ifndef QUILLMOTE_PLATFORM_MIDI_SYSTEM_H
#define QUILLMOTE_PLATFORM_MIDI_SYSTEM_H

#include <windows.h>

#include <mmsystem.h>

#include <cstddef>
#include <cstdint>

#include "simctl.h"

namespace qmsim::midi {

enum class Direction { kOutput = 0, kInput = 1 };

// ---- Machine set-up and the surface's side (see simctl.h) ----

void Reset();
unsigned AddDevice(Direction direction, const char* name);
void SetCompletionDelay(unsigned milliseconds);
void SetInputDelay(unsigned milliseconds);
void SetLateCallbacks(bool late, unsigned lateness_ms, int flags);
bool WaitCallbacksDone(unsigned timeout_milliseconds);
unsigned StrayCallbacks();
unsigned CallbacksAfterClose();
unsigned LostThreadMessages();
void SetCloseWaitsForCallbacks(bool on);
unsigned WaitingForCallbacks();
void HoldCompletions(bool hold);
unsigned ReleaseCompletions(unsigned device, unsigned count, bool newest_first);

std::size_t SentCount(unsigned device);
std::size_t SentMessage(unsigned device, std::size_t index, unsigned char* buf, std::size_t cap);
void ClearSent();
void SetWireRate(unsigned bytes_per_second);
bool SetOutputDriver(int kind);
void SetManualClock(bool on);
bool AdvanceClock(unsigned microseconds);
std::uint64_t ClockMicros();
std::size_t DisplayCells(unsigned device, char* cells);
std::size_t DisplayChangeCount(unsigned device);
bool DisplayChange(unsigned device, std::size_t index, std::uint64_t* time, char* cells);
void SetOutputListener(sim_output_listener listener, void* context);
bool WaitIdle(unsigned timeout_milliseconds);

unsigned PreparedHeaders();
unsigned PendingHeaders();
unsigned OpenDevices();
bool SetDeviceTaken(Direction direction, unsigned device, bool taken);

int SendInput(unsigned device, unsigned packed, unsigned timestamp, bool wait);
int SendInputSysex(unsigned device, const unsigned char* bytes, std::size_t length,
                   unsigned timestamp, bool wait);
int DeliverInput(unsigned device, unsigned message, std::size_t param1, std::size_t param2);

// ---- The winmm functions; handles are passed as plain numbers ----

UINT NumDevs(Direction direction);
MMRESULT OutCaps(UINT_PTR id, MIDIOUTCAPSA* caps, UINT size);
MMRESULT InCaps(UINT_PTR id, MIDIINCAPSA* caps, UINT size);
MMRESULT ErrorText(MMRESULT code, LPSTR text, UINT size);

MMRESULT Open(Direction direction, std::uintptr_t* handle, UINT id, DWORD_PTR callback,
              DWORD_PTR instance, DWORD flags);
MMRESULT Close(Direction direction, std::uintptr_t handle);
MMRESULT PrepareHeader(Direction direction, std::uintptr_t handle, MIDIHDR* header, UINT size);
MMRESULT UnprepareHeader(Direction direction, std::uintptr_t handle, MIDIHDR* header, UINT size);

MMRESULT ShortMsg(std::uintptr_t handle, DWORD message);
MMRESULT LongMsg(std::uintptr_t handle, MIDIHDR* header, UINT size);
MMRESULT OutReset(std::uintptr_t handle);

MMRESULT AddBuffer(std::uintptr_t handle, MIDIHDR* header, UINT size);
MMRESULT InStart(std::uintptr_t handle);
MMRESULT InStop(std::uintptr_t handle);
MMRESULT InReset(std::uintptr_t handle);

}  // namespace qmsim::midi

#endif
