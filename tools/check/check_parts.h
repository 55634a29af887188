// What the doctor's parts share: the survey and the check (check.cpp) and
// the test mode (check_test_mode.cpp).
#ifndef QUILLMOTE_TOOLS_CHECK_CHECK_PARTS_H
#define QUILLMOTE_TOOLS_CHECK_CHECK_PARTS_H

#include <windows.h>

#include <mmsystem.h>

#include <atomic>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "midi/in_device.h"
#include "midi/out_device.h"
#include "tools/check/check.h"

namespace qmcheck::detail {

constexpr char kProgram[] = "quillmote-check";
constexpr char kSurfaceWord[] = "Quillmote";
constexpr unsigned kMaxSeconds = 86400;
// How long each lamp stays lit in the test mode, and how often the test
// mode looks for input and for its end.
constexpr DWORD kLampMilliseconds = 300;
constexpr DWORD kPollMilliseconds = 20;

enum class Mode { kCheck, kTest, kBindings, kVersion, kHelp };

struct Options {
  Mode mode = Mode::kCheck;
  bool json = false;
  std::optional<unsigned> seconds;
};

// How a device's name stands to the plug-in's test.
enum class NameKind {
  kAccepted,    // begins with "Quillmote": the plug-in takes it
  kPrefixed,    // holds "Quillmote" further in, as in Windows' "2- Quillmote ..."
  kLetterCase,  // "Quillmote" in other letter case
  kOther,       // not the surface
  kUnreadable,  // the system would not describe the device
};

struct Device {
  unsigned index = 0;
  std::string name;
  NameKind kind = NameKind::kOther;
  std::string error;  // why the system would not describe it
};

// What became of opening one of the pair.
struct OpenResult {
  bool tried = false;
  bool ok = false;
  MMRESULT result = MMSYSERR_NOERROR;
  std::string text;  // the driver's own text of the result
};

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

// A JSON string for the text.
std::string Quoted(const std::string& text);
// The devices and the pair the plug-in's own search takes.
Facts Survey();
// Opens both ports of the pair (each tried whatever became of the other).
void OpenPair(Facts& facts, midi::CMIDIOutDevice& out, midi::CMIDIInDevice& in);
void ClosePair(midi::CMIDIOutDevice& out, midi::CMIDIInDevice& in);
// Opens the pair and closes it again, noting what became of each.
void ProbePair(Facts& facts);
void PrintCheck(std::ostream& out, const Facts& facts);
void JsonCheckMembers(std::ostream& out, const Facts& facts);
// The check's report as text or, with --json, as one JSON object.
void ReportCheck(std::ostream& out, const Facts& facts, bool json);
// The names of a device's kind in the JSON output.
const char* KindKey(NameKind kind);
// The check itself: list, say which pair, try it; the exit status.
int RunCheck(const Options& options, std::ostream& out);
// The test mode, until `stop` or the options' seconds.
int RunTest(const Options& options, std::ostream& out, std::ostream& err,
            const std::atomic<bool>& stop);

}  // namespace qmcheck::detail

#endif
