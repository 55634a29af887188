#include "script.h"

#include <charconv>
#include <cmath>

#include "bindings_dialog.h"
#include "surface.h"

namespace desk {

namespace {

constexpr int kTracks = 128;
constexpr double kMinVolume = -160.0;
constexpr double kMaxVolume = 24.0;
constexpr int kMaxPan = 100;
constexpr std::size_t kMaxNameLength = 63;

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::string Quoted(std::string_view word) { return "\"" + std::string(word) + "\""; }

bool ParseInt(std::string_view word, int* value) {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return ec == std::errc() && end == word.data() + word.size() && !word.empty();
}

// Locale-independent, whatever the terminal's settings.
bool ParseDouble(std::string_view word, double* value) {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return ec == std::errc() && end == word.data() + word.size() && !word.empty() &&
         std::isfinite(*value);
}

// "200ms", "2s", "1.5s".
bool ParseDuration(std::string_view word, int64_t* ms) {
  double scale = 0.0;
  if (word.size() > 2 && word.substr(word.size() - 2) == "ms") {
    scale = 1.0;
    word.remove_suffix(2);
  } else if (word.size() > 1 && word.back() == 's') {
    scale = 1000.0;
    word.remove_suffix(1);
  } else {
    return false;
  }
  double amount = 0.0;
  if (!ParseDouble(word, &amount) || amount < 0.0 || amount > 86400.0) return false;
  *ms = static_cast<int64_t>(std::llround(amount * scale));
  return true;
}

// "HH:MM:SS", "MM:SS" or "SS", each with an optional fraction of a second.
bool ParseClock(std::string_view word, int64_t* ms) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= word.size(); ++i) {
    if (i == word.size() || word[i] == ':') {
      parts.push_back(word.substr(start, i - start));
      start = i + 1;
    }
  }
  if (parts.size() > 3) return false;
  double seconds = 0.0;
  if (!ParseDouble(parts.back(), &seconds) || seconds < 0.0) return false;
  if (parts.size() > 1 && seconds >= 60.0) return false;
  int64_t total = std::llround(seconds * 1000.0);
  int64_t scale = 60000;
  for (std::size_t i = parts.size() - 1; i-- > 0;) {
    int unit = 0;
    if (!ParseInt(parts[i], &unit) || unit < 0 || (i > 0 && unit >= 60)) return false;
    total += unit * scale;
    scale *= 60;
  }
  *ms = total;
  return true;
}

bool ParseTrack(std::string_view word, int* track) {
  int number = 0;
  if (!ParseInt(word, &number) || number < 1 || number > kTracks) return false;
  *track = number - 1;
  return true;
}

// The text after the first `skip` words, with surrounding quotes taken off.
std::string RestOfLine(std::string_view line, std::size_t skip) {
  std::size_t i = 0;
  for (std::size_t word = 0; word < skip; ++word) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
  }
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  std::string_view rest = line.substr(i);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r')) {
    rest.remove_suffix(1);
  }
  if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
    rest = rest.substr(1, rest.size() - 2);
  }
  return std::string(rest);
}

bool ParseHost(std::string_view line, const std::vector<std::string_view>& words, Command* command,
               std::string* error) {
  static const char kHostUsage[] =
      "expected a host command after \"host\": track N, play, play loop, stop, record, "
      "volume N DB, pan N P, flag N 15|16|19, name N TEXT, levels A B, time HH:MM:SS, reload";
  if (words.size() < 2) {
    *error = kHostUsage;
    return false;
  }
  const std::string_view op = words[1];
  const std::size_t count = words.size();
  const auto usage = [&](const char* expected) {
    *error = std::string("expected ") + expected;
    return false;
  };
  const auto trackArgument = [&](const char* expected) {
    if (count < 3 || !ParseTrack(words[2], &command->track)) {
      *error = std::string("expected ") + expected + "; tracks are numbered 1 to " +
               std::to_string(kTracks);
      return false;
    }
    return true;
  };
  command->kind = Command::kHost;
  if (op == "track") {
    command->hostOp = Command::kTrack;
    if (count != 3) return usage("\"host track N\", a track number from 1");
    return trackArgument("\"host track N\", a track number from 1");
  }
  if (op == "play") {
    if (count == 2) {
      command->hostOp = Command::kPlay;
      return true;
    }
    if (count == 3 && words[2] == "loop") {
      command->hostOp = Command::kPlayLooped;
      return true;
    }
    return usage("\"host play\" or \"host play loop\"");
  }
  if (op == "stop" || op == "record" || op == "reload") {
    if (count != 2)
      return usage(("\"host " + std::string(op) + "\" with nothing after it").c_str());
    command->hostOp = op == "stop"     ? Command::kStop
                      : op == "record" ? Command::kRecord
                                       : Command::kReload;
    return true;
  }
  if (op == "volume") {
    command->hostOp = Command::kVolume;
    static const char kUsage[] = "\"host volume N DB\", e.g. \"host volume 2 -6.5\"";
    if (count != 4 || !trackArgument(kUsage)) return count != 4 ? usage(kUsage) : false;
    if (!ParseDouble(words[3], &command->value1) || command->value1 < kMinVolume ||
        command->value1 > kMaxVolume) {
      return usage("a volume in dB from -160 to 24 after the track number");
    }
    return true;
  }
  if (op == "pan") {
    command->hostOp = Command::kPan;
    static const char kUsage[] = "\"host pan N P\", P from -100 (left) to 100 (right)";
    if (count != 4 || !trackArgument(kUsage)) return count != 4 ? usage(kUsage) : false;
    int pan = 0;
    if (!ParseInt(words[3], &pan) || pan < -kMaxPan || pan > kMaxPan) return usage(kUsage);
    command->value1 = pan;
    return true;
  }
  if (op == "flag") {
    command->hostOp = Command::kFlag;
    static const char kUsage[] = "\"host flag N F\", F one of 15, 16, 19";
    if (count != 4 || !trackArgument(kUsage)) return count != 4 ? usage(kUsage) : false;
    if (!ParseInt(words[3], &command->flag) ||
        (command->flag != 15 && command->flag != 16 && command->flag != 19)) {
      return usage(kUsage);
    }
    return true;
  }
  if (op == "name") {
    command->hostOp = Command::kName;
    static const char kUsage[] = "\"host name N TEXT\", a name of at most 63 characters";
    if (count < 4 || !trackArgument(kUsage)) return count < 4 ? usage(kUsage) : false;
    command->text = RestOfLine(line, 3);
    if (command->text.empty() || command->text.size() > kMaxNameLength) return usage(kUsage);
    return true;
  }
  if (op == "levels") {
    command->hostOp = Command::kLevels;
    if (count != 4 || !ParseDouble(words[2], &command->value1) ||
        !ParseDouble(words[3], &command->value2)) {
      return usage("\"host levels A B\", two levels where 1.0 is a full meter");
    }
    return true;
  }
  if (op == "time") {
    command->hostOp = Command::kTime;
    if (count != 3 || !ParseClock(words[2], &command->ms)) {
      return usage("\"host time HH:MM:SS\", e.g. \"host time 00:01:02\" or \"host time 1:02.5\"");
    }
    return true;
  }
  *error = "unknown host command " + Quoted(op) + "; " + kHostUsage;
  return false;
}

}  // namespace

