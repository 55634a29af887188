#include "bindings/binding_table.h"

// Every index is 0 until the first load.
BindingSlot BindingTable[kBindingCount] = {
    {kBindIn, 0, "In", "Selection Anchor Left when playing"},
    {kBindOut, 0, "Out", "Selection Anchor Right when playing"},
    {kBindInShifted, 0, "Shift In", "Adjust Selection Left Side to the Left"},
    {kBindOutShifted, 0, "Shift Out", "Adjust Selection Right Side to the Right"},
    {kBindPunch, 0, "Punch", "Clips: Punch In"},
    {kBindPunchShifted, 0, "Shift Punch", "Mixer panel toggle"},
    {kBindPrev, 0, "Shift Prev", "Zoom Out Horizontally"},
    {kBindNext, 0, "Shift Next", "Zoom In Horizontally"},
    {kBindAdd, 0, "Shift Add", "Zoom Out Full Horizontally"},
    {kBindTrackLeft, 0, "Shift TrackL", "Insert: Audio Track"},
    {kBindTrackRight, 0, "Shift TrackR", "Insert: MIDI Track"},
    {kBindRewind, 0, "Shift Rewind", "Move Cursor to Beginning"},
    {kBindFastForward, 0, "Shift Ffwd", "Move Cursor to End"},
    {kBindPlay, 0, "Shift Play", "Metronome On/Off toggle"},
    {kBindRecord, 0, "Shift Record", "Monitor Record Level toggle"},
    {kBindFootswitch, 0, "Footswitch", "Record/Stop toggle"},
};

int32_t FindBinding(int32_t controlId) {
  for (const BindingSlot& slot : BindingTable) {
    if (slot.m_controlId == controlId) return slot.m_commandIndex.load();
  }
  return -1;
}
