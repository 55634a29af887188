// What the parts of the desk's host share: the host's thread and the
// plug-in's lifetime (host.cpp), what the user does in the host
// (host_user.cpp) and the callbacks the plug-in calls (host_callbacks.cpp).
#ifndef QUILLMOTE_TOOLS_DESK_HOST_PARTS_H
#define QUILLMOTE_TOOLS_DESK_HOST_PARTS_H

#include <atomic>
#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include "bindings/binding_table.h"
#include "host.h"

namespace desk::host_parts {

// The plug-in's callbacks are plain functions; they reach the one host here.
extern std::atomic<Host*> g_host;

constexpr std::size_t kNameBufferSize = 64;
constexpr auto kTickInterval = std::chrono::milliseconds(100);
constexpr double kMinVolume = -160.0;
constexpr double kMaxVolume = 24.0;
constexpr int32_t kMaxPan = 100;

inline std::vector<std::string> MakeCommands() {
  std::vector<std::string> commands = {"File: Save",  "File: Save As",   "Undo (1)",
                                       "Redo",        "Edit: Cut",       "Edit: Copy",
                                       "Edit: Paste", "Edit: Select All"};
  for (const BindingSlot& slot : BindingTable) commands.push_back(slot.m_defaultName);
  for (const char* name : {"Split Clip", "Normalize", "Toggle Snap to Grid", "Zoom to Selection",
                           "Go to Start", "Add Marker"}) {
    commands.push_back(name);
  }
  return commands;
}

inline std::vector<Track> MakeTracks() {
  return {
      {"Drums", 0.0, 0, false, false, false},
      {"Bass", -3.5, -20, false, false, false},
      {"Guitar L", -6.0, -60, false, false, false},
      {"Guitar R", -6.0, 60, false, false, false},
      {"Keys", -8.5, 15, false, false, false},
      {"Lead Vocal", 2.0, 0, false, false, true},
      {"Backing Vocals", -4.0, -35, false, false, false},
      {"Room Mics", -12.0, 0, true, false, false},
  };
}

inline double Triangle(int64_t ms, int64_t period) {
  const double x = static_cast<double>(ms % period) / static_cast<double>(period);
  return x < 0.5 ? 2.0 * x : 2.0 - 2.0 * x;
}

inline std::string Quote(const std::string& text) { return "\"" + text + "\""; }

inline std::string TrackName(int track) { return "track " + std::to_string(track + 1); }

// Runs a callback body; nothing may leave a callback into the plug-in.
template <class F>
void Guard(Log& log, const char* what, F&& body) noexcept {
  try {
    body();
  } catch (const std::exception& e) {
    try {
      log.Add(Source::kError, std::string(what) + ": " + e.what());
    } catch (...) {
    }
  } catch (...) {
  }
}

}  // namespace desk::host_parts

#endif
