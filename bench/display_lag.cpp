// How far behind the host the surface's display is on a MIDI DIN cable
// (3,125 bytes a second): the plug-in's output port against a sender that
// hands every message to the system at once, as the port did before it held
// writes back while the wire is busy. Both run on the simulated system's
// manual clock, so the figures are the wire's and the port's, not this
// machine's: the same on every run.
//
//   quillmote_display_lag [--quick] [--series FILE]
//
// Prints, for each traffic case, how long after the host's last
// notification the display last changed. --series writes the display's
// staleness over 10 s of scrolling at 100 track changes a second, every
// 50 ms, for both senders: CSV lines "seconds,at_once_ms,plugin_ms", where
// staleness is how long the display has been out of date: since the host
// moved on from the track change whose label the surface shows. --quick runs one short case only
// (for the test command).
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "simctl.h"

namespace {

constexpr unsigned kDinRate = 3125;
constexpr unsigned kStepMicros = 1000;

void __cdecl NoAction(int32_t, int32_t, int32_t, int32_t) {}
void __cdecl NoRun(int32_t, int32_t) {}
void __cdecl NoName(int32_t, char*, int32_t, int32_t* valid) { *valid = 0; }
// Sixty-four tracks with a name, a volume and a pan each; no flags.
void __cdecl Query(int32_t code, int32_t track, void* result, int32_t) {
  track &= 63;
  if (code == HostCode::kQueryName) {
    std::snprintf(static_cast<char*>(result), 64, "Track %d", track + 1);
  } else if (code == HostCode::kQueryVolume) {
    *static_cast<double*>(result) = -0.5 * track;
  } else if (code == HostCode::kQueryPan) {
    *static_cast<int16_t*>(result) = static_cast<int16_t>(track - 32);
  }
}

void Fail(const char* what) {
  std::fprintf(stderr, "quillmote_display_lag: %s\n", what);
  std::exit(1);
}

void PrivateStore() {
  char pattern[] = "/tmp/quillmote-lag-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Fail("cannot make a directory for the registry store");
  static const std::string dir = pattern;
  setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  });
}

enum class Traffic { kScrolling, kPlaying };

struct Case {
  const char* name;
  Traffic traffic;
  unsigned perSecond;
  unsigned seconds;
};

// One run: when each notification was given, and the display's changes.
struct Run {
  std::vector<unsigned long long> notices;
  std::vector<std::pair<unsigned long long, std::string>> changes;
  unsigned long long Lag() const {
    if (notices.empty() || changes.empty()) return 0;
    const unsigned long long last = notices.back();
    return changes.back().first > last ? changes.back().first - last : 0;
  }
};

void FreshMachine(unsigned rate, int driver) {
  sim_reset();
  sim_add_output("Quillmote Port");
  sim_add_input("Quillmote Port");
  sim_set_output_driver(driver);
  sim_set_wire_rate(rate);
  sim_set_manual_clock(1);
}

void Notify(CMidiReceiveDlg& controller, Traffic traffic, int n) {
  if (traffic == Traffic::kScrolling) {
    controller.OnHostUpdate(HostCode::kTrackChange, n % 64, n, 0);
    return;
  }
  const double first = (n % 17) / 16.0;
  const double second = (n % 11) / 10.0;
  controller.OnHostUpdate(HostCode::kLevels, reinterpret_cast<HostArg>(&first),
                          reinterpret_cast<HostArg>(&second), 0);
  char text[16];
  std::snprintf(text, sizeof text, "%d:%02d.%02d", n / 6000, n / 100 % 60, n % 100);
  controller.OnHostUpdate(HostCode::kTime, reinterpret_cast<HostArg>(text), 0, 0);
}

void Advance(unsigned micros) {
  if (sim_advance_clock(micros) == 0) Fail("the simulated system did not settle");
}

