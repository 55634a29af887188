#include "fuzz_rig.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "bindings/binding_table.h"
#include "controller/controller.h"
#include "plugin/exports.h"
#include "simctl.h"

namespace fuzz {

namespace {

namespace fs = std::filesystem;

HostState g_host;
unsigned g_output = 0;
unsigned g_input = 0;

// Bytes a host query writes, by code.
std::size_t AnswerSize(int32_t code) {
  switch (code) {
    case HostCode::kQueryFlag15:
    case HostCode::kQueryFlag16:
    case HostCode::kQueryFlag19:
    case HostCode::kQueryPan:
      return 4;
    case HostCode::kQueryVolume:
      return 8;
    case HostCode::kQueryName:
      return 64;
    default:
      Fail("QueryValue with code %d, which the host does not answer", code);
  }
}

void CheckAction(int32_t code, int32_t value, int32_t track) {
  auto expect = [&](bool ok) {
    if (!ok) Fail("DoAction(%d, %d, %d) is outside what the surface can ask", code, value, track);
  };
  const bool anyTrack = track >= 0 && track <= 0xFFFF;
  switch (code) {
    case HostCode::kRewind:
    case HostCode::kFastForward:
      expect((value == 0 || value == 1) && track == 0);
      break;
    case HostCode::kStop:
    case HostCode::kPlay:
    case HostCode::kPlayLooped:
    case HostCode::kRecord:
    case HostCode::kAdd:
    case HostCode::kNext:
    case HostCode::kPrevious:
      expect(value == 1 && track == 0);
      break;
    case HostCode::kTransportStep:
      expect((value == 1 || value == -1) && track == 0);
      break;
    case HostCode::kToggleFlag15:
    case HostCode::kToggleFlag16:
    case HostCode::kToggleFlag19:
      expect(value == 1 && anyTrack);
      break;
    case HostCode::kSelectTrack: {
      // One step from the current track: back is that track - 1 raised to 0,
      // forward that track + 1 lowered to 128 (from a negative track it stays
      // negative). No target changes the track while input is handled.
      const int64_t current = g_controller != nullptr ? g_controller->CurrentTrack() : -1;
      const int64_t previous = std::max<int64_t>(current - 1, 0);
      const int64_t next = std::min<int64_t>(current + 1, 128);
      expect(value == 0 && (track == previous || track == next));
      break;
    }
    case HostCode::kSetVolume:
      expect(value >= -16000 && value <= 2400 && anyTrack);
      break;
    case HostCode::kChangePan:
      // Up to 63 steps either way, ten each; a data byte above 127 cannot
      // come over a MIDI cable, but a packed word can hold one, and reads as
      // up to 191 steps back.
      expect(value >= -1910 && value <= 630 && anyTrack);
      break;
    default:
      expect(false);
  }
}

void __cdecl DoAction(int32_t code, int32_t value, int32_t track, int32_t reserved) {
  ++g_host.actions;
  if (reserved != 0) Fail("DoAction(%d) with reserved %d", code, reserved);
  if (g_host.checkActions) CheckAction(code, value, track);
}

void __cdecl QueryValue(int32_t code, int32_t track, void* result, int32_t reserved) {
  if (reserved != 0) Fail("QueryValue(%d) with reserved %d", code, reserved);
  if (track < -32768 || track > 32767) Fail("QueryValue(%d) for track %d", code, track);
  if (result == nullptr) Fail("QueryValue(%d) without a result slot", code);
  const std::size_t size = AnswerSize(code);
  if (g_host.answers.empty()) return;
  auto* out = static_cast<uint8_t*>(result);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = g_host.answers[g_host.nextAnswer];
    g_host.nextAnswer = (g_host.nextAnswer + 1) % g_host.answers.size();
  }
}

void __cdecl GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  if (size != 128 || buffer == nullptr || valid == nullptr) {
    Fail("GetCommandName(%d) with buffer size %d", index, size);
  }
  if (index < 0 || static_cast<std::size_t>(index) >= g_host.names.size()) {
    Fail("GetCommandName(%d) outside the %zu commands", index, g_host.names.size());
  }
  const std::vector<char>& name = g_host.names[static_cast<std::size_t>(index)];
  std::memcpy(buffer, name.data(), std::min<std::size_t>(name.size(), 128));
  *valid = g_host.valid[static_cast<std::size_t>(index)] ? 1 : 0;
}

void __cdecl RunCommand(int32_t index, int32_t status) {
  ++g_host.runs;
  std::string name;
  if (index < 0 || !CommandName(index, name)) {
    Fail("RunCommand(%d), which is no valid command", index);
  }
  if (status != kCommandPressed && status != kCommandReleased) {
    Fail("RunCommand(%d) with status 0x%X", index, status);
  }
}

struct StoreDir {
  StoreDir() {
    // In memory where there is such a file system: every save syncs the
    // store file to its disk.
    std::error_code error;
    const bool shm = fs::is_directory("/dev/shm", error);
    std::string pattern = shm ? "/dev/shm/quillmote-fuzz-XXXXXX" : "/tmp/quillmote-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a directory for the registry store");
    path = pattern;
    setenv("XDG_CONFIG_HOME", path.c_str(), 1);
  }
  ~StoreDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

