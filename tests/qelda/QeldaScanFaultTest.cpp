// Failures inside a scan's libyara callbacks, made on purpose: an allocation
// the whole-file view cannot get, a host callback that throws while libyara
// reads blocks. Each object's verdict stays its own: the failed object ends with
// a complete message sequence and never a wrong verdict, and the next object,
// scanned by the same engine, gets the verdict its own bytes deserve.
#include "tests/qelda/QeldaEngineFixture.h"

#include "qelda/QeldaDataSet.h"
#include "qelda/QeldaEngine.h"
#include "qelda/QeldaObjectScan.h"
#include "qelda/QeldaWholeViewBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace qeldatest {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
const std::string kMarker = "QELDA-FAULT-TEST-ELF-MARKER-8d1e";
const char* const kSystemLibrary = "/usr/lib/x86_64-linux-gnu/libc.so.6";

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// An engine built in this process on a rule set that imports elf, so that a
// test chooses the budget its whole-file views come out of.
class QeldaScanFault : public QeldaEngine {
 protected:
  void SetUp() override {
    QeldaEngine::SetUp();
    const fs::path data = dir / "data";
    fs::create_directories(data);
    // The marker is split in the rule so that this file's own text never matches.
    std::ofstream(data / "scan.yar") << "import \"elf\"\n"
                                        "rule Elf_Marker {\n"
                                        "  meta: name = \"Qelda.Test.ElfMarker\" virus_type = 6\n"
                                        "  strings: $m = \"" << kMarker << "\"\n"
                                        "  condition: elf.type == elf.ET_DYN and $m\n"
                                        "}\n";
    std::ofstream(data / "names.dat") << "version 1 0\n";
    std::ofstream(data / "clean.dat") << "* delete\n";
    const qelda::DataSetFiles files{(data / "names.dat").string(), (data / "scan.yar").string(),
                                    (data / "clean.dat").string()};
    const qelda::DataSetOutcome loaded = qelda::DataSetCache::instance().acquire(files, false);
    ASSERT_TRUE(loaded.dataSet) << loaded.status;
    dataSet = loaded.dataSet;
    library = readAll(kSystemLibrary);
    ASSERT_GT(library.size(), 64u) << kSystemLibrary;
  }

  std::unique_ptr<qelda::Engine> engineWith(qelda::WholeViewBudget& budget) {
    return std::make_unique<qelda::Engine>(dataSet, qelda::CacheSettings{false, 0}, (dir / "machine").string(),
                                           budget);
  }

  static std::uint16_t scanIn(const qelda::Engine& engine, const std::string& path, Recorder& recorder) {
    AV_OBJECTDESCRIPTOR d{28, AV_OBJECT_KIND_FILE, 1, 0, 0, AV_PTR_TO_U64(path.c_str()),
                          static_cast<std::uint32_t>(path.size() + 1)};
    std::vector<AV_SINGLEPARAMETER> p{{16, AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(&record)},
                                      {16, AV_PARAM_CALLBACK_CONTEXT, 8, AV_PTR_TO_U64(&recorder)},
                                      {16, AV_PARAM_SCAN_OBJECT, 28, AV_PTR_TO_U64(&d)}};
    const AV_PARAMETERS block{12, static_cast<std::uint16_t>(p.size()), AV_PTR_TO_U64(p.data())};
    return qelda::scanObject(engine, block);
  }

  // The system library grown past one block (so that its whole view needs a
  // buffer of its own), with the marker at its end.
  std::string largeMarkedLibrary() {
    std::string content = library;
    content.resize(20 * kMiB, '\0');
    return write("large-marked.so", content + kMarker);
  }

  // A library nothing should flag, with cleaning agreed: it must stay as it is.
  void expectCleanLibraryStays(const qelda::Engine& engine, const char* after) {
    const std::string path = write("clean-copy.so", library);
    Recorder r;
    ASSERT_EQ(scanIn(engine, path, r), AV_STATUS_OK) << after;
    EXPECT_EQ(find(r, AVM_DETECTION), nullptr) << after;
    EXPECT_EQ(find(r, AVM_ACTION), nullptr) << after;
    ASSERT_NE(find(r, AVM_OBJECT_SUMMARY), nullptr) << after;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_CLEAN) << after;
    EXPECT_EQ(codes(r).back(), AVM_OBJECT_DONE) << after;
    EXPECT_EQ(readAll(path), library) << after;
  }

  std::shared_ptr<const qelda::DataSet> dataSet;
  std::string library;
};

