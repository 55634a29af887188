#include "table.h"

#include <set>
#include <sstream>

namespace faultmatrix {

std::string Cell(const std::vector<std::string>& lines) {
  std::string text;
  for (std::string line : lines) {
    while (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.empty()) continue;
    for (char& ch : line) {
      if (ch == '\n') ch = ' ';
      if (ch == '|') ch = '/';
    }
    if (!text.empty()) text += "<br>";
    text += "\"" + line + "\"";
  }
  return text.empty() ? "none" : text;
}

// How many headers a refused unprepare keeps depends on how the worker's
// releases fell; the table says only what was kept.
std::string LeftAfterClose(const Outcome& out) {
  std::vector<std::string> left;
  if (out.devicesLeft != 0) left.push_back("device open");
  if (out.headersLeft != 0) left.push_back("headers prepared");
  if (out.pendingLeft != 0) left.push_back("headers pending");
  if (left.empty()) return "nothing";
  std::string text = left.front();
  for (size_t i = 1; i < left.size(); ++i) text += ", " + left[i];
  return text;
}

std::string NextOpen(const Outcome& out) {
  if (out.worksAgain && out.reopenDebugLines.empty()) return "attaches, works";
  std::ostringstream text;
  text << "OpenController " << out.reopen << (out.worksAgain ? ", works" : ", does not work");
  if (!out.reopenDebugLines.empty()) text << ": " << Cell(out.reopenDebugLines);
  return text.str();
}

std::string ChangedLines(const std::string& committed, const std::string& generated) {
  auto lines = [](const std::string& text) {
    std::multiset<std::string> set;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) set.insert(line);
    return set;
  };
  const auto before = lines(committed);
  const auto after = lines(generated);
  std::string changes;
  for (const auto& line : before) {
    if (after.count(line) < before.count(line)) changes += "committed: " + line + "\n";
  }
  for (const auto& line : after) {
    if (before.count(line) < after.count(line)) changes += "generated: " + line + "\n";
  }
  return changes;
}

}  // namespace faultmatrix
