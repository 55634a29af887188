// What the fuzz targets share: a reader over the fuzzer's bytes, a host whose
// answers come from those bytes, the simulated surface, a private registry
// store, and the checks every run ends with.
//
// A failed check aborts with a line on stderr: libFuzzer counts it as a crash
// and keeps the input, and a replay run fails.
#ifndef QUILLMOTE_FUZZ_FUZZ_RIG_H
#define QUILLMOTE_FUZZ_FUZZ_RIG_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "host/host_services.h"

namespace fuzz {

// Reads front to back; past the end every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  bool Empty() const { return m_pos >= m_size; }
  std::size_t Left() const { return Empty() ? 0 : m_size - m_pos; }
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  double Double();
  // Up to `count` bytes, fewer at the end.
  std::vector<uint8_t> Take(std::size_t count);

 private:
  const uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_pos = 0;
};

[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The registry store of this process lives in a temporary directory of its
// own, never the user's; made on first use, removed at exit.
std::string StoreFile();
void RemoveStore();

// One host at a time; its callbacks are plain functions over this state.
struct HostState {
  // Command names by index as the host writes them into the 128-byte buffer
  // (not necessarily terminated), and their valid flags.
  std::vector<std::vector<char>> names;
  std::vector<bool> valid;
  // Bytes every query answer is cut from, in turn; empty leaves the slot
  // as it was.
  std::vector<uint8_t> answers;
  std::size_t nextAnswer = 0;
  // Checks each DoAction against the surface's input rules.
  bool checkActions = false;
  int32_t actions = 0;
  int32_t runs = 0;
};

HostState& Host();
// The host's record over Host(), with CommandCount the number of names.
HostServices Services();
// A command list of plain names, all valid.
void SetCommands(const std::vector<std::string>& names);
// The name of command `index` as the plug-in reads it (cut at 127 bytes),
// or nothing when the host calls it invalid.
bool CommandName(int32_t index, std::string& name);

// A fresh simulated machine with the surface's two ports.
void ResetSurface();
unsigned SurfaceOutput();
unsigned SurfaceInput();

// Waits for the output in flight and checks that everything the surface
// received is a lamp note-on or a display write that fits the display, with
// no byte of it able to end the message early on the wire.
void CheckSurfaceOutput();

// The names the controller looks for when it attaches, and every default
// name of the bindings, so that fuzzed input reaches bound commands.
std::vector<std::string> KnownCommandNames();

// Every slot's command index, in table order.
std::array<int32_t, kBindingCount> BindingSnapshot();
// The host's GetCommandName, for a command source of our own.
void __cdecl GetName(int32_t index, char* buffer, int32_t size, int32_t* valid);
// A scripted user who confirms the bindings dialog at once.
void PressOk(void* context, void* dialog);

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

#endif
