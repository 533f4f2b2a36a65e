#include "qelda/QeldaVerdictCache.h"

#include <algorithm>

namespace qelda {

std::size_t VerdictCache::KeyHash::operator()(const VerdictKey& key) const noexcept {
  // Inode and ctime differ most between files; the rest mixes in cheaply.
  std::uint64_t h = key.inode * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<std::uint64_t>(key.ctimeNs) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
  h ^= key.device + key.size * 31 + static_cast<std::uint64_t>(key.mtimeNs) + key.mountId * 0x100000001B3ull +
       (h << 6) + (h >> 2);
  return static_cast<std::size_t>(h);
}

VerdictCache::VerdictCache(std::size_t capacity)
    : perShard_(std::max<std::size_t>(1, (capacity + kShards - 1) / kShards)) {}

VerdictCache::Shard& VerdictCache::shardOf(const VerdictKey& key) const {
  // The shard uses other bits than the map's buckets do.
  return shards_[(KeyHash{}(key) >> 40) % kShards];
}

std::optional<Verdict> VerdictCache::find(const VerdictKey& key) const {
  Shard& shard = shardOf(key);
  std::lock_guard<std::mutex> guard(shard.lock);
  const auto found = shard.index.find(key);
  if (found == shard.index.end()) return std::nullopt;
  return found->second->verdict;
}

void VerdictCache::remember(const VerdictKey& key, Verdict verdict) {
  Shard& shard = shardOf(key);
  {
    std::lock_guard<std::mutex> guard(shard.lock);
    if (const auto found = shard.index.find(key); found != shard.index.end()) {
      shard.order.erase(found->second);
      shard.index.erase(found);
    }
    shard.order.push_back(VerdictEntry{key, std::move(verdict)});
    try {
      shard.index.emplace(key, std::prev(shard.order.end()));
    } catch (...) {
      shard.order.pop_back();
      throw;
    }
    while (shard.order.size() > perShard_) {
      shard.index.erase(shard.order.front().key);
      shard.order.pop_front();
    }
  }
  changes_.fetch_add(1, std::memory_order_relaxed);
}

void VerdictCache::reserve(std::size_t entries) {
  // Keys spread evenly over the shards; a little slack covers the unevenness.
  const std::size_t perShard = std::min(perShard_, entries / kShards + entries / (4 * kShards) + 8);
  for (Shard& shard : shards_) {
    std::lock_guard<std::mutex> guard(shard.lock);
    shard.index.reserve(perShard);
  }
}

std::vector<VerdictEntry> VerdictCache::entries() const {
  std::vector<VerdictEntry> all;
  for (const Shard& shard : shards_) {
    std::lock_guard<std::mutex> guard(shard.lock);
    all.insert(all.end(), shard.order.begin(), shard.order.end());
  }
  return all;
}

std::size_t VerdictCache::size() const {
  std::size_t total = 0;
  for (const Shard& shard : shards_) {
    std::lock_guard<std::mutex> guard(shard.lock);
    total += shard.order.size();
  }
  return total;
}

void VerdictCache::loadOnce(const std::function<int(VerdictCache&)>& load) {
  std::call_once(loaded_, [&] {
    loadError_.store(load(*this), std::memory_order_release);
    changes_.store(0, std::memory_order_relaxed);
  });
}

}  // namespace qelda