Run Collect(std::vector<unsigned long long> notices) {
  Run run;
  run.notices = std::move(notices);
  char cells[40];
  unsigned long long time = 0;
  for (std::size_t i = 0; sim_display_change(0, i, &time, cells) != 0; ++i) {
    run.changes.emplace_back(time, std::string(cells, 40));
  }
  return run;
}

// The messages each notification makes, as the controller sends them.
std::vector<std::vector<std::vector<unsigned char>>> Frames(const Case& c, HostServices& host) {
  FreshMachine(0, SIM_DRIVER_DONE_INLINE);
  std::vector<std::vector<std::vector<unsigned char>>> frames;
  CMidiReceiveDlg controller(&host);
  controller.Attach();
  sim_wait_idle(10000);
  sim_clear_sent();
  for (int n = 0; n < static_cast<int>(c.perSecond * c.seconds); ++n) {
    Notify(controller, c.traffic, n);
    sim_wait_idle(10000);
    std::vector<std::vector<unsigned char>> messages;
    for (std::size_t i = 0; i < sim_sent_count(0); ++i) {
      std::vector<unsigned char> bytes(sim_sent_message(0, i, nullptr, 0));
      sim_sent_message(0, i, bytes.data(), bytes.size());
      messages.push_back(std::move(bytes));
    }
    sim_clear_sent();
    frames.push_back(std::move(messages));
  }
  return frames;
}

// Every message to the system the moment the host gives it.
Run AtOnce(const Case& c, HostServices& host) {
  const auto frames = Frames(c, host);
  FreshMachine(kDinRate, SIM_DRIVER_QUEUED);
  HMIDIOUT out = nullptr;
  if (midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) Fail("no output device");
  struct Header {
    MIDIHDR header{};
    char bytes[64]{};
  };
  std::deque<Header> headers;  // a deque keeps each header where the system saw it
  std::vector<Header*> spare;
  std::vector<Header*> busy;
  const auto reclaim = [&] {
    for (auto it = busy.begin(); it != busy.end();) {
      if (((*it)->header.dwFlags & MHDR_DONE) == 0) {
        ++it;
        continue;
      }
      midiOutUnprepareHeader(out, &(*it)->header, sizeof(MIDIHDR));
      spare.push_back(*it);
      it = busy.erase(it);
    }
  };
  std::vector<unsigned long long> notices;
  const unsigned period = 1000 / c.perSecond;
  for (const auto& messages : frames) {
    reclaim();
    for (const auto& bytes : messages) {
      if (bytes.size() <= 3 && bytes[0] != 0xF0) {
        DWORD packed = 0;
        for (std::size_t i = 0; i < bytes.size(); ++i) packed |= DWORD{bytes[i]} << (8 * i);
        midiOutShortMsg(out, packed);
        continue;
      }
      if (spare.empty()) spare.push_back(&headers.emplace_back());
      Header* h = spare.back();
      spare.pop_back();
      std::memcpy(h->bytes, bytes.data(), bytes.size());
      h->header = MIDIHDR{};
      h->header.lpData = h->bytes;
      h->header.dwBufferLength = static_cast<DWORD>(bytes.size());
      midiOutPrepareHeader(out, &h->header, sizeof(MIDIHDR));
      midiOutLongMsg(out, &h->header, sizeof(MIDIHDR));
      busy.push_back(h);
    }
    notices.push_back(sim_clock_microseconds());
    for (unsigned ms = 0; ms < period; ++ms) Advance(kStepMicros);
  }
  while (sim_pending_headers() != 0) Advance(kStepMicros);
  reclaim();
  Run run = Collect(std::move(notices));
  midiOutClose(out);
  return run;
}

// The plug-in's own output port.
Run Plugin(const Case& c, HostServices& host) {
  FreshMachine(kDinRate, SIM_DRIVER_QUEUED);
  CMidiReceiveDlg controller(&host);
  controller.Attach();
  while (controller.WaitingMessages() != 0 || sim_pending_headers() != 0) Advance(kStepMicros);
  sim_clear_sent();
  std::vector<unsigned long long> notices;
  const unsigned period = 1000 / c.perSecond;
  for (int n = 0; n < static_cast<int>(c.perSecond * c.seconds); ++n) {
    Notify(controller, c.traffic, n);
    notices.push_back(sim_clock_microseconds());
    for (unsigned ms = 0; ms < period; ++ms) Advance(kStepMicros);
  }
  while (controller.WaitingMessages() != 0 || sim_pending_headers() != 0) Advance(kStepMicros);
  return Collect(std::move(notices));
}