// The whole-file view's allocation fails: the elf module is shown the file block
// by block (its header is in the first block, so the rule still sees an ELF),
// nothing escapes, and a clean library scanned next with deletion agreed stays.
TEST_F(QeldaScanFault, FailedWholeViewAllocationFallsBackToBlocks) {
  const struct {
    const char* what;
    qelda::WholeViewBudget::Allocator allocate;  // empty: the heap, under a tiny limit
    std::uint64_t limit;
  } cases[] = {
      {"allocation throws", [](std::size_t) -> std::unique_ptr<std::uint8_t[]> { throw std::bad_alloc(); },
       qelda::kWholeViewBudgetBytes},
      {"allocation returns nothing", [](std::size_t) { return std::unique_ptr<std::uint8_t[]>(); },
       qelda::kWholeViewBudgetBytes},
      {"budget too small", {}, kMiB},
  };
  for (const auto& c : cases) {
    std::atomic<int> asked{0};
    qelda::WholeViewBudget::Allocator counted;
    if (c.allocate) {
      counted = [&asked, allocate = c.allocate](std::size_t bytes) {
        ++asked;
        return allocate(bytes);
      };
    }
    qelda::WholeViewBudget budget(c.limit, counted);
    const auto engine = engineWith(budget);
    const std::string marked = largeMarkedLibrary();
    Recorder r;
    r.declineAt = AVM_QUERY_REPAIR;  // keep the marked file
    ASSERT_EQ(scanIn(*engine, marked, r), AV_STATUS_OK) << c.what;
    if (c.allocate) {
      EXPECT_GE(asked.load(), 1) << c.what << ": the whole view was never asked for";
    }
    EXPECT_EQ(find(r, AVM_SCAN_ERROR), nullptr) << c.what;
    ASSERT_NE(find(r, AVM_DETECTION), nullptr) << c.what;
    EXPECT_EQ(find(r, AVM_DETECTION)->text, "Qelda.Test.ElfMarker") << c.what;
    EXPECT_EQ(codes(r).back(), AVM_OBJECT_DONE) << c.what;
    EXPECT_EQ(budget.inUse(), 0u) << c.what;
    expectCleanLibraryStays(*engine, c.what);
  }
}

// With the budget there, the same file is shown whole and its buffer given back.
TEST_F(QeldaScanFault, WholeViewIsGrantedAndGivenBack) {
  std::atomic<int> asked{0};
  qelda::WholeViewBudget budget(qelda::kWholeViewBudgetBytes, [&asked](std::size_t bytes) {
    ++asked;
    return std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
  });
  const auto engine = engineWith(budget);
  Recorder r;
  r.declineAt = AVM_QUERY_REPAIR;
  ASSERT_EQ(scanIn(*engine, largeMarkedLibrary(), r), AV_STATUS_OK);
  EXPECT_EQ(asked.load(), 1);
  ASSERT_NE(find(r, AVM_DETECTION), nullptr);
  EXPECT_EQ(budget.inUse(), 0u);
}

// The host's callback throws while libyara reads a block (the stop query runs
// inside libyara's fetch): the object ends with a scan error, the exception
// never unwinds through libyara, and the engine's next objects are scanned
// right, by a scanner that is not the failed one.
TEST_F(QeldaScanFault, HostCallbackThrowingInsideTheRulesFailsOnlyThatObject) {
  const struct {
    const char* what;
    int occurrence;  // which AVM_QUERY_CONTINUE throws
    bool badAlloc;
    std::uint16_t error;
  } cases[] = {
      {"bad_alloc at the first block", 1, true, AV_SCAN_ERROR_OUT_OF_MEMORY},
      {"bad_alloc at the last block", 3, true, AV_SCAN_ERROR_OUT_OF_MEMORY},
      {"bad_alloc while the module reads the file", 4, true, AV_SCAN_ERROR_OUT_OF_MEMORY},
      {"another exception", 2, false, AV_SCAN_ERROR_READ_FAULT},
  };
  qelda::WholeViewBudget budget(qelda::kWholeViewBudgetBytes);
  const auto engine = engineWith(budget);
  const std::string marked = largeMarkedLibrary();
  for (const auto& c : cases) {
    Recorder r;
    r.onMessage = [&c](std::uint16_t message, int count) {
      if (message != AVM_QUERY_CONTINUE || count != c.occurrence) return;
      if (c.badAlloc) throw std::bad_alloc();
      throw std::runtime_error("host failure");
    };
    ASSERT_EQ(scanIn(*engine, marked, r), AV_STATUS_OK) << c.what;
    ASSERT_NE(find(r, AVM_SCAN_ERROR), nullptr) << c.what;
    EXPECT_EQ(find(r, AVM_SCAN_ERROR)->second, c.error) << c.what;
    EXPECT_EQ(find(r, AVM_DETECTION), nullptr) << c.what;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_ERROR) << c.what;
    EXPECT_EQ(codes(r).back(), AVM_OBJECT_DONE) << c.what;
    EXPECT_TRUE(fs::exists(marked)) << c.what;

    expectCleanLibraryStays(*engine, c.what);
    Recorder again;
    again.declineAt = AVM_QUERY_REPAIR;
    ASSERT_EQ(scanIn(*engine, marked, again), AV_STATUS_OK) << c.what;
    EXPECT_NE(find(again, AVM_DETECTION), nullptr) << c.what;
  }
  EXPECT_EQ(budget.inUse(), 0u);
}

// Outside libyara, what the host's callback throws ends the call with a status.
TEST_F(QeldaScanFault, HostCallbackThrowingOutsideTheRulesIsAStatus) {
  qelda::WholeViewBudget budget(qelda::kWholeViewBudgetBytes);
  const auto engine = engineWith(budget);
  const std::string path = write("small.txt", "nothing");
  Recorder outOfMemory;
  outOfMemory.onMessage = [](std::uint16_t message, int) {
    if (message == AVM_QUERY_SCAN) throw std::bad_alloc();
  };
  EXPECT_EQ(scanIn(*engine, path, outOfMemory), AV_STATUS_OUT_OF_MEMORY);
  Recorder failure;
  failure.onMessage = [](std::uint16_t message, int) {
    if (message == AVM_QUERY_SCAN) throw std::runtime_error("host failure");
  };
  EXPECT_EQ(scanIn(*engine, path, failure), AV_STATUS_ENGINE_FAILURE);
  expectCleanLibraryStays(*engine, "a throwing host");
}

}  // namespace
}  // namespace qeldatest
