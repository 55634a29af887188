// What the surface's buttons and jog wheel do. Everything here runs on the
// input port's own thread, which the system posts the surface's messages to:
// the host is called from that thread (controller/host_calls.cpp), and the
// wheel marks and the LOOP lamp share the output port with the host's own
// thread.
#include <cmath>
#include <cstdint>

#include "bindings/binding_table.h"
#include "controller/controller.h"
#include "controller/numeric.h"
#include "framework/debug_output.h"
#include "midi/messages.h"

namespace {

// Track selection never goes below 0 nor above 128.
constexpr int32_t kFirstTrack = 0;
constexpr int32_t kLastSelectableTrack = 128;

constexpr double kVolumePerStep = 0.1;
constexpr double kVolumeMax = 24.0;
constexpr double kVolumeMin = -160.0;
constexpr int32_t kCoarseStep = 10;

// Wheel values 1 to 63 turn forward, 65 to 127 backward. 0 and 64 count no
// steps: a wheel message is never ignored, so they move back by one, as every
// message that does not turn forward does.
int32_t WheelSteps(BYTE value) { return value < 64 ? value : 64 - static_cast<int32_t>(value); }

}  // namespace

void CMidiReceiveDlg::OnLongMsg(const char* bytes, DWORD length, DWORD timeStamp) {
  WriteDebugLine(debug_line::kLongMessage,
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(bytes)),
                 static_cast<unsigned>(length), static_cast<unsigned>(timeStamp));
}

void CMidiReceiveDlg::OnShortMsg(DWORD packed, DWORD) {
  try {
    DecodeShortMsg(packed);
  } catch (...) {
    // The surface refused a lamp or a mark. The handler's own state has
    // changed already; the lost message must not unwind into the system.
  }
}

void CMidiReceiveDlg::OnLongError(const char*, DWORD, DWORD) {}

void CMidiReceiveDlg::OnShortError(DWORD, DWORD) {}

void CMidiReceiveDlg::DecodeShortMsg(DWORD packed) {
  const midi::CShortMsg message(packed, 0);
  const BYTE command = message.GetCommand();
  if (command == kControlChange) {
    if (message.GetData1() == kWheelController) OnWheel(WheelSteps(message.GetData2()));
    return;
  }
  if (command != kNoteOn) return;

  const bool pressed = message.GetData2() != 0;
  switch (message.GetData1()) {
    case kNoteFlag19:
      OnFlag19(pressed);
      break;
    case kNoteFlag16:
      OnFlag16(pressed);
      break;
    case kNoteFlag15:
      OnFlag15(pressed);
      break;
    case kNoteTrackLeft:
      m_trackLeftHeld = pressed;
      m_trackKeyHeld = m_trackLeftHeld || m_trackRightHeld;
      OnTrackLeft(pressed);
      break;
    case kNoteTrackRight:
      m_trackRightHeld = pressed;
      m_trackKeyHeld = m_trackLeftHeld || m_trackRightHeld;
      OnTrackRight(pressed);
      break;
    case kNoteUndo:
      OnUndo(pressed);
      break;
    case kNoteAdd:
      OnAdd(pressed);
      break;
    case kNotePrev:
      OnPrev(pressed);
      break;
    case kNoteNext:
      OnNext(pressed);
      break;
    case kNoteLoop:
      OnLoop(pressed);
      break;
    case kNoteIn:
      OnIn(pressed);
      break;
    case kNoteOut:
      OnOut(pressed);
      break;
    case kNoteRewind:
      OnRewind(pressed);
      break;
    case kNoteFastForward:
      OnFastForward(pressed);
      break;
    case kNoteStop:
      OnStop(pressed);
      break;
    case kNotePlay:
      OnPlay(pressed);
      break;
    case kNoteRecord:
      OnRecord(pressed);
      break;
    case kNoteFootswitch:
      OnFootswitch(pressed);
      break;
    case kNotePunch:
      OnPunch(pressed);
      break;
    case kNoteShift:
      OnShift(pressed);
      break;
    default:
      break;
  }
}

// The current track - 1 raised to 0, and + 1 lowered to 128. Each is
// computed only where the step itself cannot overflow: at and below 0 the
// previous track is 0, at and above 128 the next is 128. A negative current
// track other than -1 thus steps forward to the track after it, still
// negative: the rule lowers the next track only from above.
int32_t CMidiReceiveDlg::PreviousTrack() const {
  const int32_t track = m_currentTrack.load();
  return track <= kFirstTrack ? kFirstTrack : track - 1;
}

int32_t CMidiReceiveDlg::NextTrack() const {
  const int32_t track = m_currentTrack.load();
  return track >= kLastSelectableTrack ? kLastSelectableTrack : track + 1;
}

void CMidiReceiveDlg::ToggleFlag(int32_t code, bool pressed, bool highestOnly) {
  if (!pressed) return;
  if (!m_shift) {
    Act(code, 1, ActionTrack());
    return;
  }
  // Only the value 1 counts as set. The clear-all scan toggles every set
  // flag as it finds it; the other toggles just the highest track's.
  if (highestOnly) {
    for (int32_t track = kScannedTracks - 1; track >= 0; --track) {
      if (QueryFlag(code, track) == 1) {
        Act(code, 1, track);
        return;
      }
    }
    return;
  }
  for (int32_t track = 0; track < kScannedTracks; ++track) {
    if (QueryFlag(code, track) == 1) Act(code, 1, track);
  }
}

void CMidiReceiveDlg::ActionOrBinding(int32_t code, int32_t controlId, bool pressed) {
  if (m_shift) {
    RunBinding(controlId, pressed);
  } else if (pressed) {
    Act(code, 1);
  }
}

