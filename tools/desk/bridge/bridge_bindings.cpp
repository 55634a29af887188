// The bridge's bindings: the plug-in's key in Wine's registry, copied from
// and to the desk's store, and the user who works the real bindings dialog.
// quillmote-bridge: the 32-bit Windows host end of `quillmote-desk --wine`.
// It loads the real plug-in DLL on the simulated MIDI system (the test
// winmm.dll beside it) and speaks a line protocol with the native desk over
// standard input and output, so that the desk's host and surface drive the
// Windows binary exactly as they drive the native library.
//
// Desk to bridge, one request at a time, each answered by "ok ..." once done:
//   machine 0|1                  fresh MIDI system, with the surface or not
//   query                        QueryController; "ok <result> <hex record>"
//   open <command count>         OpenController; "ok <result>"
//   update <code> <arg> <arg>    UpdateController; "ok <result>"; an argument
//                                is a number, d:<double> or s:<hex text>,
//                                passed by address ("ok &1": the first address)
//   close                        CloseController
//   send <packed message>        one short message from the surface, waited
//                                for; "ok 1" delivered, "ok 0" dropped
//   idle                         waits for the output; "ok 1", or "ok 0"
//   debug                        "dbg <hex text>" for each new debugger line
//   store [<name>:<type>:<hex data> ...]   replaces the plug-in's bindings
//                                key in the registry with these values (none:
//                                the key is removed); names are hex too
//   stored                       "ok <name>:<type>:<hex data> ..." of that key
//   dialog <count> <id> [<hex command>]   ConfigureController with the command
//                                count; once the dialog shows, the user reads
//                                it and presses Cancel (id 0), or picks the
//                                command in box <id> and presses OK (Cancel
//                                when the box lacks it), and says first what
//                                the dialog showed: "dlg <chosen 0|1> <hex
//                                caption> <id>:<selected 0|1>:<items>:<hex
//                                text> ..." (boxes 1000 to 1015, when
//                                reading). "ok <result> <shown 0|1>"
//   quit
// Bridge to desk, at any time:
//   out <hex bytes>              a message the surface received
//   call <id> action <code> <value> <track>   answered by "ret <id>"
//   call <id> query <code> <track>   "ret <id> -|i:<n>|d:<x>|s:<hex>"
//   call <id> name <index>           "ret <id> -|s:<hex>"
//   call <id> run <index> <status>   "ret <id>"
// A line that is not understood is answered "error <why>"; a desk that goes
// away ends the bridge. The first line is "ready <1|0>": whether the plug-in
// exports ConfigureController.
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "bridge.h"
#include "host/host_services.h"
#include "protocol.h"
#include "simctl.h"

namespace bridge {

using desk::protocol::Hex;
using desk::protocol::Unhex;

// ---- The bindings in the registry ---------------------------------------------

std::string Store(std::istringstream& in) {
  const LONG removed = RegDeleteKeyA(HKEY_CURRENT_USER, kBindingsKey);
  if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) {
    return "error cannot remove the bindings key (" + std::to_string(removed) + ")";
  }
  std::string token;
  HKEY key = nullptr;
  while (in >> token) {
    const std::size_t colon1 = token.find(':');
    const std::size_t colon2 = token.find(':', colon1 + 1);
    std::string name, data;
    if (colon1 == std::string::npos || colon2 == std::string::npos ||
        !Unhex(token.substr(0, colon1), &name) || !Unhex(token.substr(colon2 + 1), &data)) {
      if (key != nullptr) RegCloseKey(key);
      return "error bad value " + token;
    }
    const DWORD type =
        std::strtoul(token.substr(colon1 + 1, colon2 - colon1 - 1).c_str(), nullptr, 10);
    if (key == nullptr) {
      const LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr);
      if (created != ERROR_SUCCESS)
        return "error cannot create the bindings key (" + std::to_string(created) + ")";
    }
    RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
  }
  if (key != nullptr) RegCloseKey(key);
  return "ok";
}

