#include <windows.h>

#include "result_codes.h"

#include <mmsystem.h>

namespace faultmatrix {

namespace {

constexpr unsigned kWaitFailed = 0xFFFFFFFF;
// Codes the system can return that the plug-in's headers have no name for.
constexpr unsigned MIDIERR_BADOPENMODE = MIDIERR_BASE + 6;
constexpr unsigned ERROR_MAX_THRDS_REACHED = 164;
constexpr unsigned ERROR_NO_SYSTEM_RESOURCES = 1450;

}  // namespace

const std::map<std::string, std::vector<Code>>& ResultCodes() {
  static const std::map<std::string, std::vector<Code>> codes = [] {
    const std::vector<Code> caps = {{MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID"},
                                    {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
                                    {MMSYSERR_NODRIVER, "MMSYSERR_NODRIVER"},
                                    {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}};
    const std::vector<Code> close = {{MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING"},
                                     {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"},
                                     {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}};
    const std::vector<Code> prepare = {{MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"},
                                       {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
                                       {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}};
    const std::vector<Code> unprepare = {{MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING"},
                                         {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"},
                                         {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"}};
    const std::vector<Code> handleOnly = {{MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}};
    const std::vector<Code> errorText = {{MMSYSERR_BADERRNUM, "MMSYSERR_BADERRNUM"},
                                         {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"}};
    const std::vector<Code> badHandle = {{ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
                                         {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"}};
    const std::vector<Code> regOpen = {{ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
                                       {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
                                       {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
                                       {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY"}};
    return std::map<std::string, std::vector<Code>>{
        // A failing count is no error code: the system reports no devices.
        {"midiOutGetNumDevs", {{0, "0 devices"}}},
        {"midiInGetNumDevs", {{0, "0 devices"}}},
        {"midiOutGetDevCapsA", caps},
        {"midiInGetDevCapsA", caps},
        {"midiOutGetErrorTextA", errorText},
        {"midiInGetErrorTextA", errorText},
        {"midiOutOpen",
         {{MIDIERR_NODEVICE, "MIDIERR_NODEVICE"},
          {MMSYSERR_ALLOCATED, "MMSYSERR_ALLOCATED"},
          {MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID"},
          {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
          {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}}},
        {"midiInOpen",
         {{MMSYSERR_ALLOCATED, "MMSYSERR_ALLOCATED"},
          {MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID"},
          {MMSYSERR_INVALFLAG, "MMSYSERR_INVALFLAG"},
          {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},
          {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"}}},
        {"midiOutClose", close},
        {"midiInClose", close},
        {"midiOutShortMsg",
         {{MIDIERR_BADOPENMODE, "MIDIERR_BADOPENMODE"},
          {MIDIERR_NOTREADY, "MIDIERR_NOTREADY"},
          {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}}},
        {"midiOutLongMsg",
         {{MIDIERR_NOTREADY, "MIDIERR_NOTREADY"},
          {MIDIERR_UNPREPARED, "MIDIERR_UNPREPARED"},
          {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}}},
        {"midiOutPrepareHeader", prepare},
        {"midiInPrepareHeader", prepare},
        {"midiOutUnprepareHeader", unprepare},
        {"midiInUnprepareHeader", unprepare},
        {"midiInAddBuffer",
         {{MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING"},
          {MIDIERR_UNPREPARED, "MIDIERR_UNPREPARED"},
          {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"}}},
        {"midiOutReset", handleOnly},
        {"midiInStart", handleOnly},
        {"midiInStop", handleOnly},
        {"midiInReset", handleOnly},
        {"CreateEventA",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"}}},
        {"CreateThread",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_MAX_THRDS_REACHED, "ERROR_MAX_THRDS_REACHED"},
          {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"}}},
        {"SetEvent", badHandle},
        {"ResetEvent", badHandle},
        {"CloseHandle", badHandle},
        {"GetExitCodeThread", badHandle},
        {"SetThreadPriority", badHandle},
        {"ResumeThread", badHandle},
        {"WaitForSingleObject", {{kWaitFailed, "WAIT_FAILED"}, {WAIT_TIMEOUT, "WAIT_TIMEOUT"}}},
        {"MsgWaitForMultipleObjects",
         {{kWaitFailed, "WAIT_FAILED"}, {WAIT_TIMEOUT, "WAIT_TIMEOUT"}}},
        {"FreeLibrary", {{ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"}}},
        {"RegOpenKeyA", regOpen},
        {"RegOpenKeyExA", regOpen},
        {"RegCreateKeyExA",
         {{ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
          {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
          {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY"},
          {ERROR_WRITE_FAULT, "ERROR_WRITE_FAULT"}}},
        {"RegQueryValueExA",
         {{ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
          {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
          {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
          {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"}}},
        {"RegSetValueExA",
         {{ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
          {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
          {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY"},
          {ERROR_WRITE_FAULT, "ERROR_WRITE_FAULT"}}},
        {"RegDeleteValueA", regOpen},
        {"RegCloseKey", {{ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"}}},
        {"GetModuleHandleExA",
         {{ERROR_MOD_NOT_FOUND, "ERROR_MOD_NOT_FOUND"},
          {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"}}},
        {"FindResourceA",
         {{ERROR_RESOURCE_NAME_NOT_FOUND, "ERROR_RESOURCE_NAME_NOT_FOUND"},
          {ERROR_RESOURCE_TYPE_NOT_FOUND, "ERROR_RESOURCE_TYPE_NOT_FOUND"}}},
        {"DialogBoxParamA",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_INVALID_WINDOW_HANDLE, "ERROR_INVALID_WINDOW_HANDLE"},
          {ERROR_RESOURCE_NAME_NOT_FOUND, "ERROR_RESOURCE_NAME_NOT_FOUND"}}},
        {"DialogBoxIndirectParamA",
         {{ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
          {ERROR_INVALID_WINDOW_HANDLE, "ERROR_INVALID_WINDOW_HANDLE"}}},
    };
  }();
  return codes;
}

const std::set<std::string>& CannotFail() {
  static const std::set<std::string> names = {"DeleteCriticalSection",
                                              "EndDialog",
                                              "EnterCriticalSection",
                                              "FreeLibraryAndExitThread",
                                              "GetCurrentThreadId",
                                              "GetLastError",
                                              "GetTickCount",
                                              "InitializeCriticalSection",
                                              "LeaveCriticalSection",
                                              "MessageBoxA",
                                              "OutputDebugStringA",
                                              "PeekMessageA",
                                              "SetLastError",
                                              "TryEnterCriticalSection",
                                              "wsprintfA",
                                              "wvsprintfA"};
  return names;
}

}  // namespace faultmatrix
