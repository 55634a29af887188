// The doctor's test mode: a pattern on the display, each lamp in turn, then
// every button and wheel turn by name as it arrives, and at the end what was
// never seen; the surface is always left blank and dark.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <sstream>
#include <utility>

#include "controller/controller.h"
#include "midi/messages.h"
#include "midi/receiver.h"
#include "tools/check/check_parts.h"

namespace qmcheck::detail {

namespace {

// ---- The test mode -----------------------------------------------------------

struct Control {
  const char* name;
  BYTE note;
};

// Every button and the footswitch, in the order the never-seen list names them.
constexpr Control kButtons[] = {
    {"SHIFT", kNoteShift},
    {"PLAY", kNotePlay},
    {"STOP", kNoteStop},
    {"RECORD", kNoteRecord},
    {"LOOP", kNoteLoop},
    {"RWD", kNoteRewind},
    {"FFWD", kNoteFastForward},
    {"TRACK-L", kNoteTrackLeft},
    {"TRACK-R", kNoteTrackRight},
    {"UNDO", kNoteUndo},
    {"ADD", kNoteAdd},
    {"PREV", kNotePrev},
    {"NEXT", kNoteNext},
    {"IN", kNoteIn},
    {"OUT", kNoteOut},
    {"PUNCH", kNotePunch},
    {"FOOTSWITCH", kNoteFootswitch},
    {"FLAG-15", kNoteFlag15},
    {"FLAG-16", kNoteFlag16},
    {"FLAG-19", kNoteFlag19},
};
constexpr std::size_t kButtonCount = sizeof kButtons / sizeof kButtons[0];
// The two wheel directions follow the buttons in the seen list.
constexpr std::size_t kWheelForward = kButtonCount;
constexpr std::size_t kWheelBack = kButtonCount + 1;
constexpr std::size_t kControlCount = kButtonCount + 2;

constexpr Control kLamps[] = {
    {"RECORD", kNoteRecord},  {"LOOP", kNoteLoop},      {"PUNCH", kNotePunch},
    {"ANY-16", kNoteAny16},   {"FLAG-16", kNoteFlag16}, {"FLAG-15", kNoteFlag15},
    {"FLAG-19", kNoteFlag19},
};

// Surface messages as they arrive, kept for the main thread, which prints
// them: the system's input thread only queues.
class CInputLog : public midi::CMIDIReceiver {
 public:
  void OnShortMsg(DWORD packed, DWORD) override {
    try {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_messages.push_back(packed);
    } catch (...) {
      // Out of memory: the message is lost, not the program.
    }
  }
  void OnLongMsg(const char*, DWORD, DWORD) override {}
  void OnLongError(const char*, DWORD, DWORD) override {}
  void OnShortError(DWORD, DWORD) override {}

  std::vector<DWORD> Take() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::exchange(m_messages, {});
  }

 private:
  std::mutex m_mutex;
  std::vector<DWORD> m_messages;
};

struct Event {
  std::string control;  // the button, "wheel", or "note N" for anything else
  bool pressed = false;
  int steps = 0;  // the wheel's, forward positive
};

class CTestSession {
 public:
  CTestSession(std::ostream& out, bool json) : m_out(out), m_json(json) {}

  // Decodes and prints what arrived, marking what was seen.
  void Drain(CInputLog& log) {
    for (DWORD packed : log.Take()) Decode(packed);
  }

  std::vector<std::string> NeverSeen() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kButtonCount; ++i) {
      if (!m_seen[i]) names.push_back(kButtons[i].name);
    }
    if (!m_seen[kWheelForward]) names.push_back("wheel forward");
    if (!m_seen[kWheelBack]) names.push_back("wheel back");
    return names;
  }

  const std::vector<Event>& Events() const { return m_events; }

 private:
  void Decode(DWORD packed) {
    const midi::CShortMsg message(packed, 0);
    Event event;
    if (message.GetCommand() == kControlChange && message.GetData1() == kWheelController) {
      const BYTE value = message.GetData2();
      event.control = "wheel";
      event.steps = value < 64 ? value : 64 - static_cast<int>(value);
      if (event.steps > 0) m_seen[kWheelForward] = true;
      if (event.steps < 0) m_seen[kWheelBack] = true;
    } else if (message.GetCommand() == kNoteOn) {
      event.pressed = message.GetData2() != 0;
      event.control = "note " + std::to_string(message.GetData1());
      for (std::size_t i = 0; i < kButtonCount; ++i) {
        if (kButtons[i].note != message.GetData1()) continue;
        event.control = kButtons[i].name;
        if (event.pressed) m_seen[i] = true;
      }
    } else {
      char text[32];
      std::snprintf(text, sizeof text, "message %02X %02X %02X",
                    message.GetCommand() | message.GetChannel(), message.GetData1(),
                    message.GetData2());
      event.control = text;
    }
    if (!m_json) Print(event);
    m_events.push_back(std::move(event));
  }

  void Print(const Event& event) {
    if (event.control == "wheel") {
      const int steps = event.steps < 0 ? -event.steps : event.steps;
      m_out << "  wheel " << (event.steps < 0 ? "back " : "forward ") << steps
            << (steps == 1 ? " step" : " steps") << "\n";
    } else if (event.control.rfind("message ", 0) == 0) {
      m_out << "  " << event.control << " (not a Quillmote control)\n";
    } else {
      m_out << "  " << event.control << (event.pressed ? " pressed" : " released");
      if (event.control.rfind("note ", 0) == 0) m_out << " (not a Quillmote control)";
      m_out << "\n";
    }
    m_out.flush();
  }

  std::ostream& m_out;
  bool m_json;
  bool m_seen[kControlCount] = {};
  std::vector<Event> m_events;
};

