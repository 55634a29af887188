// quillmote-desk: the plug-in library with a simulated host and an emulated
// surface, in a terminal or driven by a script.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "native_machine.h"
#include "plugin.h"
#include "script.h"
#include "session.h"
#include "tui.h"
#include "wine_machine.h"

#ifndef QM_DESK_DEFAULT_PLUGIN
#define QM_DESK_DEFAULT_PLUGIN "libquillmote.so"
#endif
#ifndef QM_DESK_DEFAULT_WINDOWS_BUILD
#define QM_DESK_DEFAULT_WINDOWS_BUILD "build-windows"
#endif

namespace {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kCannotStart = 1;   // no plug-in, no usable terminal
constexpr int kBadUsage = 2;      // bad arguments or script lines
constexpr int kScriptFailed = 3;  // a script line that could not run

const char kUsage[] =
    "usage: quillmote-desk [--wine [--windows-build DIR]] [--plugin PATH]\n"
    "                      [--script FILE | --demo] [--no-surface]\n"
    "                      [--late-callbacks MS] [--wire-rate BYTES_PER_SECOND]\n"
    "\n"
    "Runs the Quillmote plug-in with a simulated host and surface.\n"
    "  --plugin PATH   the plug-in library (default: the one built with the desk;\n"
    "                  with --wine, Quillmote1_5.cv2 of the windows build)\n"
    "  --wine          runs the real Windows DLL under Wine instead, through\n"
    "                  quillmote-bridge.exe on the simulated MIDI system\n"
    "  --windows-build DIR  the windows build that --wine takes the bridge, the\n"
    "                  test winmm.dll and the DLL from, and its Wine prefix\n"
    "                  (DIR/wineprefix); default " QM_DESK_DEFAULT_WINDOWS_BUILD
    "\n"
    "  --script FILE   plays the script FILE (- for standard input) and prints\n"
    "                  the traffic and host calls it causes\n"
    "  --demo          plays the built-in demo script; the default without a terminal\n"
    "  --print-demo    prints the demo script, a start for scripts of your own\n"
    "  --no-surface    the simulated system has no Quillmote ports\n"
    "  --late-callbacks MS  the simulated system calls back as real drivers do:\n"
    "                  every callback MS milliseconds (0 to 1000) late, and the\n"
    "                  close calls do not wait for it\n"
    "  --wire-rate BYTES_PER_SECOND  the surface's cable carries this many bytes\n"
    "                  a second (a MIDI DIN cable 3125; 100 to 1000000), so that\n"
    "                  you see the surface keep up while you scroll\n"
    "Without --script or --demo, and with a terminal, the desk is interactive.\n";

void Fail(const std::string& message) { std::cerr << "quillmote-desk: " << message << "\n"; }

int RunScript(desk::Machine& machine, const std::string& name,
              const std::vector<desk::Command>& commands, bool withSurface) {
  std::string error;
  desk::Log log([](desk::Source source, const std::string& text) {
    std::cout << desk::SourceTag(source) << text << "\n";
  });
  int status = kOk;
  {
    desk::Session session(log, machine, true);
    session.Start(withSurface);
    for (const desk::Command& command : commands) {
      log.Add(desk::Source::kScript,
              command.kind == desk::Command::kComment ? command.line : "> " + command.line);
      if (command.line.empty()) continue;
      const bool ran = session.Run(command, &error);
      if (std::string why; ran && machine.Lost(&why)) {
        log.Flush();
        std::cout.flush();
        Fail(name + ":" + std::to_string(command.lineNumber) + ": " + why);
        status = kScriptFailed;
        break;
      }
      if (!ran) {
        log.Flush();
        std::cout.flush();
        Fail(name + ":" + std::to_string(command.lineNumber) + ": " + error);
        status = kScriptFailed;
        break;
      }
    }
    session.Finish();
  }
  std::cout.flush();
  if (std::string why; status == kOk && machine.Lost(&why)) {
    Fail(name + ": " + why);
    status = kScriptFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pluginPath;
  std::string scriptPath;
  std::string windowsBuild = QM_DESK_DEFAULT_WINDOWS_BUILD;
  bool demo = false;
  bool withSurface = true;
  bool wine = false;
  bool windowsBuildGiven = false;
  int lateCallbacks = -1;
  unsigned wireRate = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        Fail(arg + " needs a value\n" + kUsage);
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (arg == "--plugin") {
      if (!value(&pluginPath)) return kBadUsage;
    } else if (arg == "--script") {
      if (!value(&scriptPath)) return kBadUsage;
    } else if (arg == "--demo") {
      demo = true;
    } else if (arg == "--print-demo") {
      std::cout << desk::DemoScript();
      return kOk;
    } else if (arg == "--no-surface") {
      withSurface = false;
    } else if (arg == "--late-callbacks") {
      std::string text;
      if (!value(&text)) return kBadUsage;
      char* end = nullptr;
      const long ms = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || ms < 0 || ms > 1000) {
        Fail("--late-callbacks takes milliseconds from 0 to 1000, not \"" + text + "\"");
        return kBadUsage;
      }
      lateCallbacks = static_cast<int>(ms);
    } else if (arg == "--wire-rate") {
      std::string text;
      if (!value(&text)) return kBadUsage;
      char* end = nullptr;
      const long rate = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || rate < 100 || rate > 1000000) {
        Fail("--wire-rate takes bytes a second from 100 to 1000000 (a DIN cable: 3125), not \"" +
             text + "\"");
        return kBadUsage;
      }
      wireRate = static_cast<unsigned>(rate);
    } else if (arg == "--wine") {
      wine = true;
    } else if (arg == "--windows-build") {
      if (!value(&windowsBuild)) return kBadUsage;
      windowsBuildGiven = true;
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return kOk;
    } else {
      Fail("unknown argument \"" + arg + "\"\n" + kUsage);
      return kBadUsage;
    }
  }
  if (demo && !scriptPath.empty()) {
    Fail("--demo and --script exclude each other");
    return kBadUsage;
  }
  if (windowsBuildGiven && !wine) {
    Fail("--windows-build goes with --wine");
    return kBadUsage;
  }

  // The script is read before anything starts, so that a typo costs nothing.
  const bool interactive =
      scriptPath.empty() && !demo && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  std::string scriptName;
  std::vector<desk::Command> commands;
  if (!interactive) {
    std::ifstream file;
    std::istringstream builtIn;
    std::istream* in = &builtIn;
    if (scriptPath.empty()) {
      scriptName = "demo";
      builtIn.str(desk::DemoScript());
    } else if (scriptPath == "-") {
      scriptName = "<stdin>";
      in = &std::cin;
    } else {
      scriptName = scriptPath;
      file.open(scriptPath);
      if (!file) {
        Fail("cannot open the script " + scriptPath + ": " + std::strerror(errno));
        return kBadUsage;
      }
      in = &file;
    }
    std::string error;
    if (!desk::ParseScript(*in, scriptName, &commands, &error)) {
      Fail(error);
      return kBadUsage;
    }
  }

  desk::PluginLibrary library;
  std::unique_ptr<desk::Machine> machine;
  std::string error;
  if (wine) {
    desk::WineSetup setup;
    setup.windowsBuild = windowsBuild;
    setup.plugin = pluginPath;
    auto wineMachine = std::make_unique<desk::WineMachine>();
    if (!wineMachine->Start(setup, &error)) {
      Fail(error);
      return kCannotStart;
    }
    machine = std::move(wineMachine);
  } else {
    if (!library.Load(pluginPath.empty() ? QM_DESK_DEFAULT_PLUGIN : pluginPath, &error)) {
      Fail(error);
      return kCannotStart;
    }
    machine = std::make_unique<desk::NativeMachine>(library);
  }

  machine->SetLateCallbacks(lateCallbacks);
  machine->SetWireRate(wireRate);
  if (!interactive) return RunScript(*machine, scriptName, commands, withSurface);
  return desk::RunTerminal(*machine, withSurface);
}
