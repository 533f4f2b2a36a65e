#pragma once
// CacheCommand: "ovrascan cache clear", which empties the scan engine's memory of
// files it found clean (<machine>/Vexora/verdicts.cache), so that the next scan
// reads every object again, and the compiled rules stored beside it. It works on the engine's file alone: no component
// module, no scan engine, no rule library is loaded.
//
// Also how many objects of this process's scans the engine answered from that
// memory, or why it kept none, for the scan summary.
//
// Exit statuses: 0 done (also when there was nothing to clear), 2 an error.
//
// Thread-safety: run() belongs to one thread; no shared state.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CacheCommand {
 public:
  static constexpr int kDone = 0;
  static constexpr int kError = 2;

  // `arguments` are those after "cache".
  static int run(const std::vector<std::string>& arguments);

  struct State {
    std::uint64_t hits = 0;  // objects answered from the cache so far in this process
    std::string offReason;   // why the engine kept no cache; empty when it did
  };
  // None when the loaded engine library does not keep a cache.
  static std::optional<State> stateInThisProcess();
};
