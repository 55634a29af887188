// quillmote-desk: the plug-in library with a simulated host and an emulated
// surface, in a terminal or driven by a script.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "plugin.h"
#include "script.h"
#include "session.h"
#include "tui.h"

#ifndef QM_DESK_DEFAULT_PLUGIN
#define QM_DESK_DEFAULT_PLUGIN "libquillmote.so"
#endif

namespace {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kCannotStart = 1;   // no plug-in, no usable terminal
constexpr int kBadUsage = 2;      // bad arguments or script lines
constexpr int kScriptFailed = 3;  // a script line that could not run

const char kUsage[] =
    "usage: quillmote-desk [--plugin PATH] [--script FILE | --demo] [--no-surface]\n"
    "\n"
    "Runs the Quillmote plug-in with a simulated host and surface.\n"
    "  --plugin PATH   the plug-in library (default: the one built with the desk)\n"
    "  --script FILE   plays the script FILE (- for standard input) and prints\n"
    "                  the traffic and host calls it causes\n"
    "  --demo          plays the built-in demo script; the default without a terminal\n"
    "  --print-demo    prints the demo script, a start for scripts of your own\n"
    "  --no-surface    the simulated system has no Quillmote ports\n"
    "Without --script or --demo, and with a terminal, the desk is interactive.\n";

void Fail(const std::string& message) { std::cerr << "quillmote-desk: " << message << "\n"; }

int RunScript(desk::PluginLibrary& plugin, const std::string& name, std::istream& in,
              bool withSurface) {
  std::vector<desk::Command> commands;
  std::string error;
  if (!desk::ParseScript(in, name, &commands, &error)) {
    Fail(error);
    return kBadUsage;
  }
  desk::Log log([](desk::Source source, const std::string& text) {
    std::cout << desk::SourceTag(source) << text << "\n";
  });
  int status = kOk;
  {
    desk::Session session(log, plugin, true);
    session.Start(withSurface);
    for (const desk::Command& command : commands) {
      log.Add(desk::Source::kScript,
              command.kind == desk::Command::kComment ? command.line : "> " + command.line);
      if (command.line.empty()) continue;
      if (!session.Run(command, &error)) {
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
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pluginPath = QM_DESK_DEFAULT_PLUGIN;
  std::string scriptPath;
  bool demo = false;
  bool withSurface = true;
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

  // The script is read before anything starts, so that a typo costs nothing.
  std::ifstream file;
  if (!scriptPath.empty() && scriptPath != "-") {
    file.open(scriptPath);
    if (!file) {
      Fail("cannot open the script " + scriptPath + ": " + std::strerror(errno));
      return kBadUsage;
    }
  }

  desk::PluginLibrary plugin;
  std::string error;
  if (!plugin.Load(pluginPath, &error)) {
    Fail(error);
    return kCannotStart;
  }

  if (!scriptPath.empty()) {
    if (scriptPath == "-") return RunScript(plugin, "<stdin>", std::cin, withSurface);
    return RunScript(plugin, scriptPath, file, withSurface);
  }
  if (demo || !isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    std::istringstream script(desk::DemoScript());
    return RunScript(plugin, "demo", script, withSurface);
  }
  return desk::RunTerminal(plugin, withSurface);
}
