// WineMachine's calls: the plug-in's exports, the bindings' copy in Wine's
// registry and the simulated MIDI system, each a request to the bridge.
#include <cstring>

#include "bindings/binding_table.h"
#include "wine_machine.h"
#include "wine_machine_parts.h"

namespace desk {

using namespace wine;

// ---- The bindings in the desk's store and in Wine's registry ----

void WineMachine::PushStore() {
  std::string line = "store";
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kBindingsKey, &key) == ERROR_SUCCESS) {
    for (const BindingSlot& slot : BindingTable) {
      BYTE data[1024];
      DWORD size = sizeof data;
      DWORD type = 0;
      if (RegQueryValueExA(key, slot.m_valueName, nullptr, &type, data, &size) != ERROR_SUCCESS) {
        continue;
      }
      line += ' ';
      line += Hex(slot.m_valueName, std::strlen(slot.m_valueName));
      line += ':' + std::to_string(type) + ':';
      line += Hex(data, size);
    }
    RegCloseKey(key);
  }
  Request(line, nullptr);
}

void WineMachine::PullStore() {
  std::string answer;
  if (!Request("stored", &answer) || answer.empty()) return;
  HKEY key = nullptr;
  char noClass[] = "";
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kBindingsKey, 0, noClass, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (const std::string& token : Fields(answer)) {
    const std::vector<std::string> parts = Fields(token, ':');
    std::string name, data;
    if (parts.size() != 3 || !Unhex(parts[0], &name) || !Unhex(parts[2], &data)) continue;
    const DWORD type = static_cast<DWORD>(std::strtoul(parts[1].c_str(), nullptr, 10));
    RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
  }
  RegCloseKey(key);
}

// ---- The plug-in ----

std::string WineMachine::Name() const { return m_name; }

int WineMachine::Query(unsigned char* record, std::size_t size) {
  std::memset(record, 0, size);
  std::string answer;
  if (!Request("query", &answer)) return 0;
  const std::vector<std::string> fields = Fields(answer);
  std::string bytes;
  if (fields.size() >= 2 && Unhex(fields[1], &bytes)) {
    std::memcpy(record, bytes.data(), std::min(size, bytes.size()));
  }
  return std::atoi(fields[0].c_str());
}

int WineMachine::Open(const HostServices& services) {
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    m_services = services;
  }
  std::string answer;
  if (!Request("open " + std::to_string(services.CommandCount), &answer)) return 0;
  return std::atoi(answer.c_str());
}

void WineMachine::Update(int32_t code, const UpdateArg& first, const UpdateArg& second) {
  Request("update " + std::to_string(code) + " " + Argument(first) + " " + Argument(second),
          nullptr);
}

void WineMachine::Close() { Request("close", nullptr); }

bool WineMachine::HasDialog(std::string* why) const {
  if (!m_configure) {
    *why = "this plug-in does not export ConfigureController: there is no bindings dialog";
    return false;
  }
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == 0) {
    *why = "the bindings dialog under Wine needs an X display, and DISPLAY is not set";
    return false;
  }
  return true;
}

int WineMachine::RunDialog(int32_t count, HostGetCommandNameFn names, const DialogRequest& request,
                           const DialogObserver& seen, bool* shown) {
  *shown = false;
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    m_dialogNames = names;
  }
  std::string line = "dialog " + std::to_string(count) + " " + std::to_string(request.controlId);
  if (request.controlId != 0) line += " " + Hex(request.command.data(), request.command.size());
  std::string answer;
  const bool ok = Request(line, &answer, [&](const std::string& reply) {
    if (!StartsWith(reply, "dlg ")) return;
    const std::vector<std::string> fields = Fields(reply.substr(4));
    if (fields.size() < 2) return;
    DialogSeen view;
    view.chosen = fields[0] == "1";
    Unhex(fields[1], &view.caption);
    if (request.controlId == 0) {
      for (const SlotInput& slot : kSlotInputs) {
        DialogBox box;
        box.controlId = slot.controlId;
        for (std::size_t i = 2; i < fields.size(); ++i) {
          const std::vector<std::string> parts = Fields(fields[i], ':');
          if (parts.size() != 4 || std::atoi(parts[0].c_str()) != slot.controlId) continue;
          box.selected = parts[1] == "1";
          box.items = std::atoi(parts[2].c_str());
          Unhex(parts[3], &box.text);
        }
        view.boxes.push_back(box);
      }
    }
    if (seen) seen(view);
  });
  {
    std::lock_guard<std::mutex> lock(m_callMutex);
    m_dialogNames = nullptr;
  }
  if (!ok) return 0;
  const std::vector<std::string> fields = Fields(answer);
  const int result = std::atoi(fields[0].c_str());
  *shown = fields.size() >= 2 && fields[1] == "1";
  if (result == IDOK) PullStore();
  return result;
}

// ---- The simulated MIDI system ----

void WineMachine::Install(bool withPorts, OutputListener listener) {
  {
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    m_listener = std::move(listener);
  }
  std::string request = withPorts ? "machine 1" : "machine 0";
  if (m_lateCallbacks >= 0 || m_wireRate != 0) request += " " + std::to_string(m_lateCallbacks);
  if (m_wireRate != 0) request += " " + std::to_string(m_wireRate);
  Request(request, nullptr);
}

void WineMachine::Detach() {
  std::lock_guard<std::mutex> lock(m_listenerMutex);
  m_listener = nullptr;
}

bool WineMachine::SendInput(uint32_t packed) {
  std::string answer;
  return Request("send " + std::to_string(packed), &answer) && answer == "1";
}

bool WineMachine::WaitIdle() {
  // The bridge writes each message the surface receives before it finds the
  // system idle, and they are read in order: the answer comes after them.
  std::string answer;
  return Request("idle", &answer) && answer == "1";
}

std::vector<std::string> WineMachine::TakeDebugLines() {
  std::vector<std::string> lines;
  Request("debug", nullptr, [&](const std::string& reply) {
    std::string text;
    if (!StartsWith(reply, "dbg ") || !Unhex(reply.substr(4), &text)) return;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    lines.push_back(text);
  });
  return lines;
}

}  // namespace desk
