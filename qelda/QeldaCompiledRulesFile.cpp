#include "qelda/QeldaCompiledRulesFile.h"

#include "qelda/QeldaPrivateFile.h"
#include "qelda/QeldaSha256.h"

#include <yara.h>

#include <cstring>
#include <vector>

namespace qelda {
namespace {

constexpr char kMagic[4] = {'Q', 'R', 'C', '1'};
constexpr std::size_t kDigestSize = 32;
constexpr std::uint64_t kLargestFile = 1ull << 30;

Sha256Digest digestOf(const void* data, std::size_t size, bool withVersion) {
  Sha256 hash;
  if (withVersion) hash.update(YR_VERSION, sizeof YR_VERSION);
  hash.update(data, size);
  Sha256Digest digest{};
  if (!hash.finish(digest)) digest.fill(0);
  return digest;
}

}  // namespace

std::optional<std::string> loadCompiledRules(const std::string& machine, const std::string& source) try {
  std::vector<std::uint8_t> file;
  if (readPrivateFile(machine, kCompiledRulesFileName, kLargestFile, file) != 0) return std::nullopt;
  if (file.size() < sizeof kMagic + 2 * kDigestSize || std::memcmp(file.data(), kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  const std::size_t body = file.size() - kDigestSize;
  if (std::memcmp(digestOf(file.data(), body, false).data(), file.data() + body, kDigestSize) != 0) {
    return std::nullopt;
  }
  if (std::memcmp(digestOf(source.data(), source.size(), true).data(), file.data() + sizeof kMagic, kDigestSize) !=
      0) {
    return std::nullopt;
  }
  const std::size_t start = sizeof kMagic + kDigestSize;
  return std::string(reinterpret_cast<const char*>(file.data()) + start, body - start);
} catch (const std::bad_alloc&) {
  return std::nullopt;
}

void saveCompiledRules(const std::string& machine, const std::string& source, const std::string& compiled) try {
  if (compiled.empty()) return;
  std::vector<std::uint8_t> file(kMagic, kMagic + sizeof kMagic);
  const Sha256Digest key = digestOf(source.data(), source.size(), true);
  file.insert(file.end(), key.begin(), key.end());
  file.insert(file.end(), compiled.begin(), compiled.end());
  const Sha256Digest sum = digestOf(file.data(), file.size(), false);
  file.insert(file.end(), sum.begin(), sum.end());
  writePrivateFile(machine, kCompiledRulesFileName, file);
} catch (const std::bad_alloc&) {
  // Compiled again next time.
}

}  // namespace qelda
