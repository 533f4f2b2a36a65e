// The per-object cost of asking whether the verdict cache may serve a file:
// checkCacheTrust on a plain file of the temporary folder, opened as the engine
// opens it, which runs every check down to the read lease (taken and dropped).
// The file lies in a folder of the benchmark's own, removed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "qelda/QeldaCacheTrust.h"
#include "qelda/QeldaScannedFile.h"

namespace {

namespace fs = std::filesystem;

class BenchFolder {
 public:
  BenchFolder() {
    std::string pattern = (fs::temp_directory_path() / "qelda-trust-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~BenchFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void BM_CacheTrustCheck(benchmark::State& state) {
  const BenchFolder folder;
  const fs::path path = folder.path() / "plain.bin";
  std::ofstream(path, std::ios::binary) << std::string(4096, 'b');
  qelda::ScannedFile file;
  if (folder.path().empty() || qelda::openScannedFile(path.string(), file) != 0) {
    state.SkipWithError("the file could not be made and opened");
    return;
  }
  if (const qelda::CacheTrust trust = qelda::checkCacheTrust(file).trust; trust != qelda::CacheTrust::Trusted) {
    state.SkipWithError(qelda::describe(trust));
    return;
  }
  for (auto _ : state) {
    qelda::CacheTrustCheck check = qelda::checkCacheTrust(file);
    benchmark::DoNotOptimize(check);
  }
}
BENCHMARK(BM_CacheTrustCheck);

}  // namespace
