// What the bridge's parts share: its main loop and the plug-in's callbacks
// (bridge.cpp), and the bindings in the registry and the dialog's user
// (bridge_bindings.cpp).
#ifndef QUILLMOTE_TOOLS_DESK_BRIDGE_BRIDGE_H
#define QUILLMOTE_TOOLS_DESK_BRIDGE_BRIDGE_H

#include <windows.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "host/host_services.h"

namespace bridge {

struct Plugin {
  HMODULE module = nullptr;
  int(__cdecl* query)(void*) = nullptr;
  int(__cdecl* open)(const HostServices*) = nullptr;
  HostArg(__cdecl* update)(int32_t, HostArg, HostArg, HostArg) = nullptr;
  void(__cdecl* close)() = nullptr;
  int(__cdecl* configure)(int32_t, int32_t, int32_t, HostGetCommandNameFn) = nullptr;
};

// One line to the desk, whole.
void Say(const std::string& line);
// The host's GetCommandName, answered by the desk.
void __cdecl GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid);

// "store": replaces the bindings key with the values given; "stored": lists it.
std::string Store(std::istringstream& in);
std::string Stored();
// "dialog": ConfigureController, with a user who reads or works the dialog.
std::string RunDialog(Plugin& plugin, std::istringstream& in);

}  // namespace bridge

#endif
