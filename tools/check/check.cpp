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
#include "tools/check/check_parts.h"

#ifndef QM_VERSION
#error "QM_VERSION names the project's version"
#endif

namespace qmcheck {
namespace detail {

// ---- Options ---------------------------------------------------------------

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

}  // namespace detail

using namespace detail;

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