bool ParseLine(std::string_view line, Command* command, std::string* error) {
  *command = Command{};
  command->line = std::string(line);
  while (!command->line.empty() && (command->line.back() == '\r' || command->line.back() == ' ')) {
    command->line.pop_back();
  }
  const std::vector<std::string_view> words = Words(command->line);
  if (words.empty() || words.front().front() == '#') {
    command->kind = Command::kComment;
    return true;
  }
  const std::string_view verb = words.front();
  const std::size_t count = words.size();

  if (verb == "press" || verb == "release" || verb == "tap") {
    command->kind = verb == "press"     ? Command::kPress
                    : verb == "release" ? Command::kRelease
                                        : Command::kTap;
    if (count != 2) {
      *error = "expected one button name after " + Quoted(verb) + ", one of: " + ButtonNames();
      return false;
    }
    const Button* button = FindButton(words[1]);
    if (button == nullptr) {
      *error = "unknown button " + Quoted(words[1]) + "; expected one of: " + ButtonNames();
      return false;
    }
    command->note = button->note;
    command->button = button->name;
    return true;
  }
  if (verb == "wheel") {
    command->kind = Command::kWheel;
    if (count != 2 || !ParseInt(words[1], &command->steps) || command->steps < -kMaxWheelSteps ||
        command->steps > kMaxWheelSteps) {
      *error = "expected \"wheel STEPS\", a whole number from -63 to 63";
      return false;
    }
    return true;
  }
  if (verb == "host") return ParseHost(command->line, words, command, error);
  if (verb == "wait") {
    command->kind = Command::kWait;
    if (count != 2 || !ParseDuration(words[1], &command->ms)) {
      *error = "expected \"wait TIME\" with a unit, e.g. \"wait 200ms\" or \"wait 2s\"";
      return false;
    }
    return true;
  }
  if (verb == "bind") {
    command->kind = Command::kBind;
    if (count < 3 || (command->slot = FindSlot(words[1])) < 0) {
      *error = "expected \"bind SLOT COMMAND\", SLOT one of: " + SlotTokens();
      return false;
    }
    command->text = RestOfLine(command->line, 2);
    return true;
  }
  const struct {
    const char* word;
    Command::Kind kind;
  } kSingles[] = {
      {"open", Command::kOpen}, {"close", Command::kClose}, {"bindings", Command::kBindings}};
  for (const auto& single : kSingles) {
    if (verb != single.word) continue;
    command->kind = single.kind;
    if (count != 1) {
      *error = "expected nothing after " + Quoted(verb);
      return false;
    }
    return true;
  }
  *error = "unknown command " + Quoted(verb) +
           "; expected press, release, tap, wheel, host, wait, open, close, bindings, bind "
           "or a # comment";
  return false;
}

bool ParseScript(std::istream& in, const std::string& name, std::vector<Command>* commands,
                 std::string* error) {
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    Command command;
    std::string why;
    if (!ParseLine(line, &command, &why)) {
      *error = name + ":" + std::to_string(number) + ": " + why;
      return false;
    }
    command.lineNumber = number;
    commands->push_back(std::move(command));
  }
  if (in.bad()) {
    *error = name + ": cannot be read";
    return false;
  }
  return true;
}

const char* DemoScript() {
  return R"(# The desk's demo: the plug-in with a simulated host and surface.
# Pick the fourth track on the host, then step to the next one from the surface.
host track 4
tap TRACK-R
# Play: the host reports the running time and levels.
tap PLAY
wait 500ms
tap STOP
# SHIFT + PLAY runs the command bound to it; SHIFT + wheel sets the volume.
press SHIFT
tap PLAY
wheel -3
release SHIFT
# Loop mode: the LOOP lamp, then a looped play.
tap LOOP
tap PLAY
wait 300ms
tap STOP
tap LOOP
)";
}

}  // namespace desk
