#include "log.h"

#include <algorithm>
#include <functional>
#include <thread>

namespace desk {

const char* SourceTag(Source source) {
  switch (source) {
    case Source::kScript:
      return "";
    case Source::kInput:
      return "in     ";
    case Source::kCall:
      return "call   ";
    case Source::kHost:
      return "host   ";
    case Source::kUpdate:
      return "update ";
    case Source::kOutput:
      return "out    ";
    case Source::kDebug:
      return "debug  ";
    case Source::kError:
      return "error  ";
  }
  return "?      ";
}

namespace {

std::size_t ThisThread() { return std::hash<std::thread::id>()(std::this_thread::get_id()); }

// Output and debugger lines come on the simulated system's threads; the rest
// is made in an order the desk controls.
int FlushRank(Source source) {
  switch (source) {
    case Source::kOutput:
      return 1;
    case Source::kDebug:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

Log::Log(Sink sink) : m_sink(std::move(sink)) {}

void Log::SetLive(bool live) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_live = live;
}

void Log::Add(Source source, std::string text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Entry entry;
  entry.source = source;
  entry.text = std::move(text);
  entry.thread = ThisThread();
  m_pending.push_back(std::move(entry));
}

Log::Entry* Log::MergeTarget(Entry::Kind kind) {
  // Entries of other threads (the surface's output, above all) may come in
  // between; what counts is this thread's last entry.
  const std::size_t thread = ThisThread();
  for (auto it = m_pending.rbegin(); it != m_pending.rend(); ++it) {
    if (it->thread != thread) continue;
    return it->kind == kind ? &*it : nullptr;
  }
  return nullptr;
}

void Log::AddQuery(int32_t code, int32_t track) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (Entry* last = MergeTarget(Entry::kQuery)) {
    auto& [lastCode, range] = last->ranges.back();
    const int32_t step = range.second - range.first;
    const bool sameRun = lastCode == code && ((step >= 0 && track == range.second + 1) ||
                                              (step <= 0 && track == range.second - 1));
    if (sameRun) {
      range.second = track;
    } else {
      last->ranges.push_back({code, {track, track}});
    }
    return;
  }
  Entry entry;
  entry.source = Source::kCall;
  entry.kind = Entry::kQuery;
  entry.thread = ThisThread();
  entry.ranges.push_back({code, {track, track}});
  m_pending.push_back(std::move(entry));
}

void Log::AddNameLookup(int32_t index) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (Entry* last = MergeTarget(Entry::kNames)) {
    ++last->count;
    last->ranges.back().second.second = index;
    return;
  }
  Entry entry;
  entry.source = Source::kCall;
  entry.kind = Entry::kNames;
  entry.thread = ThisThread();
  entry.count = 1;
  entry.ranges.push_back({0, {index, index}});
  m_pending.push_back(std::move(entry));
}

std::string Log::Render(const Entry& entry) {
  switch (entry.kind) {
    case Entry::kPlain:
      return entry.text;
    case Entry::kQuery: {
      std::string text = "QueryValue";
      for (const auto& [code, range] : entry.ranges) {
        text += " (" + std::to_string(code) + ", " + std::to_string(range.first);
        if (range.second != range.first) text += ".." + std::to_string(range.second);
        text += ")";
      }
      return text;
    }
    case Entry::kNames:
      if (entry.count == 1) {
        return "GetCommandName(" + std::to_string(entry.ranges.front().second.first) + ")";
      }
      return "GetCommandName x" + std::to_string(entry.count);
  }
  return entry.text;
}

void Log::Flush() {
  std::lock_guard<std::mutex> flushing(m_flushMutex);
  std::vector<Entry> entries;
  bool live = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    entries.swap(m_pending);
    live = m_live;
  }
  if (!live) {
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return FlushRank(a.source) < FlushRank(b.source);
    });
  }
  for (const Entry& entry : entries) m_sink(entry.source, Render(entry));
}

}  // namespace desk
