// The five functions the host knows the plug-in by.
#ifndef QUILLMOTE_PLUGIN_EXPORTS_H
#define QUILLMOTE_PLUGIN_EXPORTS_H

#include <cstdint>

#include "host/host_services.h"

#ifdef _WIN32
#define QM_EXPORT  // named and numbered by the module definition file
#else
#define QM_EXPORT __attribute__((visibility("default")))
#endif

// What QueryController fills; the host allocates it. Bytes 8 to 11 are the
// host's and are never written.
struct PluginInfo {
  uint32_t vendor;
  uint32_t version;
  uint32_t hostOwned;
  char name[10];
};

class CMidiReceiveDlg;
extern CMidiReceiveDlg* g_controller;

extern "C" {
QM_EXPORT int __cdecl QueryController(PluginInfo* info);
QM_EXPORT int __cdecl OpenController(const HostServices* host);
QM_EXPORT HostArg __cdecl UpdateController(int32_t code, HostArg first, HostArg second,
                                           HostArg third);
QM_EXPORT void __cdecl CloseController();
// Lets the user choose the bindings in a modal dialog, with the host's
// commands as given here. Returns the dialog's result: IDOK, IDCANCEL, 0 when
// nothing was shown (no callback), -1 when the dialog could not be shown.
QM_EXPORT int __cdecl ConfigureController(int32_t unused1, int32_t unused2, int32_t commandCount,
                                          HostGetCommandNameFn getCommandName);
}

#endif
