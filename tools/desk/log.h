// The desk's log of everything that crosses the plug-in's boundaries: what
// the surface sends, the host calls the plug-in makes, the notifications the
// host sends, what the surface receives, and the host's own remarks.
//
// Entries come from several threads and wait until Flush. In live mode Flush
// writes them in the order they came. In step mode (scripts) Flush writes the
// synchronous entries in the order they were made, then the surface output,
// then the debugger lines: the only entries that arrive on threads the desk
// does not wait for. That makes a script's output the same on every run.
#ifndef QUILLMOTE_TOOLS_DESK_LOG_H
#define QUILLMOTE_TOOLS_DESK_LOG_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace desk {

enum class Source {
  kScript,  // the script line being run, echoed
  kInput,   // surface -> plug-in
  kCall,    // plug-in -> host callbacks
  kHost,    // what the simulated host did
  kUpdate,  // host -> plug-in notifications and exports
  kOutput,  // plug-in -> surface
  kDebug,   // the plug-in's debugger output
  kError,   // the desk's own complaints
};

// The fixed-width tag that starts each line of that source ("" for kScript).
const char* SourceTag(Source source);

class Log {
 public:
  using Sink = std::function<void(Source, const std::string&)>;

  explicit Log(Sink sink);

  void SetLive(bool live);

  void Add(Source source, std::string text);
  // A host query, merged with the query entry just before it when the same
  // thread made both: runs of one code over consecutive tracks become ranges.
  void AddQuery(int32_t code, int32_t track);
  // A command-name lookup, merged into a count with the one just before it.
  void AddNameLookup(int32_t index);

  void Flush();

 private:
  struct Entry {
    Source source;
    std::string text;
    // Merging state for queries and name lookups.
    enum Kind { kPlain, kQuery, kNames } kind = kPlain;
    std::vector<std::pair<int32_t, std::pair<int32_t, int32_t>>> ranges;  // code, first..last
    int32_t count = 0;
    std::size_t thread = 0;
  };

  static std::string Render(const Entry& entry);
  Entry* MergeTarget(Entry::Kind kind);

  std::mutex m_mutex;
  // Held for a whole Flush, so that lines of two flushes never interleave.
  std::mutex m_flushMutex;
  Sink m_sink;
  bool m_live = false;
  std::vector<Entry> m_pending;
};

}  // namespace desk

#endif
