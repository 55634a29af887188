// The sixteen surface inputs that run a host command the user chose by name.
// The table is module-wide: whatever loads or saves it changes what the
// running controller's buttons run from then on.
#ifndef QUILLMOTE_BINDINGS_BINDING_TABLE_H
#define QUILLMOTE_BINDINGS_BINDING_TABLE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

struct BindingSlot {
  // The id of the slot's box in the bindings dialog; inputs name slots by it.
  int32_t m_controlId;
  // The host command the slot runs, -1 for none. Written on the host's
  // thread, read on the MIDI input thread.
  std::atomic<int32_t> m_commandIndex;
  // Name of the stored value holding the slot's command name.
  const char* m_valueName;
  // Command name used when nothing usable is stored.
  const char* m_defaultName;
};

constexpr std::size_t kBindingCount = 16;

// In load, save and fill order, which is not control-id order.
extern BindingSlot BindingTable[kBindingCount];

// The command index of the slot with this control id; -1 when there is no
// such slot or the slot has no command.
int32_t FindBinding(int32_t controlId);

#endif
