// The callbacks the plug-in calls: DoAction, QueryValue, GetCommandName, RunCommand.
#include <windows.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>

#include "host.h"
#include "host_parts.h"

namespace desk {

using namespace host_parts;

// ---- The callbacks the plug-in calls ----

void __cdecl Host::OnDoAction(int32_t code, int32_t value, int32_t track, int32_t reserved) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "DoAction", [&] { host->DoAction(code, value, track, reserved); });
  }
}

void __cdecl Host::OnQueryValue(int32_t code, int32_t track, void* result, int32_t) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "QueryValue", [&] { host->QueryValue(code, track, result); });
  }
}

void __cdecl Host::OnGetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "GetCommandName", [&] { host->GetCommandName(index, buffer, size, valid); });
  }
}

void __cdecl Host::OnRunCommand(int32_t index, int32_t status) {
  if (Host* host = g_host.load()) {
    Guard(host->m_log, "RunCommand", [&] { host->RunCommand(index, status); });
  }
}

void Host::DoAction(int32_t code, int32_t rawValue, int32_t rawTrack, int32_t reserved) {
  std::string call = "DoAction(" + std::to_string(code) + ", " + std::to_string(rawValue) + ", " +
                     std::to_string(rawTrack);
  if (reserved != 0) call += ", reserved " + std::to_string(reserved);
  m_log.Add(Source::kCall, call + ")");

  // Only the low 16 bits of the value and the track carry them.
  const int value = static_cast<int16_t>(rawValue & 0xFFFF);
  const int track = rawTrack & 0xFFFF;
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto needTrack = [&] {
    if (ValidTrack(track)) return true;
    m_log.Add(Source::kHost, "ignores it: there is no " + TrackName(track));
    return false;
  };
  switch (code) {
    case HostCode::kRewind:
    case HostCode::kFastForward:
      m_shuttle = value != 0 ? (code == HostCode::kRewind ? -1 : 1) : 0;
      m_log.Add(Source::kHost, m_shuttle < 0   ? "rewinds"
                               : m_shuttle > 0 ? "fast-forwards"
                                               : "stops winding at " + FormatTime(m_position));
      SetClockRunningLocked();
      if (m_shuttle == 0) NotifyTimeLocked();
      break;
    case HostCode::kStop:
      StopLocked();
      break;
    case HostCode::kPlay:
    case HostCode::kPlayLooped:
      PlayLocked(code == HostCode::kPlayLooped);
      break;
    case HostCode::kRecord:
      SetRecordLocked(!m_recording);
      if (m_recording && !m_playing) PlayLocked(false);
      break;
    case HostCode::kAdd:
      if (std::find(m_markers.begin(), m_markers.end(), m_position) == m_markers.end()) {
        m_markers.push_back(m_position);
        std::sort(m_markers.begin(), m_markers.end());
      }
      m_log.Add(Source::kHost, "marker at " + FormatTime(m_position) + " (" +
                                   std::to_string(m_markers.size()) + " in all)");
      break;
    case HostCode::kNext: {
      auto next = std::upper_bound(m_markers.begin(), m_markers.end(), m_position);
      if (next == m_markers.end()) {
        m_log.Add(Source::kHost, "no marker after " + FormatTime(m_position));
      } else {
        LocateLocked(*next);
      }
      break;
    }
    case HostCode::kPrevious: {
      auto after = std::lower_bound(m_markers.begin(), m_markers.end(), m_position);
      if (after == m_markers.begin()) {
        m_log.Add(Source::kHost, "no marker before " + FormatTime(m_position));
      } else {
        LocateLocked(*(after - 1));
      }
      break;
    }
    case HostCode::kTransportStep:
      LocateLocked(m_position + (value > 0 ? kStepMs : -kStepMs));
      break;
    case HostCode::kToggleFlag15:
    case HostCode::kToggleFlag16:
    case HostCode::kToggleFlag19:
      if (needTrack()) ToggleFlagLocked(code, track);
      break;
    case HostCode::kSelectTrack:
      // A host selects its last track for a number beyond it.
      SelectTrackLocked(std::min(track, static_cast<int>(m_tracks.size()) - 1));
      break;
    case HostCode::kSetVolume:
      if (needTrack()) SetVolumeLocked(track, value / 100.0);
      break;
    case HostCode::kChangePan:
      if (needTrack()) SetPanLocked(track, m_tracks[track].pan + value);
      break;
    default:
      m_log.Add(Source::kHost, "ignores it: " + std::to_string(code) + " is no action");
      break;
  }
}

