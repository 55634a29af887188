// The sixteen surface inputs that run a host command the user chose by name.
// The table is module-wide: whatever loads or saves it changes what the
// running controller's buttons run from then on.
#ifndef QUILLMOTE_BINDINGS_BINDING_TABLE_H
#define QUILLMOTE_BINDINGS_BINDING_TABLE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// Control ids of the bindable inputs: the ids of their boxes in the bindings
// dialog (template 1000), by which the inputs name their slots.
constexpr int32_t kBindInShifted = 1000;
constexpr int32_t kBindIn = 1001;
constexpr int32_t kBindOutShifted = 1002;
constexpr int32_t kBindOut = 1003;
constexpr int32_t kBindPunchShifted = 1004;
constexpr int32_t kBindPunch = 1005;
constexpr int32_t kBindTrackRight = 1006;
constexpr int32_t kBindTrackLeft = 1007;
constexpr int32_t kBindPrev = 1008;
constexpr int32_t kBindNext = 1009;
constexpr int32_t kBindAdd = 1010;
constexpr int32_t kBindRewind = 1011;
constexpr int32_t kBindFastForward = 1012;
constexpr int32_t kBindPlay = 1013;
constexpr int32_t kBindRecord = 1014;
constexpr int32_t kBindFootswitch = 1015;

struct BindingSlot {
  // The id of the slot's box in the bindings dialog; inputs name slots by it.
  const int32_t m_controlId;
  // The host command the slot runs, -1 for none. Written on the host's
  // thread, read on the MIDI input thread.
  std::atomic<int32_t> m_commandIndex;
  // Name of the stored value holding the slot's command name.
  const char* const m_valueName;
  // Command name used when nothing usable is stored.
  const char* const m_defaultName;
};

constexpr std::size_t kBindingCount = 16;

// Where the bindings live, under HKEY_CURRENT_USER.
constexpr char kBindingsKey[] = "Software\\Harrowgate\\QuillmoteVelloran";

// In load, save and fill order, which is not control-id order.
extern BindingSlot BindingTable[kBindingCount];

// The command index of the slot with this control id; -1 when there is no
// such slot or the slot has no command.
int32_t FindBinding(int32_t controlId);

#endif
