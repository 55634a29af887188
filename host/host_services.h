// The host's side of the plug-in boundary: its callback record and the
// numeric codes of actions, queries and notifications.
#ifndef QUILLMOTE_HOST_HOST_SERVICES_H
#define QUILLMOTE_HOST_HOST_SERVICES_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

// An argument of UpdateController: an integer or an address, depending on the
// code. 32 bits on the Windows target, pointer-sized on the native build.
typedef intptr_t HostArg;

extern "C" {
// The 16-bit arguments travel in 32-bit slots; only their low 16 bits count.
typedef void(__cdecl* HostDoActionFn)(int32_t code, int32_t value, int32_t track, int32_t reserved);
typedef void(__cdecl* HostQueryValueFn)(int32_t code, int32_t track, void* result,
                                        int32_t reserved);
typedef void(__cdecl* HostGetCommandNameFn)(int32_t index, char* buffer, int32_t size,
                                            int32_t* valid);
typedef void(__cdecl* HostRunCommandFn)(int32_t index, int32_t status);
}

struct HostServices {
  HostDoActionFn DoAction;
  HostQueryValueFn QueryValue;
  HostGetCommandNameFn GetCommandName;
  int32_t Reserved;
  HostRunCommandFn RunCommand;
  int32_t CommandCount;
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(HostServices) == 24, "the host's record is six 32-bit fields");
#endif

struct HostCode {
  // Asked of the host with DoAction.
  enum Action : int32_t {
    kRewind = 0,
    kFastForward = 1,
    kStop = 2,
    kPlay = 3,
    kPlayLooped = 5,
    kRecord = 7,
    kAdd = 9,
    kNext = 10,
    kPrevious = 11,
    kTransportStep = 12,
    kToggleFlag15 = 15,
    kToggleFlag16 = 16,
    kSelectTrack = 18,
    kToggleFlag19 = 19,
    kSetVolume = 20,
    kChangePan = 21,
  };
  // Asked of the host with QueryValue.
  enum Query : int32_t {
    kQueryFlag15 = 15,
    kQueryFlag16 = 16,
    kQueryFlag19 = 19,
    kQueryVolume = 20,
    kQueryPan = 21,
    kQueryName = 44,
  };
  // Passed by the host to UpdateController.
  enum Notification : int32_t {
    kRecordState = 7,
    kFlag15 = 15,
    kFlag16 = 16,
    kTrackChange = 18,
    kFlag19 = 19,
    kVolume = 20,
    kPan = 21,
    kReloadBindings = 39,
    kLevels = 40,
    kTime = 41,
    kTrackName = 44,
  };
};

// Status passed to RunCommand with the edge of the surface button.
constexpr int32_t kCommandPressed = 0x90;
constexpr int32_t kCommandReleased = 0x80;

// Host command names travel through buffers of this many bytes.
constexpr std::size_t kCommandNameSize = 128;

#endif
