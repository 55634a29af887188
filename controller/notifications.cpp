// What the controller does with each notification the host sends through
// UpdateController. The controller never polls: it learns of the host's
// changes here, and asks for track values only while handling them.
#include <cstring>

#include "controller/controller.h"

void CMidiReceiveDlg::ShowCurrentTrackName() {
  char name[64] = {};
  m_host.QueryValue(HostCode::kQueryName, QueryTrack(m_currentTrack.load()), name, 0);
  name[sizeof name - 1] = 0;  // A host may fill all 64 bytes without a NUL.
  ShowTrackName(name);
}

void CMidiReceiveDlg::RefreshTrack(int32_t track, int32_t labelValue) {
  m_currentTrack = track;
  ShowTrackLabel(track, labelValue);
  ShowCurrentTrackName();

  double volume = 0.0;
  m_host.QueryValue(HostCode::kQueryVolume, QueryTrack(track), &volume, 0);
  ShowVolume(volume);

  int32_t pan = 0;
  m_host.QueryValue(HostCode::kQueryPan, QueryTrack(track), &pan, 0);
  ShowPan(static_cast<int16_t>(pan & 0xFFFF));

  const bool flag15 = QueryFlag(HostCode::kQueryFlag15, track) != 0;
  SetLamp(kNoteFlag15, flag15);
  const bool flag16 = QueryFlag(HostCode::kQueryFlag16, track) != 0;
  SetLamp(kNoteFlag16, flag16);
  const bool flag19 = QueryFlag(HostCode::kQueryFlag19, track) != 0;
  SetLamp(kNoteFlag19, flag19);
}

void CMidiReceiveDlg::ScanAny16() {
  // Every track is asked, with no early stop: the host's track count is not
  // known here.
  bool any = false;
  for (int32_t track = 0; track < kScannedTracks; ++track) {
    if (QueryFlag(HostCode::kQueryFlag16, track) != 0) any = true;
  }
  SetLamp(kNoteAny16, any);
}

HostArg CMidiReceiveDlg::OnHostUpdate(int32_t code, HostArg first, HostArg second, HostArg) {
  // Codes tied to the current track compare the full 32-bit values.
  const bool isCurrent = static_cast<int32_t>(first) == m_currentTrack.load();
  switch (code) {
    case HostCode::kRecordState:
      SetLamp(kNoteRecord, first != 0);
      break;
    case HostCode::kFlag15:
      if (!isCurrent) return first;
      SetLamp(kNoteFlag15, second != 0);
      break;
    case HostCode::kFlag16:
      if (isCurrent) SetLamp(kNoteFlag16, second != 0);
      ScanAny16();
      break;
    case HostCode::kTrackChange:
      RefreshTrack(static_cast<int32_t>(first), static_cast<int32_t>(second));
      break;
    case HostCode::kFlag19:
      if (!isCurrent) return first;
      SetLamp(kNoteFlag19, second != 0);
      break;
    case HostCode::kVolume: {
      if (!isCurrent) return first;
      const auto* volume = reinterpret_cast<const double*>(second);
      if (volume == nullptr) return first;
      ShowVolume(*volume);
      break;
    }
    case HostCode::kPan:
      if (!isCurrent) return first;
      ShowPan(static_cast<int32_t>(second));
      break;
    case HostCode::kReloadBindings:
      // The host's command list may have changed: every binding is looked up
      // again by name.
      m_settingsDlg.LoadBindings();
      break;
    case HostCode::kLevels: {
      const auto* level1 = reinterpret_cast<const double*>(first);
      const auto* level2 = reinterpret_cast<const double*>(second);
      if (level1 == nullptr || level2 == nullptr) return first;
      ShowLevels(*level1, *level2);
      break;
    }
    case HostCode::kTime:
      ShowTime(reinterpret_cast<const char*>(first));
      break;
    case HostCode::kTrackName:
      if (!isCurrent) return first;
      ShowCurrentTrackName();
      break;
    default:
      return first;
  }
  return first;
}
