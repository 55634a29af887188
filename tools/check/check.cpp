#include <windows.h>

#include "tools/check/check.h"

#include <mmsystem.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <sstream>
#include <utility>

#include "bindings/binding_table.h"
#include "bindings/settings_dlg.h"
#include "controller/controller.h"
#include "midi/errors.h"
#include "midi/in_device.h"
#include "midi/messages.h"
#include "midi/out_device.h"
#include "midi/receiver.h"

#ifndef QM_VERSION
#error "QM_VERSION names the project's version"
#endif

namespace qmcheck {
namespace {

constexpr char kProgram[] = "quillmote-check";
constexpr char kSurfaceWord[] = "Quillmote";
constexpr unsigned kMaxSeconds = 86400;
// How long each lamp stays lit in the test mode, and how often the test
// mode looks for input and for its end.
constexpr DWORD kLampMilliseconds = 300;
constexpr DWORD kPollMilliseconds = 20;

// ---- Options ---------------------------------------------------------------

enum class Mode { kCheck, kTest, kBindings, kVersion, kHelp };

struct Options {
  Mode mode = Mode::kCheck;
  bool json = false;
  std::optional<unsigned> seconds;
};

constexpr char kUsage[] =
    "Usage: quillmote-check [--test [--seconds N] | --bindings] [--json]\n"
    "\n"
    "Says whether the Quillmote surface is ready for the plug-in, and if not, why.\n"
    "\n"
    "  (no option)    list the MIDI devices, say which pair the plug-in attaches to\n"
    "                 and try to open it\n"
    "  --test         open the surface, show a test pattern and light each lamp, then\n"
    "                 show each button and wheel turn as it arrives; at the end (Ctrl+C,\n"
    "                 or after --seconds N) list the controls never seen\n"
    "  --seconds N    end the test after N seconds (1 to 86400)\n"
    "  --bindings     print the sixteen button bindings stored for this user\n"
    "  --json         the same facts as JSON, for a bug report\n"
    "  --version      print the version\n"
    "  --help         print this help\n"
    "\n"
    "Exit status: 0 ready, 1 surface not found, 2 found but not usable,\n"
    "3 bad command line.\n";

// Throws std::invalid_argument with the message for the user.
Options ParseOptions(const std::vector<std::string>& args) {
  Options options;
  bool test = false;
  bool bindings = false;
  bool version = false;
  bool help = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::optional<std::string> secondsText;
    if (arg == "--test") {
      test = true;
    } else if (arg == "--bindings") {
      bindings = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--version") {
      version = true;
    } else if (arg == "--help" || arg == "-h" || arg == "/?") {
      help = true;
    } else if (arg == "--seconds") {
      if (i + 1 == args.size()) throw std::invalid_argument("--seconds needs a number of seconds");
      secondsText = args[++i];
    } else if (arg.rfind("--seconds=", 0) == 0) {
      secondsText = arg.substr(std::strlen("--seconds="));
    } else {
      throw std::invalid_argument("unknown option '" + arg + "'");
    }
    if (secondsText) {
      const std::string& text = *secondsText;
      unsigned long value = 0;
      bool digits = !text.empty() && text.size() <= 6;
      for (char c : text) digits = digits && std::isdigit(static_cast<unsigned char>(c));
      if (digits) value = std::stoul(text);
      if (!digits || value < 1 || value > kMaxSeconds) {
        throw std::invalid_argument(
            "--seconds takes a whole number of seconds from 1 to 86400, not '" + text + "'");
      }
      options.seconds = static_cast<unsigned>(value);
    }
  }
  if (help) {
    options.mode = Mode::kHelp;
  } else if (version) {
    options.mode = Mode::kVersion;
  } else if (test && bindings) {
    throw std::invalid_argument("--test and --bindings can't be given together");
  } else if (test) {
    options.mode = Mode::kTest;
  } else if (bindings) {
    options.mode = Mode::kBindings;
  }
  if (options.seconds && options.mode != Mode::kTest) {
    throw std::invalid_argument("--seconds goes with --test only");
  }
  return options;
}

// ---- JSON --------------------------------------------------------------------

// Device names come in the system's code page: bytes above 0x7F are written
// as the code points of the same value, so that the output is always valid.
std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

// ---- The devices -------------------------------------------------------------

// How a device's name stands to the plug-in's test.
enum class NameKind {
  kAccepted,    // begins with "Quillmote": the plug-in takes it
  kPrefixed,    // holds "Quillmote" further in, as in Windows' "2- Quillmote ..."
  kLetterCase,  // "Quillmote" in other letter case
  kOther,       // not the surface
  kUnreadable,  // the system would not describe the device
};

const char* KindKey(NameKind kind) {
  switch (kind) {
    case NameKind::kAccepted:
      return "accepted";
    case NameKind::kPrefixed:
      return "prefixed";
    case NameKind::kLetterCase:
      return "letter-case";
    case NameKind::kOther:
      return "other";
    case NameKind::kUnreadable:
      return "unreadable";
  }
  return "other";
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

NameKind Classify(const std::string& name) {
  if (CMidiReceiveDlg::IsSurfaceName(name.c_str())) return NameKind::kAccepted;
  if (name.find(kSurfaceWord) != std::string::npos) return NameKind::kPrefixed;
  if (Lower(name).find(Lower(kSurfaceWord)) != std::string::npos) return NameKind::kLetterCase;
  return NameKind::kOther;
}

struct Device {
  unsigned index = 0;
  std::string name;
  NameKind kind = NameKind::kOther;
  std::string error;  // why the system would not describe it
};

template <class Port, class Caps>
std::vector<Device> ListDevices(UINT count) {
  std::vector<Device> devices;
  for (UINT id = 0; id < count; ++id) {
    Device device;
    device.index = id;
    Caps caps{};
    try {
      Port::GetDevCaps(id, caps);
      caps.szPname[MAXPNAMELEN - 1] = 0;
      device.name = caps.szPname;
      device.kind = Classify(device.name);
    } catch (const std::exception& e) {
      device.kind = NameKind::kUnreadable;
      device.error = e.what();
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

// What became of opening one of the pair.
struct OpenResult {
  bool tried = false;
  bool ok = false;
  MMRESULT result = MMSYSERR_NOERROR;
  std::string text;  // the driver's own text of the result
};

template <class Exception>
OpenResult Failure(const std::exception& e) {
  OpenResult open;
  open.tried = true;
  open.text = e.what();
  const auto* known = dynamic_cast<const Exception*>(&e);
  open.result = known != nullptr ? known->Result() : MMSYSERR_ERROR;
  return open;
}

OpenResult Opened() {
  OpenResult open;
  open.tried = true;
  open.ok = true;
  return open;
}

struct Facts {
  std::vector<Device> outputs;
  std::vector<Device> inputs;
  int output = -1;  // the pair the plug-in attaches to
  int input = -1;
  OpenResult openOutput;
  OpenResult openInput;

  int Status() const {
    if (output == -1 || input == -1) return kNotFound;
    return openOutput.ok && openInput.ok ? kReady : kNotUsable;
  }
};

Facts Survey() {
  Facts facts;
  facts.outputs = ListDevices<midi::CMIDIOutDevice, MIDIOUTCAPSA>(midiOutGetNumDevs());
  facts.inputs = ListDevices<midi::CMIDIInDevice, MIDIINCAPSA>(midiInGetNumDevs());
  // The plug-in's own search decides, not the list above.
  facts.output = CMidiReceiveDlg::FindOutputDevice();
  facts.input = CMidiReceiveDlg::FindInputDevice();
  return facts;
}

// Opens both ports of the pair (each tried whatever became of the other);
// the ports stay open for the caller when both opened.
void OpenPair(Facts& facts, midi::CMIDIOutDevice& out, midi::CMIDIInDevice& in) {
  try {
    out.Open(static_cast<UINT>(facts.output));
    facts.openOutput = Opened();
  } catch (const std::exception& e) {
    facts.openOutput = Failure<midi::CMIDIOutException>(e);
  }
  try {
    in.Open(static_cast<UINT>(facts.input));
    in.Start();
    facts.openInput = Opened();
  } catch (const std::exception& e) {
    facts.openInput = Failure<midi::CMIDIInException>(e);
  }
}

void ClosePair(midi::CMIDIOutDevice& out, midi::CMIDIInDevice& in) {
  in.DetachReceiver(CMidiReceiveDlg::kInputStopBound);
  try {
    if (in.IsOpen()) {
      if (in.IsStarted()) in.Stop();
      in.Close();
    }
  } catch (const std::exception&) {
    // Nothing more to do about a port that won't close; the process ends.
  }
  out.Close();
}

void ProbePair(Facts& facts) {
  midi::CMIDIOutDevice out;
  midi::CMIDIInDevice in;
  OpenPair(facts, out, in);
  ClosePair(out, in);
}

// ---- The check as text -------------------------------------------------------

const char* DirectionWord(bool output) { return output ? "output" : "input"; }

std::string Why(const Device& device, const char* direction, int chosen) {
  switch (device.kind) {
    case NameKind::kAccepted:
      if (static_cast<int>(device.index) == chosen)
        return "accepted: the plug-in attaches to this one";
      return std::string("accepted, but passed over: the plug-in takes the last of them, ") +
             direction + " " + std::to_string(chosen);
    case NameKind::kPrefixed:
      return "passed over: holds \"Quillmote\" but does not begin with it (Windows names a second "
             "identical device \"2- ...\")";
    case NameKind::kLetterCase:
      return "passed over: \"Quillmote\" in other letter case; the name must begin with "
             "\"Quillmote\" exactly";
    case NameKind::kUnreadable:
      return "passed over: the system would not describe it: " + device.error;
    case NameKind::kOther:
      break;
  }
  return "";
}

void PrintDevices(std::ostream& out, const char* title, const char* direction,
                  const std::vector<Device>& devices, int chosen) {
  out << title << ":\n";
  if (devices.empty()) out << "  (none)\n";
  for (const Device& device : devices) {
    char line[64];
    std::snprintf(line, sizeof line, "  %2u  %-32s", device.index,
                  ("\"" + device.name + "\"").c_str());
    std::string text = line;
    const std::string why = Why(device, direction, chosen);
    if (!why.empty()) text += "  " + why;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  }
}

bool HasKind(const std::vector<Device>& devices, NameKind kind) {
  for (const Device& device : devices) {
    if (device.kind == kind) return true;
  }
  return false;
}

void PrintOpen(std::ostream& out, bool output, const Device& device, const OpenResult& open) {
  out << "Opening " << DirectionWord(output) << " " << device.index << " \"" << device.name
      << "\": ";
  if (open.ok) {
    out << "ready.\n";
  } else if (open.result == MMSYSERR_ALLOCATED) {
    out << "in use by another program.\n"
           "  Close the other program that uses the surface; the host's own MIDI settings may\n"
           "  hold it too (untick the Quillmote ports there: the plug-in opens them itself).\n";
  } else {
    out << "failed. The driver says: " << open.text << "\n";
  }
}

void PrintCheck(std::ostream& out, const Facts& facts) {
  PrintDevices(out, "MIDI outputs", "output", facts.outputs, facts.output);
  PrintDevices(out, "MIDI inputs", "input", facts.inputs, facts.input);
  out << "\n";
  if (facts.output == -1 || facts.input == -1) {
    if (facts.output == -1 && facts.input == -1) {
      out << "Not found: no MIDI output and no MIDI input has a name that begins with "
             "\"Quillmote\".\n";
    } else {
      const bool outputMissing = facts.output == -1;
      out << "Not found: the surface answers on one port but not the other. MIDI "
          << DirectionWord(!outputMissing) << " " << (outputMissing ? facts.input : facts.output)
          << " is the surface's, but no MIDI " << DirectionWord(outputMissing)
          << " has a name that begins with \"Quillmote\". The plug-in needs both.\n";
    }
    const bool renamed = HasKind(facts.outputs, NameKind::kPrefixed) ||
                         HasKind(facts.inputs, NameKind::kPrefixed) ||
                         HasKind(facts.outputs, NameKind::kLetterCase) ||
                         HasKind(facts.inputs, NameKind::kLetterCase);
    if (renamed) {
      out << "A port listed above looks like the surface under a name the driver changed.\n"
             "Unplug other Quillmote surfaces, remove the surface's old entries in Device\n"
             "Manager and plug it in again, so that Windows names its ports \"Quillmote ...\".\n";
    } else {
      out << "Connect the surface and switch it on, check its cable, and run quillmote-check\n"
             "again. If it still isn't listed, reinstall the surface's driver.\n";
    }
    return;
  }
  out << "The plug-in attaches to output " << facts.output << " and input " << facts.input << ".\n";
  PrintOpen(out, true, facts.outputs[static_cast<std::size_t>(facts.output)], facts.openOutput);
  PrintOpen(out, false, facts.inputs[static_cast<std::size_t>(facts.input)], facts.openInput);
  out << "\n";
  if (facts.Status() == kReady) {
    out << "Ready: the plug-in will drive the surface.\n";
  } else {
    out << "Not usable: the surface is there but the plug-in could not open it.\n";
  }
}

const char* StatusKey(int status) {
  switch (status) {
    case kReady:
      return "ready";
    case kNotFound:
      return "not-found";
    default:
      return "not-usable";
  }
}

void JsonDevices(std::ostream& out, const std::vector<Device>& devices) {
  out << "[";
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const Device& device = devices[i];
    out << (i == 0 ? "" : ",") << "\n    {\"index\": " << device.index
        << ", \"name\": " << Quoted(device.name)
        << ", \"accepted\": " << (device.kind == NameKind::kAccepted ? "true" : "false")
        << ", \"name_check\": " << Quoted(KindKey(device.kind));
    if (!device.error.empty()) out << ", \"error\": " << Quoted(device.error);
    out << "}";
  }
  out << (devices.empty() ? "]" : "\n  ]");
}

void JsonOpen(std::ostream& out, const OpenResult& open) {
  if (!open.tried) {
    out << "null";
    return;
  }
  out << "{\"ok\": " << (open.ok ? "true" : "false") << ", \"result\": " << open.result
      << ", \"in_use\": " << (open.result == MMSYSERR_ALLOCATED ? "true" : "false")
      << ", \"text\": " << Quoted(open.text) << "}";
}

std::string Index(int index) { return index == -1 ? "null" : std::to_string(index); }

// The check's facts as the members of one object, without its braces.
void JsonCheckMembers(std::ostream& out, const Facts& facts) {
  out << "  \"program\": \"" << kProgram << "\",\n  \"version\": \"" << QM_VERSION << "\",\n";
  out << "  \"outputs\": ";
  JsonDevices(out, facts.outputs);
  out << ",\n  \"inputs\": ";
  JsonDevices(out, facts.inputs);
  out << ",\n  \"output\": " << Index(facts.output) << ",\n  \"input\": " << Index(facts.input)
      << ",\n  \"open_output\": ";
  JsonOpen(out, facts.openOutput);
  out << ",\n  \"open_input\": ";
  JsonOpen(out, facts.openInput);
  out << ",\n  \"status\": " << Quoted(StatusKey(facts.Status()))
      << ",\n  \"exit\": " << facts.Status();
}

int RunCheck(const Options& options, std::ostream& out) {
  Facts facts = Survey();
  if (facts.Status() != kNotFound) ProbePair(facts);
  if (options.json) {
    out << "{\n";
    JsonCheckMembers(out, facts);
    out << "\n}\n";
  } else {
    PrintCheck(out, facts);
  }
  return facts.Status();
}

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

constexpr BYTE kNoteOn = 0x90;
constexpr BYTE kControlChange = 0xB0;
constexpr BYTE kWheelController = 60;

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
  char frame[48] = {static_cast<char>(0xF0), 0x00, 0x01, 0x40, 0x10, 0x00, 0x00};
  std::memcpy(frame + 7, cells, 40);
  frame[47] = static_cast<char>(0xF7);
  midi::CLongMsg message(frame, sizeof frame);
  message.SendTo(out);
}

void SetLamp(midi::CMIDIOutDevice& out, BYTE note, bool on) {
  midi::CShortMsg(kNoteOn, 0, note, on ? 127 : 0, 0).SendTo(out);
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
  for (const Control& lamp : kLamps) attempt([&] { SetLamp(out, lamp.note, false); });
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

int RunTest(const Options& options, std::ostream& out, std::ostream& err,
            const std::atomic<bool>& stop) {
  Facts facts = Survey();
  if (facts.Status() == kNotFound) {
    if (options.json) {
      out << "{\n";
      JsonCheckMembers(out, facts);
      out << "\n}\n";
    } else {
      PrintCheck(out, facts);
    }
    return kNotFound;
  }
  midi::CMIDIOutDevice port;
  midi::CMIDIInDevice input;
  CInputLog log;
  input.SetReceiver(&log);
  OpenPair(facts, port, input);
  if (facts.Status() != kReady) {
    ClosePair(port, input);
    if (options.json) {
      out << "{\n";
      JsonCheckMembers(out, facts);
      out << "\n}\n";
    } else {
      PrintCheck(out, facts);
    }
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
      SetLamp(port, lamp.note, true);
      const bool going = Wait(kLampMilliseconds, stop, session, log);
      SetLamp(port, lamp.note, false);
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

// ---- The bindings ------------------------------------------------------------

struct Binding {
  const BindingSlot* slot;
  std::string command;
  bool stored = false;
  bool unusable = false;  // a value is stored but is not a name the plug-in can use
};

int RunBindings(const Options& options, std::ostream& out, std::ostream& err) {
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyA(HKEY_CURRENT_USER, kBindingsKey, &key);
  if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
    err << kProgram << ": couldn't read the bindings (registry error " << opened
        << "); the plug-in uses the default bindings while it can't\n";
    return kNotUsable;
  }
  std::vector<Binding> bindings;
  for (const BindingSlot& slot : BindingTable) {
    Binding binding{&slot, slot.m_defaultName};
    char stored[kCommandNameSize];
    if (opened == ERROR_SUCCESS && ReadStoredName(key, slot.m_valueName, stored) &&
        stored[0] != 0) {
      binding.command = stored;
      binding.stored = true;
    } else if (opened == ERROR_SUCCESS) {
      DWORD type = 0;
      const LONG exists = RegQueryValueExA(key, slot.m_valueName, nullptr, &type, nullptr, nullptr);
      binding.unusable = exists == ERROR_SUCCESS || exists == ERROR_MORE_DATA;
    }
    bindings.push_back(std::move(binding));
  }
  if (opened == ERROR_SUCCESS) RegCloseKey(key);

  const std::string where = std::string("HKEY_CURRENT_USER\\") + kBindingsKey;
  if (options.json) {
    out << "{\n  \"program\": \"" << kProgram << "\",\n  \"version\": \"" << QM_VERSION
        << "\",\n  \"key\": " << Quoted(where) << ",\n  \"bindings\": [";
    for (std::size_t i = 0; i < bindings.size(); ++i) {
      const Binding& binding = bindings[i];
      out << (i == 0 ? "" : ",") << "\n    {\"input\": " << Quoted(binding.slot->m_valueName)
          << ", \"command\": " << Quoted(binding.command)
          << ", \"source\": " << (binding.stored ? "\"stored\"" : "\"default\"")
          << ", \"unusable_value\": " << (binding.unusable ? "true" : "false") << "}";
    }
    out << "\n  ]\n}\n";
    return kReady;
  }
  out << "Bindings of this user (" << where << "):\n";
  for (const Binding& binding : bindings) {
    char line[256];
    std::snprintf(line, sizeof line, "  %-13s %-42s %s", binding.slot->m_valueName,
                  ("\"" + binding.command + "\"").c_str(), binding.stored ? "stored" : "default");
    out << line << (binding.unusable ? " (the stored value is not a name)" : "") << "\n";
  }
  out << "A stored command that the host does not have runs the default instead.\n";
  return kReady;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const std::atomic<bool>& stop) {
  Options options;
  try {
    options = ParseOptions(args);
  } catch (const std::invalid_argument& e) {
    err << kProgram << ": " << e.what() << "\n"
        << "Try 'quillmote-check --help'.\n";
    return kBadInput;
  }
  int status = kReady;
  try {
    switch (options.mode) {
      case Mode::kHelp:
        out << kUsage;
        break;
      case Mode::kVersion:
        out << kProgram << " " << QM_VERSION << "\n";
        break;
      case Mode::kBindings:
        status = RunBindings(options, out, err);
        break;
      case Mode::kTest:
        status = RunTest(options, out, err, stop);
        break;
      case Mode::kCheck:
        status = RunCheck(options, out);
        break;
    }
  } catch (const std::exception& e) {
    err << kProgram << ": " << e.what() << "\n";
    status = kNotUsable;
  }
  out.flush();
  return status;
}

}  // namespace qmcheck