std::string Stored() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return "ok";
  }
  std::string answer = "ok";
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameSize = sizeof name;
    BYTE data[1024];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) !=
        ERROR_SUCCESS) {
      break;
    }
    answer += ' ';
    answer += Hex(name, nameSize);
    answer += ':';
    answer += std::to_string(type);
    answer += ':';
    answer += Hex(data, dataSize);
  }
  RegCloseKey(key);
  return answer;
}

// ---- The bindings dialog's user ---------------------------------------------

constexpr int kFirstBox = kBindInShifted;
constexpr int kLastBox = kBindFootswitch;

struct DialogUser {
  int controlId = 0;
  std::string command;
  volatile LONG configureReturned = 0;
  bool shown = false;
};

BOOL CALLBACK FindOurDialog(HWND window, LPARAM found) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char name[16] = {};
  GetClassNameA(window, name, sizeof name);
  // A dialog of this process, and the bindings dialog rather than a message
  // box: it has the first box.
  if (process == GetCurrentProcessId() && std::strcmp(name, "#32770") == 0 &&
      IsWindowVisible(window) && GetDlgItem(window, kFirstBox) != nullptr) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

std::string WindowText(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

std::string ItemText(HWND combo, LRESULT index) {
  char text[256] = {};
  const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length < 0 || length >= static_cast<LRESULT>(sizeof text)) return std::string();
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
  return text;
}

void Press(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// Plays the user on a thread of its own while the host's thread waits in
// ConfigureController, which runs the dialog.
DWORD WINAPI UseDialog(LPVOID context) {
  auto* user = static_cast<DialogUser*>(context);
  HWND dialog = nullptr;
  while (dialog == nullptr) {
    if (InterlockedCompareExchange(&user->configureReturned, 0, 0) != 0) return 0;
    EnumWindows(&FindOurDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog == nullptr) Sleep(5);
  }
  user->shown = true;
  const std::string caption = WindowText(dialog);
  if (user->controlId == 0) {
    std::string line = "dlg 0 " + Hex(caption.data(), caption.size());
    for (int id = kFirstBox; id <= kLastBox; ++id) {
      HWND combo = GetDlgItem(dialog, id);
      const LRESULT items = combo ? SendMessageA(combo, CB_GETCOUNT, 0, 0) : 0;
      const LRESULT selected = combo ? SendMessageA(combo, CB_GETCURSEL, 0, 0) : CB_ERR;
      const std::string text = selected >= 0 ? ItemText(combo, selected) : std::string();
      line += ' ';
      line += std::to_string(id);
      line += selected >= 0 ? ":1:" : ":0:";
      line += std::to_string(items < 0 ? 0 : items);
      line += ':';
      line += Hex(text.data(), text.size());
    }
    Say(line);
    Press(dialog, IDCANCEL);
    return 0;
  }
  bool chosen = false;
  if (HWND combo = GetDlgItem(dialog, user->controlId)) {
    // The box's own search ignores letter case; the host's names do not.
    const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count && !chosen; ++i) {
      if (ItemText(combo, i) != user->command) continue;
      // As a pick from the dropped-down list: selected, then the dialog told.
      SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(user->controlId, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(combo));
      chosen = true;
    }
  }
  Say(std::string("dlg ") + (chosen ? "1 " : "0 ") + Hex(caption.data(), caption.size()));
  Press(dialog, chosen ? IDOK : IDCANCEL);
  return 0;
}

std::string RunDialog(Plugin& plugin, std::istringstream& in) {
  DialogUser user;
  int32_t count = 0;
  std::string command;
  in >> count >> user.controlId >> command;
  if (!Unhex(command, &user.command)) return "error bad command " + command;
  if (plugin.configure == nullptr) return "error the plug-in does not export ConfigureController";
  HANDLE thread = CreateThread(nullptr, 0, &UseDialog, &user, 0, nullptr);
  if (thread == nullptr) return "error cannot start the dialog's user";
  const int result = plugin.configure(0, 0, count, &GetCommandName);
  InterlockedExchange(&user.configureReturned, 1);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return "ok " + std::to_string(result) + (user.shown ? " 1" : " 0");
}

}  // namespace bridge