StoreDir& Store() {
  static StoreDir dir;
  return dir;
}

bool CheckFrame(const unsigned char* bytes, std::size_t length, std::string& why) {
  if (length == 3) {
    if (bytes[0] != 0x90 || bytes[1] >= 0x80 || (bytes[2] != 0 && bytes[2] != 0x7F)) {
      why = "a short message that is no lamp note-on";
      return false;
    }
    return true;
  }
  static const unsigned char kHead[] = {0xF0, 0x00, 0x01, 0x40, 0x10, 0x00};
  if (length < 9 || std::memcmp(bytes, kHead, sizeof kHead) != 0 || bytes[length - 1] != 0xF7) {
    why = "a message that is no display write";
    return false;
  }
  const std::size_t cell = bytes[6];
  const std::size_t cells = length - 8;
  if (cell >= 40 || cell + cells > 40) {
    why = "a display write past the 40 cells";
    return false;
  }
  for (std::size_t i = 1; i + 1 < length; ++i) {
    if (bytes[i] >= 0x80) {
      why = "a display write with a status byte inside";
      return false;
    }
  }
  return true;
}

}  // namespace

uint8_t Reader::U8() { return Empty() ? 0 : m_data[m_pos++]; }

uint16_t Reader::U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }

uint32_t Reader::U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }

double Reader::Double() {
  uint64_t bits = U32();
  bits |= static_cast<uint64_t>(U32()) << 32;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::vector<uint8_t> Reader::Take(std::size_t count) {
  const std::size_t taken = std::min(count, Left());
  std::vector<uint8_t> bytes(m_data + m_pos, m_data + m_pos + taken);
  m_pos += taken;
  return bytes;
}

void Fail(const char* format, ...) {
  std::fputs("fuzz check failed: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

std::string StoreFile() { return (Store().path / "quillmote" / "registry.json").string(); }

void RemoveStore() {
  std::error_code ignored;
  fs::remove_all(Store().path / "quillmote", ignored);
}

HostState& Host() { return g_host; }

HostServices Services() {
  HostServices services{};
  services.DoAction = &DoAction;
  services.QueryValue = &QueryValue;
  services.GetCommandName = &GetCommandName;
  services.RunCommand = &RunCommand;
  services.CommandCount = static_cast<int32_t>(g_host.names.size());
  return services;
}

void SetCommands(const std::vector<std::string>& names) {
  g_host.names.clear();
  for (const std::string& name : names) g_host.names.emplace_back(name.begin(), name.end() + 1);
  g_host.valid.assign(names.size(), true);
}

bool CommandName(int32_t index, std::string& name) {
  if (index < 0 || static_cast<std::size_t>(index) >= g_host.names.size()) return false;
  const std::vector<char>& bytes = g_host.names[static_cast<std::size_t>(index)];
  const std::size_t length = strnlen(bytes.data(), std::min<std::size_t>(bytes.size(), 127));
  name.assign(bytes.data(), length);
  return g_host.valid[static_cast<std::size_t>(index)];
}

void ResetSurface() {
  (void)Store();
  sim_reset();
  sim_debug_clear();
  g_output = sim_add_output("Quillmote Port");
  g_input = sim_add_input("Quillmote Port");
}

unsigned SurfaceOutput() { return g_output; }
unsigned SurfaceInput() { return g_input; }

void CheckSurfaceOutput() {
  if (!sim_wait_idle(10000)) Fail("the surface's output did not settle");
  const std::size_t count = sim_sent_count(g_output);
  std::vector<unsigned char> bytes(256);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t length = sim_sent_message(g_output, i, bytes.data(), bytes.size());
    std::string why;
    if (length > bytes.size() || !CheckFrame(bytes.data(), length, why)) {
      std::string hex;
      char part[4];
      for (std::size_t k = 0; k < std::min(length, bytes.size()); ++k) {
        std::snprintf(part, sizeof part, "%02X ", bytes[k]);
        hex += part;
      }
      Fail("message %zu to the surface is %s: %s", i, why.c_str(), hex.c_str());
    }
  }
}

std::vector<std::string> KnownCommandNames() {
  std::vector<std::string> names = {"Undo (1)", "Redo"};
  for (const BindingSlot& slot : BindingTable) names.emplace_back(slot.m_defaultName);
  return names;
}

std::array<int32_t, kBindingCount> BindingSnapshot() {
  std::array<int32_t, kBindingCount> indexes{};
  for (std::size_t i = 0; i < kBindingCount; ++i) indexes[i] = BindingTable[i].m_commandIndex;
  return indexes;
}

void __cdecl GetName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  Services().GetCommandName(index, buffer, size, valid);
}

void PressOk(void*, void* dialog) { sim_user_click(dialog, IDOK); }

}  // namespace fuzz
