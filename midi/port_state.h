#ifndef QUILLMOTE_MIDI_PORT_STATE_H
#define QUILLMOTE_MIDI_PORT_STATE_H

#include <cstdint>

namespace midi {

enum PortState : std::int32_t { Closed = 0, Opened = 1, Started = 2 };

}  // namespace midi

#endif
