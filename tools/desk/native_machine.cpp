#include <windows.h>

#include "native_machine.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

#include "simctl.h"

namespace desk {

namespace {

constexpr char kPortName[] = "Quillmote Port";
// A device pair that is not the surface, for runs without it.
constexpr char kOtherPortName[] = "Desk Synth";
constexpr unsigned kIdleTimeoutMs = 10000;

// The dialog's user, for the one dialog that runs at a time.
struct DialogUser {
  const DialogRequest* request = nullptr;
  const Machine::DialogObserver* seen = nullptr;
  bool shown = false;
  std::string failure;
};

}  // namespace

NativeMachine::~NativeMachine() { Detach(); }

std::string NativeMachine::Name() const {
  std::string path = m_plugin.Path();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int NativeMachine::Query(unsigned char* record, std::size_t size) {
  std::memset(record, 0, size);
  return m_plugin.Query()(reinterpret_cast<PluginInfo*>(record));
}

int NativeMachine::Open(const HostServices& services) { return m_plugin.Open()(&services); }

void NativeMachine::Update(int32_t code, const UpdateArg& first, const UpdateArg& second) {
  // The values live here for the length of the call, as a host's would.
  double values[2] = {first.value, second.value};
  const UpdateArg* args[2] = {&first, &second};
  HostArg raw[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    switch (args[i]->kind) {
      case UpdateArg::kNumber:
        raw[i] = args[i]->number;
        break;
      case UpdateArg::kDouble:
        raw[i] = reinterpret_cast<HostArg>(&values[i]);
        break;
      case UpdateArg::kText:
        raw[i] = reinterpret_cast<HostArg>(args[i]->text.c_str());
        break;
    }
  }
  m_plugin.Update()(code, raw[0], raw[1], 0);
}

void NativeMachine::Close() { m_plugin.Close()(); }

bool NativeMachine::HasDialog(std::string* why) const {
  if (m_plugin.Configure() != nullptr) return true;
  *why = "this plug-in does not export ConfigureController: there is no bindings dialog";
  return false;
}

int NativeMachine::RunDialog(int32_t count, HostGetCommandNameFn names,
                             const DialogRequest& request, const DialogObserver& seen,
                             bool* shown) {
  DialogUser user;
  user.request = &request;
  user.seen = &seen;
  sim_set_dialog_script(&NativeMachine::OnDialog, &user);
  const int result = m_plugin.Configure()(0, 0, count, names);
  sim_set_dialog_script(nullptr, nullptr);
  *shown = user.shown;
  if (!user.failure.empty()) throw std::runtime_error("bindings dialog: " + user.failure);
  return result;
}

void NativeMachine::OnDialog(void* context, void* dialog) {
  auto* user = static_cast<DialogUser*>(context);
  user->shown = true;
  // Nothing may leave the dialog's thread.
  try {
    DialogSeen seen;
    seen.caption = DialogCaption(dialog);
    if (user->request->controlId == 0) {
      seen.boxes = ReadDialog(dialog);
    } else {
      seen.chosen = ChooseInDialog(dialog, user->request->controlId, user->request->command);
    }
    if (*user->seen) (*user->seen)(seen);
    if (seen.chosen) {
      PressOk(dialog);
    } else {
      PressCancel(dialog);
    }
  } catch (const std::exception& e) {
    user->failure = e.what();
    PressCancel(dialog);
  } catch (...) {
    user->failure = "an unknown failure";
    PressCancel(dialog);
  }
}

void NativeMachine::Install(bool withPorts, OutputListener listener) {
  sim_set_output_listener(nullptr, nullptr);
  sim_reset();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = std::move(listener);
    m_seen = 0;
    m_output = sim_add_output(withPorts ? kPortName : kOtherPortName);
    m_input = sim_add_input(withPorts ? kPortName : kOtherPortName);
  }
  if (m_lateCallbacks >= 0) sim_set_late_callbacks(static_cast<unsigned>(m_lateCallbacks), 0);
  sim_set_wire_rate(m_wireRate);
  {
    std::lock_guard<std::mutex> lock(m_debugMutex);
    m_debugSeen = 0;
  }
  sim_set_output_listener(&NativeMachine::OnOutput, this);
}

void NativeMachine::Detach() { sim_set_output_listener(nullptr, nullptr); }

void NativeMachine::OnOutput(void* context, unsigned device, const unsigned char* bytes,
                             std::size_t length) {
  auto* self = static_cast<NativeMachine*>(context);
  try {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    if (device != self->m_output) return;
    if (self->m_listener) self->m_listener(bytes, length);
  } catch (...) {
    // Nothing may leave the system's thread; the count below still moves on.
  }
  self->m_seen.fetch_add(1);
}

bool NativeMachine::SendInput(uint32_t packed) {
  unsigned input = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    input = m_input;
  }
  return sim_send_input(input, packed, 0, 1) != 0;
}

bool NativeMachine::WaitIdle() {
  if (!sim_wait_idle(kIdleTimeoutMs)) return false;
  unsigned output = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    output = m_output;
  }
  // The system counts a message before its listener call returns.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kIdleTimeoutMs);
  while (m_seen.load() < sim_sent_count(output)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::vector<std::string> NativeMachine::TakeDebugLines() {
  std::lock_guard<std::mutex> lock(m_debugMutex);
  std::vector<std::string> lines;
  const std::size_t count = sim_debug_count();
  for (; m_debugSeen < count; ++m_debugSeen) {
    char line[512];
    sim_debug_line(m_debugSeen, line, sizeof line);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    lines.push_back(text);
  }
  return lines;
}

}  // namespace desk
