// A DLL with nothing but a MIDI callback, loaded and freed by the tests to see
// that the simulated system notices a callback into code that is gone.
#include <windows.h>

#include <mmsystem.h>

extern "C" __declspec(dllexport) void CALLBACK
    ModuleOutProc(HMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}