void Host::QueryValue(int32_t code, int32_t track, void* result) {
  m_log.AddQuery(code, track);
  std::lock_guard<std::mutex> lock(m_mutex);
  // Tracks the host does not have answer as empty ones, so that the answer is
  // always written.
  static const Track kNoTrack;
  const Track& t = ValidTrack(track) ? m_tracks[track] : kNoTrack;
  switch (code) {
    case HostCode::kQueryFlag15:
    case HostCode::kQueryFlag16:
    case HostCode::kQueryFlag19: {
      const int32_t flag = (code == HostCode::kQueryFlag15   ? t.flag15
                            : code == HostCode::kQueryFlag16 ? t.flag16
                                                             : t.flag19)
                               ? 1
                               : 0;
      std::memcpy(result, &flag, sizeof flag);
      break;
    }
    case HostCode::kQueryVolume:
      std::memcpy(result, &t.volume, sizeof t.volume);
      break;
    case HostCode::kQueryPan:
      std::memcpy(result, &t.pan, sizeof t.pan);
      break;
    case HostCode::kQueryName: {
      char name[kNameBufferSize] = {};
      std::strncpy(name, t.name.c_str(), sizeof name - 1);
      std::memcpy(result, name, sizeof name);
      break;
    }
    default:
      m_log.Add(Source::kHost, "cannot answer query " + std::to_string(code));
      break;
  }
}

void Host::GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid) {
  m_log.AddNameLookup(index);
  if (index < 0 || index >= static_cast<int32_t>(m_commands.size()) || buffer == nullptr ||
      size <= 0) {
    if (valid != nullptr) *valid = 0;
    return;
  }
  const std::string& name = m_commands[index];
  const std::size_t length = std::min(name.size(), static_cast<std::size_t>(size - 1));
  std::memcpy(buffer, name.data(), length);
  buffer[length] = 0;
  if (valid != nullptr) *valid = 1;
}

void Host::RunCommand(int32_t index, int32_t status) {
  const bool known = index >= 0 && index < static_cast<int32_t>(m_commands.size());
  std::string edge = status == kCommandPressed    ? "press"
                     : status == kCommandReleased ? "release"
                                                  : "status " + std::to_string(status);
  m_log.Add(Source::kCall, "RunCommand(" + std::to_string(index) + ", " + edge + ") " +
                               (known ? Quote(m_commands[index]) : "-- no such command"));
  std::function<void(int32_t, bool)> observer;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    observer = m_commandObserver;
    // Commands act when their button goes down.
    if (known && status == kCommandPressed) {
      m_lastCommand = m_commands[index];
      RunCommandEffect(m_commands[index]);
    }
  }
  if (observer) observer(index, status == kCommandPressed);
}

void Host::RunCommandEffect(const std::string& name) {
  const auto toggle = [&](bool& flag, const char* what) {
    flag = !flag;
    m_log.Add(Source::kHost, std::string(what) + (flag ? " on" : " off"));
  };
  if (name == "Undo (1)") {
    m_log.Add(Source::kHost, "undoes the last edit");
  } else if (name == "Redo") {
    m_log.Add(Source::kHost, "redoes the last edit");
  } else if (name == "Record/Stop toggle") {
    if (m_recording) {
      StopLocked();
    } else {
      SetRecordLocked(true);
      if (!m_playing) PlayLocked(false);
    }
  } else if (name == "Metronome On/Off toggle") {
    toggle(m_metronome, "metronome");
  } else if (name == "Monitor Record Level toggle") {
    toggle(m_monitor, "record level monitor");
  } else if (name == "Mixer panel toggle") {
    toggle(m_mixer, "mixer panel");
  } else if (name == "Move Cursor to Beginning" || name == "Go to Start") {
    LocateLocked(0);
  } else if (name == "Move Cursor to End") {
    LocateLocked(kProjectEndMs);
  } else if (name == "Insert: Audio Track" || name == "Insert: MIDI Track") {
    if (static_cast<int>(m_tracks.size()) >= kMaxTracks) {
      m_log.Add(Source::kHost, "has " + std::to_string(kMaxTracks) + " tracks, no room for more");
      return;
    }
    Track track;
    track.name =
        (name == "Insert: Audio Track" ? "Audio " : "MIDI ") + std::to_string(m_tracks.size() + 1);
    m_tracks.push_back(track);
    m_log.Add(Source::kHost,
              "adds " + TrackName(static_cast<int>(m_tracks.size()) - 1) + " " + Quote(track.name));
    SelectTrackLocked(static_cast<int>(m_tracks.size()) - 1);
  } else {
    m_log.Add(Source::kHost, "runs " + Quote(name));
  }
}

}  // namespace desk
