// The doctor's report of a check: as text for the user and as JSON for a
// bug report.
#include <windows.h>

#include <cstdio>
#include <sstream>

#include "tools/check/check_parts.h"

namespace qmcheck::detail {

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

void ReportCheck(std::ostream& out, const Facts& facts, bool json) {
  if (json) {
    out << "{\n";
    JsonCheckMembers(out, facts);
    out << "\n}\n";
  } else {
    PrintCheck(out, facts);
  }
}

int RunCheck(const Options& options, std::ostream& out) {
  Facts facts = Survey();
  if (facts.Status() != kNotFound) ProbePair(facts);
  ReportCheck(out, facts, options.json);
  return facts.Status();
}

}  // namespace qmcheck::detail
