#include "bindings/binding_table.h"

// Every index is 0 until the first load.
BindingSlot BindingTable[kBindingCount] = {
    {1001, 0, "In", "Selection Anchor Left when playing"},
    {1003, 0, "Out", "Selection Anchor Right when playing"},
    {1000, 0, "Shift In", "Adjust Selection Left Side to the Left"},
    {1002, 0, "Shift Out", "Adjust Selection Right Side to the Right"},
    {1005, 0, "Punch", "Clips: Punch In"},
    {1004, 0, "Shift Punch", "Mixer panel toggle"},
    {1008, 0, "Shift Prev", "Zoom Out Horizontally"},
    {1009, 0, "Shift Next", "Zoom In Horizontally"},
    {1010, 0, "Shift Add", "Zoom Out Full Horizontally"},
    {1007, 0, "Shift TrackL", "Insert: Audio Track"},
    {1006, 0, "Shift TrackR", "Insert: MIDI Track"},
    {1011, 0, "Shift Rewind", "Move Cursor to Beginning"},
    {1012, 0, "Shift Ffwd", "Move Cursor to End"},
    {1013, 0, "Shift Play", "Metronome On/Off toggle"},
    {1014, 0, "Shift Record", "Monitor Record Level toggle"},
    {1015, 0, "Footswitch", "Record/Stop toggle"},
};

int32_t FindBinding(int32_t controlId) {
  for (const BindingSlot& slot : BindingTable) {
    if (slot.m_controlId == controlId) return slot.m_commandIndex.load();
  }
  return -1;
}
