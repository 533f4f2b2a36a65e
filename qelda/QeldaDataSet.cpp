#include "qelda/QeldaDataSet.h"

#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaCompiledRulesFile.h"
#include "qelda/QeldaDataFile.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace qelda {
namespace {

// The cache key: a digest of every file's length and bytes, so that a file that
// changed between two starts is loaded afresh.
std::string digestOf(std::initializer_list<const std::string*> parts) {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return {};
  for (const std::string* part : parts) {
    const std::string length = std::to_string(part->size()) + ":";
    EVP_DigestUpdate(context.get(), length.data(), length.size());
    EVP_DigestUpdate(context.get(), part->data(), part->size());
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return {};
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::uint16_t malformed(std::uint16_t base, std::uint32_t line) {
  return static_cast<std::uint16_t>(
      base + std::clamp<std::uint32_t>(line, 1, AV_STATUS_MALFORMED_LINE_MAX));
}

// The rules of the scan file: its stored compiled form when the source was
// compiled before, else compiled (and the compiled form stored).
std::unique_ptr<YaraRules> buildRules(const std::string& scanText, const std::string* compiledRulesMachine,
                                      std::uint16_t& status) {
  const bool source = scanText.compare(0, 4, "YARA") != 0;
  if (compiledRulesMachine == nullptr || !source) return YaraRules::build(scanText, status);
  if (const auto compiled = loadCompiledRules(*compiledRulesMachine, scanText)) {
    std::uint16_t ignored = AV_STATUS_OK;
    if (auto rules = YaraRules::build(*compiled, ignored)) return rules;
  }
  auto rules = YaraRules::build(scanText, status);
  if (rules) saveCompiledRules(*compiledRulesMachine, scanText, rules->compiled());
  return rules;
}

DataSetOutcome build(const std::string& namesText, const std::string* scanText,
                     const std::string* cleanText, const std::string& digest,
                     const std::string* compiledRulesMachine) {
  auto dataSet = std::make_shared<DataSet>();
  if (digest.size() == dataSet->sha256.size()) std::memcpy(dataSet->sha256.data(), digest.data(), digest.size());
  auto names = parseNamesTable(namesText);
  if (!names.table) return {nullptr, malformed(AV_STATUS_NAMES_MALFORMED, names.faultLine)};
  dataSet->names = std::move(*names.table);
  if (cleanText != nullptr) {
    auto clean = parseCleanTable(*cleanText);
    if (!clean.table) return {nullptr, malformed(AV_STATUS_CLEAN_MALFORMED, clean.faultLine)};
    dataSet->clean = std::move(*clean.table);
  }
  if (scanText != nullptr) {
    if (scanText->empty()) return {nullptr, AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_EMPTY)};
    std::uint16_t status = AV_STATUS_OK;
    dataSet->rules = buildRules(*scanText, compiledRulesMachine, status);
    if (!dataSet->rules) return {nullptr, status};
    dataSet->detections = DetectionTable::build(*dataSet->rules->get(), dataSet->names, status);
    if (status != AV_STATUS_OK) return {nullptr, status};
    dataSet->scanners = std::make_unique<ScannerPool>(dataSet->rules->get());
    dataSet->verdicts = std::make_unique<VerdictCache>();
  }
  return {std::move(dataSet), AV_STATUS_OK};
}

// The text of one data file, or the status naming the file and the reason.
std::optional<std::string> readData(const std::string& path, std::uint16_t file, std::uint64_t largest,
                                    std::uint16_t& status) {
  DataFileText read = readDataFile(path, largest);
  if (!read.text && status == AV_STATUS_OK) status = AV_STATUS_DATA_FILE(file, read.reason);
  return std::move(read.text);
}

}  // namespace

DataSetCache& DataSetCache::instance() {
  static DataSetCache cache;
  return cache;
}

DataSetOutcome DataSetCache::acquire(const DataSetFiles& files, bool versionOnly,
                                     const std::string* compiledRulesMachine) try {
  std::uint16_t status = AV_STATUS_OK;
  const auto namesText = readData(files.names, AV_DATA_FILE_NAMES, kLargestTableFile, status);
  std::optional<std::string> scanText;
  std::optional<std::string> cleanText;
  if (!versionOnly) {
    scanText = readData(files.scan, AV_DATA_FILE_SCAN, kLargestRulesFile, status);
    cleanText = readData(files.clean, AV_DATA_FILE_CLEAN, kLargestTableFile, status);
  }
  if (status != AV_STATUS_OK) return {nullptr, status};
  const std::string versionKey = "v" + digestOf({&*namesText});
  const std::string fullKey =
      versionOnly ? std::string{} : "f" + digestOf({&*namesText, &*scanText, &*cleanText});

  // Compiling under the lock makes a second start with the same files wait for the
  // first one's rules instead of compiling its own copy.
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(loaded_, [](const auto& entry) { return entry.second.expired(); });
  const std::string& key = versionOnly ? versionKey : fullKey;
  if (const auto found = loaded_.find(key); found != loaded_.end()) {
    if (auto existing = found->second.lock()) return {std::move(existing), AV_STATUS_OK};
  }
  DataSetOutcome outcome =
      versionOnly ? build(*namesText, nullptr, nullptr, {}, nullptr)
                  : build(*namesText, &*scanText, &*cleanText, fullKey.substr(1), compiledRulesMachine);
  if (outcome.dataSet) loaded_[key] = outcome.dataSet;
  return outcome;
} catch (const std::bad_alloc&) {
  return {nullptr, AV_STATUS_OUT_OF_MEMORY};
}

}  // namespace qelda
