/*
 * One loaded data set: the names and clean tables and the compiled YARA rules of
 * the scan file. Data sets are shared: DataSetCache hands every AVInitialise with
 * byte-identical files the same DataSet, so several engines and version queries
 * never compile the rules again; the rules live as long as the last engine that
 * holds them.
 *
 * A DataSet is immutable once built and safe to use from any number of threads
 * (libyara scans one rule set from up to 32 threads at once). DataSetCache is
 * safe for concurrent use.
 */
#ifndef QELDA_DATA_SET_H
#define QELDA_DATA_SET_H

#include "qelda/QeldaDataTables.h"
#include "qelda/QeldaDetections.h"
#include "qelda/QeldaScannerPool.h"
#include "qelda/QeldaVerdictCache.h"
#include "qelda/QeldaYara.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace qelda {

struct DataSetFiles {
  std::string names;
  std::string scan;
  std::string clean;
};

class DataSet {
 public:
  NamesTable names;
  CleanTable clean;
  // Empty for a version query: such a data set never scans.
  std::unique_ptr<YaraRules> rules;
  DetectionTable detections;
  // The scanners of the rules; lending them out changes no verdict, so it is
  // allowed on a const data set.
  std::unique_ptr<ScannerPool> scanners;
  // SHA-256 over the three data files (all zero for a version query).
  std::array<std::uint8_t, 32> sha256{};
  // The clean verdicts found with these rules; like the scanners, filling it
  // changes no verdict. Empty for a version query.
  std::unique_ptr<VerdictCache> verdicts;
};

// The data set, or the engine status saying why there is none: a data file that
// cannot be read (AV_STATUS_DATA_FILE), a malformed one, or a rule set that
// reports nothing or reports a detection of unknown virus type.
struct DataSetOutcome {
  std::shared_ptr<const DataSet> dataSet;
  std::uint16_t status = 0;
};

class DataSetCache {
 public:
  // The process's one cache.
  static DataSetCache& instance();

  // Loads the files; versionOnly reads the names file alone and compiles nothing.
  // With a machine folder, rule source compiled before is loaded in the compiled
  // form stored there (QeldaCompiledRulesFile.h), and newly compiled source stored.
  DataSetOutcome acquire(const DataSetFiles& files, bool versionOnly, const std::string* compiledRulesMachine = nullptr);

 private:
  std::mutex lock_;
  std::map<std::string, std::weak_ptr<const DataSet>> loaded_;
};

}  // namespace qelda

#endif
