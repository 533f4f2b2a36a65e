/*
 * The verdicts of one data set, engine and libyara build: what files scanned to,
 * keyed by what identifies a file's content without reading it (the mount's
 * unique id, device, inode, size, mtime and ctime in nanoseconds, all taken from
 * the descriptor that was read). A later scan of a file with the same key skips
 * its content.
 *
 * A verdict is clean, or names the detections the file matched. An error or a
 * file that changed while it was read is never remembered, and only files whose
 * stamps no one can keep while changing the content are (QeldaCacheTrust.h). The
 * number of entries is bounded; when full, the oldest entry of a shard goes first.
 *
 * Safe for concurrent use from any number of threads. The entries are spread over
 * shards, each with its own lock, so scan threads rarely meet on one lock.
 */
#ifndef QELDA_VERDICT_CACHE_H
#define QELDA_VERDICT_CACHE_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace qelda {

struct VerdictKey {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtimeNs = 0;
  std::int64_t ctimeNs = 0;
  // Another file system mounted later at the same device number has another.
  std::uint64_t mountId = 0;
  bool operator==(const VerdictKey&) const = default;
};

struct Verdict {
  // The file's SHA-256 when the scan that found it computed one, so that a host
  // asking for hashes is answered without reading the file.
  std::optional<std::array<std::uint8_t, 32>> sha256;
  // The data set's detections the file matched (DetectionTable::indexOf), in the
  // order the scan offered them; empty for a clean file.
  std::vector<std::uint32_t> detections;
};

// A file that matches more detections than this is read again every time.
inline constexpr std::size_t kMostRememberedDetections = 256;

struct VerdictEntry {
  VerdictKey key;
  Verdict verdict;
};

class VerdictCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 1'000'000;

  explicit VerdictCache(std::size_t capacity = kDefaultCapacity);
  VerdictCache(const VerdictCache&) = delete;
  VerdictCache& operator=(const VerdictCache&) = delete;

  std::optional<Verdict> find(const VerdictKey& key) const;
  // Adds or replaces the entry; a replaced entry counts as new.
  void remember(const VerdictKey& key, Verdict verdict);
  // Every entry, oldest first within each shard.
  std::vector<VerdictEntry> entries() const;
  std::size_t size() const;
  // Makes room for about `entries` verdicts, so that loading a stored cache does
  // not grow the index step by step.
  void reserve(std::size_t entries);
  std::size_t capacity() const { return perShard_ * kShards; }

  // Whether entries were added since the last call (or the load), so that an
  // unchanged cache is not written again; resets the count.
  bool takeChanges() { return changes_.exchange(0, std::memory_order_relaxed) != 0; }

  // Runs `load` the first time only, whichever thread gets here first; the others
  // wait until it has run. What it returns is kept as loadError.
  void loadOnce(const std::function<int(VerdictCache&)>& load);
  // What the load returned: 0, or the errno of a stored file that was refused.
  int loadError() const { return loadError_.load(std::memory_order_acquire); }

 private:
  static constexpr std::size_t kShards = 16;
  struct KeyHash {
    std::size_t operator()(const VerdictKey& key) const noexcept;
  };
  struct Shard {
    mutable std::mutex lock;
    std::list<VerdictEntry> order;  // oldest first
    std::unordered_map<VerdictKey, std::list<VerdictEntry>::iterator, KeyHash> index;
  };
  Shard& shardOf(const VerdictKey& key) const;

  std::size_t perShard_;
  mutable std::array<Shard, kShards> shards_;
  std::atomic<std::uint64_t> changes_{0};
  std::once_flag loaded_;
  std::atomic<int> loadError_{0};
};

}  // namespace qelda

#endif
