// What the user does in the host: the transport, tracks, levels and time.
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

// ---- What the user does in the host ----

bool& Host::FlagOf(Track& track, int code) {
  if (code == HostCode::kToggleFlag15) return track.flag15;
  if (code == HostCode::kToggleFlag16) return track.flag16;
  return track.flag19;
}

void Host::NotifyTimeLocked() {
  Notice notice;
  notice.code = HostCode::kTime;
  notice.text = FormatTime(m_position);
  Notify(std::move(notice));
}

void Host::NotifyLevelsLocked(double first, double second) {
  m_level1 = first;
  m_level2 = second;
  Notice notice;
  notice.code = HostCode::kLevels;
  notice.value1 = first;
  notice.value2 = second;
  Notify(std::move(notice));
}

void Host::SetClockRunningLocked() {
  const bool running = m_playing || m_shuttle != 0;
  if (running && !m_clockRunning.load()) m_clockMark = std::chrono::steady_clock::now();
  m_clockRunning = running;
  // Wakes the host's thread so that it starts or stops ticking.
  m_queueChanged.notify_all();
}

void Host::SelectTrackLocked(int track) {
  m_current = track;
  m_log.Add(Source::kHost, TrackName(track) + " " + Quote(m_tracks[track].name) + " selected");
  Notice notice;
  notice.code = HostCode::kTrackChange;
  notice.first = track;
  // The label shows the track's number and, after it, how many there are.
  notice.second = static_cast<HostArg>(m_tracks.size());
  Notify(std::move(notice));
}

void Host::PlayLocked(bool looped) {
  m_playing = true;
  m_looped = looped;
  if (looped && (m_position < kLoopStartMs || m_position >= kLoopEndMs)) {
    m_position = kLoopStartMs;
  }
  m_log.Add(Source::kHost,
            looped ? "plays looped, " + FormatTime(kLoopStartMs) + " to " + FormatTime(kLoopEndMs)
                   : "plays from " + FormatTime(m_position));
  SetClockRunningLocked();
  NotifyTimeLocked();
  double first = 0.0, second = 0.0;
  LevelsAt(m_position, &first, &second);
  NotifyLevelsLocked(first, second);
}

void Host::SetRecordLocked(bool on) {
  m_recording = on;
  m_log.Add(Source::kHost, on ? "records" : "stops recording");
  Notice notice;
  notice.code = HostCode::kRecordState;
  notice.first = on ? 1 : 0;
  Notify(std::move(notice));
}

void Host::StopLocked() {
  if (m_recording) SetRecordLocked(false);
  m_playing = false;
  m_looped = false;
  m_log.Add(Source::kHost, "stops at " + FormatTime(m_position));
  SetClockRunningLocked();
  NotifyTimeLocked();
  // Silence: the meter's lowest step.
  NotifyLevelsLocked(0.0, 0.0);
}

void Host::LocateLocked(int64_t ms) {
  m_position = std::clamp<int64_t>(ms, 0, kProjectEndMs);
  m_log.Add(Source::kHost, "moves to " + FormatTime(m_position));
  NotifyTimeLocked();
}

void Host::ToggleFlagLocked(int code, int track) {
  bool& flag = FlagOf(m_tracks[track], code);
  flag = !flag;
  m_log.Add(Source::kHost,
            TrackName(track) + " flag " + std::to_string(code) + (flag ? " set" : " cleared"));
  Notice notice;
  notice.code = code;
  notice.first = track;
  notice.second = flag ? 1 : 0;
  Notify(std::move(notice));
}

void Host::AdvanceLocked(int64_t ms) {
  if (!m_playing && m_shuttle == 0) return;
  if (m_playing) {
    m_position += ms;
    if (m_looped && m_position >= kLoopEndMs) {
      m_position = kLoopStartMs + (m_position - kLoopStartMs) % (kLoopEndMs - kLoopStartMs);
    }
  }
  m_position += m_shuttle * kWindSpeed * ms;
  m_position = std::clamp<int64_t>(m_position, 0, kProjectEndMs);
  NotifyTimeLocked();
  if (m_playing) {
    double first = 0.0, second = 0.0;
    LevelsAt(m_position, &first, &second);
    NotifyLevelsLocked(first, second);
  }
}

void Host::SelectTrack(int track) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (ValidTrack(track)) SelectTrackLocked(track);
}

void Host::Play(bool looped) {
  std::lock_guard<std::mutex> lock(m_mutex);
  PlayLocked(looped);
}

void Host::StopTransport() {
  std::lock_guard<std::mutex> lock(m_mutex);
  StopLocked();
}

void Host::ToggleRecord() {
  std::lock_guard<std::mutex> lock(m_mutex);
  SetRecordLocked(!m_recording);
  if (m_recording && !m_playing) PlayLocked(false);
}

void Host::SetVolume(int track, double volume) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (ValidTrack(track)) SetVolumeLocked(track, volume);
}

void Host::SetVolumeLocked(int track, double volume) {
  m_tracks[track].volume = std::clamp(volume, kMinVolume, kMaxVolume);
  m_log.Add(Source::kHost, TrackName(track) + " volume " + FormatNumber(m_tracks[track].volume));
  Notice notice;
  notice.code = HostCode::kVolume;
  notice.first = track;
  notice.value1 = m_tracks[track].volume;
  Notify(std::move(notice));
}

void Host::SetPan(int track, int32_t pan) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (ValidTrack(track)) SetPanLocked(track, pan);
}

void Host::SetPanLocked(int track, int32_t pan) {
  m_tracks[track].pan = std::clamp(pan, -kMaxPan, kMaxPan);
  m_log.Add(Source::kHost, TrackName(track) + " pan " + FormatPan(m_tracks[track].pan));
  Notice notice;
  notice.code = HostCode::kPan;
  notice.first = track;
  notice.second = m_tracks[track].pan;
  Notify(std::move(notice));
}

void Host::ToggleFlag(int code, int track) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (ValidTrack(track)) ToggleFlagLocked(code, track);
}

void Host::Rename(int track, const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!ValidTrack(track)) return;
  m_tracks[track].name = name;
  m_log.Add(Source::kHost, TrackName(track) + " renamed " + Quote(name));
  Notice notice;
  notice.code = HostCode::kTrackName;
  notice.first = track;
  Notify(std::move(notice));
}

void Host::ReportLevels(double first, double second) {
  std::lock_guard<std::mutex> lock(m_mutex);
  NotifyLevelsLocked(first, second);
}

void Host::Locate(int64_t ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  LocateLocked(ms);
}

void Host::ReloadBindings() {
  Notice notice;
  notice.code = HostCode::kReloadBindings;
  Notify(std::move(notice));
}

void Host::AdvanceClock(int64_t ms) {
  std::lock_guard<std::mutex> lock(m_mutex);
  AdvanceLocked(ms);
}

int Host::TrackCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_tracks.size());
}

Host::Snapshot Host::Take() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  Snapshot snapshot;
  snapshot.tracks = m_tracks;
  snapshot.current = m_current;
  snapshot.playing = m_playing;
  snapshot.looped = m_looped;
  snapshot.recording = m_recording;
  snapshot.shuttle = m_shuttle;
  snapshot.position = m_position;
  snapshot.level1 = m_level1;
  snapshot.level2 = m_level2;
  snapshot.metronome = m_metronome;
  snapshot.monitor = m_monitor;
  snapshot.mixer = m_mixer;
  snapshot.markers = m_markers;
  snapshot.lastCommand = m_lastCommand;
  snapshot.open = m_open.load();
  return snapshot;
}

}  // namespace desk