// How long the display has been out of date at `time`, in ms: since the
// host moved on from the track change whose label it shows (0 while it
// shows the latest); negative when the label shows none.
double Staleness(const Run& run, unsigned long long time) {
  const std::string* shown = nullptr;
  for (const auto& change : run.changes) {
    if (change.first > time) break;
    shown = &change.second;
  }
  if (shown == nullptr) return -1;
  int track = 0;
  int value = 0;
  if (std::sscanf(shown->c_str() + 20, "%d (%d)", &track, &value) != 2 || value < 0 ||
      static_cast<std::size_t>(value) >= run.notices.size() || run.notices[value] > time) {
    return -1;
  }
  const auto next = static_cast<std::size_t>(value) + 1;
  if (next >= run.notices.size() || run.notices[next] > time) return 0;
  return (time - run.notices[next]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  const char* series = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--series") == 0 && i + 1 < argc) {
      series = argv[++i];
    } else {
      std::fprintf(stderr, "usage: quillmote_display_lag [--quick] [--series FILE]\n");
      return 2;
    }
  }
  PrivateStore();
  HostServices host{&NoAction, &Query, &NoName, 0, &NoRun, 0};
  const std::vector<Case> cases =
      quick
          ? std::vector<Case>{{"scrolling, 100 track changes a second for 1 s", Traffic::kScrolling,
                               100, 1}}
          : std::vector<Case>{
                {"scrolling, 50 track changes a second for 2 s", Traffic::kScrolling, 50, 2},
                {"scrolling, 100 a second for 2 s", Traffic::kScrolling, 100, 2},
                {"scrolling, 100 a second for 6 s", Traffic::kScrolling, 100, 6},
                {"scrolling, 100 a second for 10 s", Traffic::kScrolling, 100, 10},
                {"playing: levels and time, 100 a second each for 3 s", Traffic::kPlaying, 100, 3}};
  std::printf("%-52s %12s %12s\n", "Host traffic (3,125-byte wire)", "at once", "the plug-in");
  Run seriesAtOnce;
  Run seriesPlugin;
  for (const Case& c : cases) {
    Run atOnce = AtOnce(c, host);
    Run plugin = Plugin(c, host);
    if (plugin.changes.empty() || plugin.changes.back().second != atOnce.changes.back().second) {
      Fail("the two senders ended with different displays");
    }
    std::printf("%-52s %9.1f ms %9.1f ms\n", c.name, atOnce.Lag() / 1000.0, plugin.Lag() / 1000.0);
    if (c.traffic == Traffic::kScrolling && c.seconds == (quick ? 1u : 10u)) {
      seriesAtOnce = std::move(atOnce);
      seriesPlugin = std::move(plugin);
    }
  }
  sim_set_manual_clock(0);
  sim_reset();
  if (series == nullptr) return 0;
  std::FILE* file = std::fopen(series, "w");
  if (file == nullptr) Fail("cannot write the series file");
  // Each run's clock from its first notification on.
  const unsigned long long atOnceStart = seriesAtOnce.notices.front();
  const unsigned long long pluginStart = seriesPlugin.notices.front();
  const unsigned long long end = seriesAtOnce.changes.back().first - atOnceStart;
  for (unsigned long long t = 0; t <= end + 50000; t += 50000) {
    std::fprintf(file, "%.2f,%.1f,%.1f\n", t / 1e6, Staleness(seriesAtOnce, atOnceStart + t),
                 Staleness(seriesPlugin, pluginStart + t));
  }
  return std::fclose(file) == 0 ? 0 : 1;
}
