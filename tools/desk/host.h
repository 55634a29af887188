// The simulated host: tracks, commands, transport and markers, the callbacks
// the plug-in calls, and the host's own thread, which is the only thread that
// calls the plug-in's exports. Host state changes from any thread (the
// plug-in's callbacks come on the MIDI input thread) queue notifications;
// the host's thread sends them.
#ifndef QUILLMOTE_TOOLS_DESK_HOST_H
#define QUILLMOTE_TOOLS_DESK_HOST_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_services.h"
#include "log.h"
#include "machine.h"

namespace desk {

struct Track {
  std::string name;
  double volume = 0.0;  // dB
  int32_t pan = 0;      // -100 full left to 100 full right
  bool flag15 = false;
  bool flag16 = false;
  bool flag19 = false;
};

// Positions are milliseconds from the start.
std::string FormatTime(int64_t ms);
// "CTR", "L20", "R60": as the host's own mixer shows pan.
std::string FormatPan(int32_t pan);
std::string FormatNumber(double value);

// The levels a playing host reports at a position: two slow triangle waves,
// so that the meter moves and a script's output stays the same on every run.
void LevelsAt(int64_t ms, double* first, double* second);

class Host {
 public:
  static constexpr int kMaxTracks = 128;
  static constexpr int64_t kLoopStartMs = 0;
  static constexpr int64_t kLoopEndMs = 4000;
  static constexpr int64_t kProjectEndMs = 200000;
  static constexpr int64_t kStepMs = 1000;
  static constexpr int kWindSpeed = 8;

  struct Snapshot {
    std::vector<Track> tracks;
    int current = 0;
    bool playing = false;
    bool looped = false;
    bool recording = false;
    int shuttle = 0;  // -1 rewinding, 1 fast-forwarding
    int64_t position = 0;
    double level1 = 0.0;
    double level2 = 0.0;
    bool metronome = false;
    bool monitor = false;
    bool mixer = false;
    std::vector<int64_t> markers;
    std::string lastCommand;
    bool open = false;
  };

  Host(Log& log, Machine& machine);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Starts the host's thread. In step mode queued work waits for Drain and
  // the clock moves only through AdvanceClock; otherwise the thread runs work
  // as it comes and the clock follows real time while the transport runs.
  // `afterItem` runs on the host's thread after each piece of work.
  void Start(bool stepMode, std::function<void()> afterItem);
  void Stop();
  // Runs everything queued, and whatever that queues, then returns.
  void Drain();

  // The plug-in's lifetime, through its exports on the host's thread.
  void Open();
  void Close();
  // Runs the bindings dialog through ConfigureController on the host's
  // thread; its user acts as `request` says and tells `seen` what the dialog
  // showed, on a thread of the machine's. `done` gets ConfigureController's
  // result. Without the dialog it says why.
  void RunDialog(DialogRequest request, Machine::DialogObserver seen,
                 std::function<void(int result)> done);
  bool IsOpen() const { return m_open.load(); }

  // What the user does in the host. Tracks are zero-based here.
  void SelectTrack(int track);
  void Play(bool looped);
  void StopTransport();
  void ToggleRecord();
  void SetVolume(int track, double volume);
  void SetPan(int track, int32_t pan);
  void ToggleFlag(int code, int track);
  void Rename(int track, const std::string& name);
  void ReportLevels(double first, double second);
  void Locate(int64_t ms);
  void ReloadBindings();
  // Lets `ms` milliseconds of host time pass.
  void AdvanceClock(int64_t ms);

  int TrackCount() const;
  Snapshot Take() const;
  const std::vector<std::string>& Commands() const { return m_commands; }
  // First command with exactly this name, or -1.
  int FindCommand(const std::string& name) const;

  // Told of every RunCommand, on the thread that made it.
  void SetCommandObserver(std::function<void(int32_t index, bool pressed)> observer);

  HostServices Services() const;

 private:
  struct Notice {
    int32_t code = 0;
    HostArg first = 0;
    HostArg second = 0;
    double value1 = 0.0;
    double value2 = 0.0;
    std::string text;
  };

  static void __cdecl OnDoAction(int32_t code, int32_t value, int32_t track, int32_t reserved);
  static void __cdecl OnQueryValue(int32_t code, int32_t track, void* result, int32_t reserved);
  static void __cdecl OnGetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid);
  static void __cdecl OnRunCommand(int32_t index, int32_t status);

  void DoAction(int32_t code, int32_t value, int32_t track, int32_t reserved);
  void QueryValue(int32_t code, int32_t track, void* result);
  void GetCommandName(int32_t index, char* buffer, int32_t size, int32_t* valid);
  void RunCommand(int32_t index, int32_t status);
  void RunCommandEffect(const std::string& name);

  void Post(std::function<void()> work);
  void Notify(Notice notice);
  void Deliver(const Notice& notice);
  void ThreadMain();

  // The *Locked operations expect m_mutex held and queue their notices.
  bool ValidTrack(int track) const {
    return track >= 0 && track < static_cast<int>(m_tracks.size());
  }
  void SelectTrackLocked(int track);
  void PlayLocked(bool looped);
  void StopLocked();
  void SetRecordLocked(bool on);
  void LocateLocked(int64_t ms);
  void ToggleFlagLocked(int code, int track);
  // Limited to the host's range; the track must be valid.
  void SetVolumeLocked(int track, double volume);
  void SetPanLocked(int track, int32_t pan);
  void NotifyTimeLocked();
  void NotifyLevelsLocked(double first, double second);
  void AdvanceLocked(int64_t ms);
  void SetClockRunningLocked();
  bool& FlagOf(Track& track, int code);

  Log& m_log;
  Machine& m_machine;
  std::vector<std::string> m_commands;

  mutable std::mutex m_mutex;  // the host's state below
  std::vector<Track> m_tracks;
  int m_current = 0;
  bool m_playing = false;
  bool m_looped = false;
  bool m_recording = false;
  int m_shuttle = 0;
  int64_t m_position = 0;
  double m_level1 = 0.0;
  double m_level2 = 0.0;
  bool m_metronome = false;
  bool m_monitor = false;
  bool m_mixer = false;
  std::vector<int64_t> m_markers;
  std::string m_lastCommand;
  std::chrono::steady_clock::time_point m_clockMark;
  std::function<void(int32_t, bool)> m_commandObserver;

  std::atomic<bool> m_open{false};
  std::atomic<bool> m_clockRunning{false};

  std::mutex m_queueMutex;  // the queue and the thread's flags below
  std::condition_variable m_queueChanged;
  std::deque<std::function<void()>> m_queue;
  bool m_stepMode = false;
  bool m_released = false;
  bool m_busy = false;
  bool m_quit = false;
  std::function<void()> m_afterItem;
  std::thread m_thread;
};

}  // namespace desk

#endif