void SendDisplay(midi::CMIDIOutDevice& out, const char (&cells)[41]) {
  SendDisplayCells(out, 0, cells, 40);
}

// The display blank and every lamp off, each tried whatever became of the
// others. Returns the first failure's text, empty when all went out.
std::string BlankSurface(midi::CMIDIOutDevice& out) {
  std::string failure;
  const auto attempt = [&failure](auto&& send) {
    try {
      send();
    } catch (const std::exception& e) {
      if (failure.empty()) failure = e.what();
    }
  };
  static const char kBlank[41] = "                                        ";
  attempt([&] { SendDisplay(out, kBlank); });
  for (const Control& lamp : kLamps) attempt([&] { SendLamp(out, lamp.note, false); });
  return failure;
}

// Waits up to `milliseconds`, printing input as it comes; false once stopped.
bool Wait(DWORD milliseconds, const std::atomic<bool>& stop, CTestSession& session,
          CInputLog& log) {
  const DWORD start = GetTickCount();
  while (!stop.load()) {
    session.Drain(log);
    if (GetTickCount() - start >= milliseconds) return true;
    Sleep(kPollMilliseconds);
  }
  return false;
}

}  // namespace

int RunTest(const Options& options, std::ostream& out, std::ostream& err,
            const std::atomic<bool>& stop) {
  Facts facts = Survey();
  if (facts.Status() == kNotFound) {
    ReportCheck(out, facts, options.json);
    return kNotFound;
  }
  midi::CMIDIOutDevice port;
  midi::CMIDIInDevice input;
  CInputLog log;
  input.SetReceiver(&log);
  OpenPair(facts, port, input);
  if (facts.Status() != kReady) {
    ClosePair(port, input);
    ReportCheck(out, facts, options.json);
    return kNotUsable;
  }

  CTestSession session(out, options.json);
  std::string failure;
  bool interrupted = false;
  if (!options.json) {
    out << "Testing the surface on output " << facts.output << " and input " << facts.input
        << ".\n";
  }
  try {
    static const char kPattern[41] = "12345678901234567890quillmote-check test";
    SendDisplay(port, kPattern);
    if (!options.json)
      out << "The display shows \"12345678901234567890\" over \"quillmote-check test\".\n";
    for (const Control& lamp : kLamps) {
      if (!options.json) {
        out << "Lamp " << lamp.name << " lit\n";
        out.flush();
      }
      SendLamp(port, lamp.note, true);
      const bool going = Wait(kLampMilliseconds, stop, session, log);
      SendLamp(port, lamp.note, false);
      if (!going) break;
    }
    if (!stop.load()) {
      if (!options.json) {
        out << "Press every button and the footswitch, and turn the wheel both ways.\n";
        if (options.seconds) {
          out << "The test ends after " << *options.seconds
              << (*options.seconds == 1 ? " second" : " seconds") << ", or with Ctrl+C.\n";
        } else {
          out << "Ctrl+C ends the test.\n";
        }
        out.flush();
      }
      const DWORD limit = options.seconds ? *options.seconds * 1000u : INFINITE;
      const DWORD start = GetTickCount();
      while (!stop.load()) {
        session.Drain(log);
        if (limit != INFINITE && GetTickCount() - start >= limit) break;
        Sleep(kPollMilliseconds);
      }
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  interrupted = stop.load();
  session.Drain(log);
  const std::string blanking = BlankSurface(port);
  ClosePair(port, input);
  session.Drain(log);

  const std::vector<std::string> unseen = session.NeverSeen();
  if (options.json) {
    out << "{\n";
    JsonCheckMembers(out, facts);
    out << ",\n  \"test\": {\n    \"interrupted\": " << (interrupted ? "true" : "false")
        << ",\n    \"events\": [";
    const auto& events = session.Events();
    for (std::size_t i = 0; i < events.size(); ++i) {
      const Event& event = events[i];
      out << (i == 0 ? "" : ",") << "\n      {\"control\": " << Quoted(event.control);
      if (event.control == "wheel") {
        out << ", \"steps\": " << event.steps << "}";
      } else {
        out << ", \"pressed\": " << (event.pressed ? "true" : "false") << "}";
      }
    }
    out << (events.empty() ? "]" : "\n    ]") << ",\n    \"never_seen\": [";
    for (std::size_t i = 0; i < unseen.size(); ++i)
      out << (i == 0 ? "" : ", ") << Quoted(unseen[i]);
    out << "],\n    \"error\": " << (failure.empty() ? std::string("null") : Quoted(failure))
        << ",\n    \"blanked\": " << (blanking.empty() ? "true" : "false") << "\n  }\n}\n";
  } else {
    if (interrupted) out << "Stopped.\n";
    if (unseen.empty()) {
      out << "Every control was seen.\n";
    } else {
      out << "Never seen: ";
      for (std::size_t i = 0; i < unseen.size(); ++i) out << (i == 0 ? "" : ", ") << unseen[i];
      out << "\n";
    }
    out << (blanking.empty() ? "The display is blank and the lamps are off.\n" : "");
  }
  if (!failure.empty()) err << kProgram << ": the surface refused a message: " << failure << "\n";
  if (!blanking.empty()) {
    err << kProgram << ": couldn't blank the surface: " << blanking << "\n";
  }
  return failure.empty() && blanking.empty() ? kReady : kNotUsable;
}

}  // namespace qmcheck::detail