void CMidiReceiveDlg::BindingPerLayer(int32_t plainId, int32_t shiftedId, bool pressed) {
  RunBinding(m_shift ? shiftedId : plainId, pressed);
}

void CMidiReceiveDlg::OnFlag19(bool pressed) {
  ToggleFlag(HostCode::kToggleFlag19, pressed, false);
}

void CMidiReceiveDlg::OnFlag16(bool pressed) { ToggleFlag(HostCode::kToggleFlag16, pressed, true); }

void CMidiReceiveDlg::OnFlag15(bool pressed) {
  ToggleFlag(HostCode::kToggleFlag15, pressed, false);
}

void CMidiReceiveDlg::OnTrackLeft(bool pressed) {
  if (m_shift) {
    RunBinding(kBindTrackLeft, pressed);
  } else if (pressed) {
    // The current track changes only when the host reports it.
    Act(HostCode::kSelectTrack, 0, PreviousTrack());
  }
}

void CMidiReceiveDlg::OnTrackRight(bool pressed) {
  if (m_shift) {
    RunBinding(kBindTrackRight, pressed);
  } else if (pressed) {
    Act(HostCode::kSelectTrack, 0, NextTrack());
  }
}

void CMidiReceiveDlg::OnUndo(bool pressed) {
  RunHostCommand(m_shift ? m_redoCommand.load() : m_undoCommand.load(), pressed);
}

void CMidiReceiveDlg::OnAdd(bool pressed) { ActionOrBinding(HostCode::kAdd, kBindAdd, pressed); }

void CMidiReceiveDlg::OnPrev(bool pressed) {
  ActionOrBinding(HostCode::kPrevious, kBindPrev, pressed);
}

void CMidiReceiveDlg::OnNext(bool pressed) { ActionOrBinding(HostCode::kNext, kBindNext, pressed); }

void CMidiReceiveDlg::OnLoop(bool pressed) {
  if (!pressed) return;
  if (m_shift) {
    // The mark moves to the field the shifted wheel now adjusts.
    m_wheelToPan = !m_wheelToPan;
    ShowWheelMark(kVolumeMarkCell, !m_wheelToPan);
    ShowWheelMark(kPanMarkCell, m_wheelToPan);
  } else {
    m_loop = !m_loop;
    SetLamp(kNoteLoop, m_loop);
  }
}

void CMidiReceiveDlg::OnIn(bool pressed) { BindingPerLayer(kBindIn, kBindInShifted, pressed); }

void CMidiReceiveDlg::OnOut(bool pressed) { BindingPerLayer(kBindOut, kBindOutShifted, pressed); }

void CMidiReceiveDlg::OnRewind(bool pressed) {
  if (m_shift) {
    RunBinding(kBindRewind, pressed);
  } else {
    Act(HostCode::kRewind, pressed ? 1 : 0);
  }
}

void CMidiReceiveDlg::OnFastForward(bool pressed) {
  if (m_shift) {
    RunBinding(kBindFastForward, pressed);
  } else {
    Act(HostCode::kFastForward, pressed ? 1 : 0);
  }
}

void CMidiReceiveDlg::OnStop(bool pressed) {
  if (m_shift) {
    // Held STOP on the shifted layer makes the wheel fine.
    m_fineWheel = pressed;
  } else if (pressed) {
    Act(HostCode::kStop, 1);
  }
}

void CMidiReceiveDlg::OnPlay(bool pressed) {
  if (m_shift) {
    RunBinding(kBindPlay, pressed);
  } else if (pressed) {
    Act(m_loop ? HostCode::kPlayLooped : HostCode::kPlay, 1);
  }
}

void CMidiReceiveDlg::OnRecord(bool pressed) {
  ActionOrBinding(HostCode::kRecord, kBindRecord, pressed);
}

void CMidiReceiveDlg::OnFootswitch(bool pressed) { RunBinding(kBindFootswitch, pressed); }

void CMidiReceiveDlg::OnPunch(bool pressed) {
  BindingPerLayer(kBindPunch, kBindPunchShifted, pressed);
}

void CMidiReceiveDlg::OnShift(bool pressed) {
  m_shift = pressed;
  m_fineWheel = false;
  // While SHIFT is held the mark shows which field the wheel adjusts.
  ShowWheelMark(m_wheelToPan ? kPanMarkCell : kVolumeMarkCell, pressed);
}

void CMidiReceiveDlg::OnWheel(int32_t steps) {
  if (!m_shift) {
    // One step per message, however far the wheel turned.
    if (m_trackKeyHeld) {
      Act(HostCode::kSelectTrack, 0, steps > 0 ? NextTrack() : PreviousTrack());
    } else {
      Act(HostCode::kTransportStep, steps > 0 ? 1 : -1);
    }
    return;
  }
  const int32_t step = m_fineWheel ? steps : steps * kCoarseStep;
  if (m_wheelToPan) {
    Act(HostCode::kChangePan, step, ActionTrack());
    return;
  }
  // From the last volume shown: it changes only when the host reports the
  // new one, so messages before that report all start from the same value.
  const double shown = m_volume.load();
  // A volume the host gave as no number (the display shows "nan") has no
  // value to step from; sent on, it would slip past the limits and arrive
  // as 0.0, a jump to full level.
  if (std::isnan(shown)) return;
  double volume = step * kVolumePerStep + shown;
  if (volume > kVolumeMax) volume = kVolumeMax;
  if (volume < kVolumeMin) volume = kVolumeMin;
  Act(HostCode::kSetVolume, TruncateToInt32(volume * 100.0), ActionTrack());
}
