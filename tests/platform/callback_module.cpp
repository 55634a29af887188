// A module with nothing but a MIDI callback, loaded and unloaded by the
// tests to see that the system notices a callback into code that is gone.
#include <windows.h>

#include <mmsystem.h>

extern "C" __attribute__((visibility("default"))) void CALLBACK ModuleOutProc(HMIDIOUT, UINT,
                                                                              DWORD_PTR, DWORD_PTR,
                                                                              DWORD_PTR) {}
