// Whole operations through the kernel: scan (profile pass, then scan pass),
// clean, clean of one object, with progress, limits, merged results and errors.
#include <algorithm>
#include <set>

#include "tests/kernel/KernelFixture.h"

namespace vxtest {
namespace {

std::wstring reportOf(IVxAVScannerKernel& kernel, bool complete = true) {
  auto report = kernel.GetReport(complete);
  EXPECT_TRUE(report.ok) << report.error;
  return report.value;
}

TEST_F(KernelTest, ScanReportsEveryObjectOnceWithRisingPercentages) {
  init();
  const auto names = makeSources(10);
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));

  // Only the scan pass reports progress: one call per object.
  const auto progress = client->progressCalls();
  std::multiset<std::wstring> reported;
  for (const auto& p : progress) reported.insert(p.name);
  EXPECT_EQ(reported, std::multiset<std::wstring>(names.begin(), names.end()));
  for (std::size_t i = 1; i < progress.size(); ++i) {
    EXPECT_GE(progress[i].percent, progress[i - 1].percent);
  }
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().percent, 100u);
  for (const auto& p : progress) EXPECT_EQ(p.status, AV_OBJECT_STATUS_OK);

  EXPECT_EQ(doubles.scan->scannedNames().size(), 20u);  // profile pass + scan pass
  EXPECT_TRUE(capture->contains(
      L"CVxAVScannerKernel::doProfileScan - Unwrap objects complete. Objects unwrapped: 10",
      VX_LOG_NORMAL));
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::doScanOnly - Objects unwrap complete, count = 10",
                                VX_LOG_NORMAL));
  EXPECT_EQ(capture->count(L"CVxAVScannerKernel::checkForCompletion - operation complete"), 2u);
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::onComplete - Number of files scanned = 10",
                                VX_LOG_WARNING));

  std::wstring expected = L"report:";
  for (const auto& name : names) expected += name + L":0:0;";
  EXPECT_EQ(reportOf(*kernel), expected);
}

TEST_F(KernelTest, DuplicateSourcesAreScannedOncePerPass) {
  init();
  setSources({L"/a", L"/b", L"/a", L"/b", L"/A"});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  // Linux paths are case-sensitive: /A is another file.
  EXPECT_EQ(doubles.scan->scansOf(L"/a"), 2u);
  EXPECT_EQ(doubles.scan->scansOf(L"/A"), 2u);
  EXPECT_EQ(client->progressCalls().size(), 3u);
}

TEST_F(KernelTest, ObjectsPastTheMaximumScanCountAreCountedAndReported) {
  init();
  makeSources(10);
  doubles.config->maxScanCount = 3;
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
  EXPECT_EQ(client->progressCalls().size(), 3u);
  const LogEntry warning = capture->find(
      L"CVxAVScannerXMLConfig_UnitTest::OnScanSource - max scan count exceeded. Value: 3");
  EXPECT_EQ(warning.severity, VX_LOG_WARNING);
  EXPECT_EQ(warning.function, L"CVxAVScannerKernel::OnScanSource");
  EXPECT_EQ(capture->count(L"CVxAVScannerXMLConfig_UnitTest::OnScanSource - max scan count exceeded. Value: 3"), 1u);
  // The rest of the sources is still walked, only to be counted.
  EXPECT_TRUE(capture->contains(
      L"CVxAVScannerKernel::doProfileScan - objects past the max scan count, not queued: 7", VX_LOG_WARNING));
  EXPECT_EQ(reportOf(*kernel), L"report(not queued 7):/obj/00:0:0;/obj/01:0:0;/obj/02:0:0;");

  // The next scan starts counting afresh; sources that could not be listed are
  // counted as well.
  client->clear();
  doubles.config->unlistedSources = 2;
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(reportOf(*kernel), L"report(not queued 7)(not listed 2):/obj/00:0:0;/obj/01:0:0;/obj/02:0:0;");
  EXPECT_TRUE(capture->contains(
      L"CVxAVScannerKernel::doProfileScan - processes whose modules could not be listed: 2", VX_LOG_WARNING));

  client->clear();
  doubles.config->unlistedSources = 0;
  doubles.config->maxScanCount = 10;
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(reportOf(*kernel).rfind(L"report:", 0), 0u);
}

// A process module's name says what it is, but a local user chooses file names:
// a name taken by one file never hides another file that comes under it.
TEST_F(KernelTest, ObjectsAreOneOnlyWhenNameAndIdentityAgree) {
  const auto identity = [](std::uint64_t inode, int pid) {
    VxScanObjectIdentity id;
    id.deviceMajor = 8;
    id.deviceMinor = 1;
    id.inode = inode;
    id.pid = pid;
    return id;
  };
  init();
  setSources({L"/x", L"/x", L"/x", L"/x [pid 12, inode 200]", L"/x [pid 12, inode 200]"});
  doubles.config->identities = {identity(100, 10), identity(100, 11), identity(200, 12), identity(300, 13),
                                identity(200, 12)};
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));

  using Seen = ScanScript::ScannedObject;
  const std::vector<Seen> expected = {
      {L"/x", L"/x", 100},
      {L"/x [pid 12, inode 200]", L"/x", 200},
      {L"/x [pid 12, inode 200] [pid 13, inode 300]", L"/x [pid 12, inode 200]", 300},
  };
  std::vector<Seen> seen = doubles.scan->scannedObjects();
  const auto byName = [](const Seen& a, const Seen& b) { return a.name < b.name; };
  std::sort(seen.begin(), seen.end(), byName);
  // Both passes read each object the same way, with its identity.
  std::vector<Seen> twice;
  for (const Seen& object : expected) twice.insert(twice.end(), 2, object);
  EXPECT_EQ(seen, twice);
}

TEST_F(KernelTest, ScanOfNothingCompletesAtOnce) {
  init();
  setSources({});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
  EXPECT_TRUE(client->progressCalls().empty());
  EXPECT_EQ(reportOf(*kernel), L"report:");
}

TEST_F(KernelTest, StatusOfEachObjectFollowsItsRecord) {
  struct Case {
    const char* name;
    bool clean;
    ObjectBehaviour behaviour;
    std::uint32_t status;
  };
  const std::vector<Case> cases = {
      {"clean file", false, {.size = 5}, AV_OBJECT_STATUS_OK},
      {"detection", false, {.size = 5, .infected = true}, AV_OBJECT_STATUS_INFECTED},
      {"detection, scan and clean", true, {.size = 5, .infected = true, .repaired = true},
       AV_OBJECT_STATUS_CLEANED},
  };
  init();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    client->clear();
    setSources({L"/plain", L"/target"});
    doubles.scan->set(L"/target", c.behaviour);
    ASSERT_TRUE(kernel->Scan(c.clean).ok);
    ASSERT_TRUE(client->waitTerminals(1));
    for (const auto& p : client->progressCalls()) {
      if (p.name == L"/target") {
        EXPECT_EQ(p.status, c.status);
      }
    }
  }
}

TEST_F(KernelTest, CleanRepairsWhatTheScanFoundAndKeepsTheRest) {
  init();
  makeSources(4);
  doubles.scan->set(L"/obj/02", {.size = 30, .infected = true, .repaired = true});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(reportOf(*kernel, false), L"report:/obj/02:1:0;");

  client->clear();
  ASSERT_TRUE(kernel->Clean().ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
  const auto progress = client->progressCalls();
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0].name, L"/obj/02");
  EXPECT_EQ(progress[0].status, AV_OBJECT_STATUS_CLEANED);
  EXPECT_EQ(reportOf(*kernel),
            L"report:/obj/00:0:0;/obj/01:0:0;/obj/02:1:1;/obj/03:0:0;");
}

TEST_F(KernelTest, CleanWithNothingInfectedCompletesAtOnce) {
  init();
  makeSources(3);
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  const std::wstring before = reportOf(*kernel);
  client->clear();
  ASSERT_TRUE(kernel->Clean().ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
  EXPECT_TRUE(client->progressCalls().empty());
  EXPECT_EQ(reportOf(*kernel), before);
}

TEST_F(KernelTest, CleanObjectOnAFreshKernelReportsThatObject) {
  init();
  doubles.scan->set(L"/tmp/eicar.com", {.size = 68, .infected = true, .repaired = true});
  ASSERT_TRUE(kernel->CleanObject(L"/tmp/eicar.com").ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
  EXPECT_EQ(reportOf(*kernel), L"report:/tmp/eicar.com:1:1;");
  EXPECT_EQ(reportOf(*kernel, false), L"report:/tmp/eicar.com:1:1;");
}

TEST_F(KernelTest, ScanPassFailsWhenTheProfilePassRecordedNothing) {
  init();
  makeSources(3);
  doubles.scan->setDefault({.recorded = false});
  for (const auto& name : doubles.config->sources) doubles.scan->set(name, {.recorded = false});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), std::vector{failed(ERROR_INVALID_DATA)});
}

TEST_F(KernelTest, ScanErrorEndsTheActivityUntilReinitialised) {
  init();
  setSources({L"/ok", L"/broken"});
  doubles.scan->set(L"/broken", {.fail = 0x42032F13});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], failed(0x42032F13));
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::onError - entering Idle activity state",
                                VX_LOG_NORMAL));
  EXPECT_TRUE(capture->waitFor(L"CVxAVScanThread::ThreadProc terminated normally", 4));

  // The workers are gone: every later pass fails at once with 13.
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(2));
  EXPECT_EQ(client->terminals()[1], failed(ERROR_INVALID_DATA));

  ASSERT_TRUE(kernel->DeInit(true).ok);
  init();
  doubles.scan->set(L"/broken", {});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(3));
  EXPECT_EQ(client->terminals()[2], completed(AV_OPERATION_RESULT_COMPLETED));
}

TEST_F(KernelTest, SeveralFailingWorkersReportOneError) {
  init();
  makeSources(12);
  doubles.scan->setDefault({.fail = 0x42032F14});
  for (const auto& name : doubles.config->sources) doubles.scan->set(name, {.fail = 0x42032F14});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  // Events are handled in order: a second report of the first failure would come
  // before the refusal of the next scan.
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(2));
  EXPECT_EQ(client->terminals(),
            (std::vector{failed(0x42032F14), failed(ERROR_INVALID_DATA)}));
}

TEST_F(KernelTest, ProgressPercentagesUseTheProfiledSizes) {
  init();
  setSources({L"/small", L"/large"});
  doubles.scan->set(L"/small", {.size = 25});
  doubles.scan->set(L"/large", {.size = 75});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  std::set<std::uint32_t> percents;
  for (const auto& p : client->progressCalls()) percents.insert(p.percent);
  // 25 then 100, or 75 then 100, depending on which worker reports first.
  EXPECT_TRUE(percents == std::set<std::uint32_t>({25, 100}) ||
              percents == std::set<std::uint32_t>({75, 100}));
}

TEST_F(KernelTest, PercentagesOfATotalAbove4GiBRiseTo100) {
  init();
  const auto names = makeSources(6);
  for (const auto& name : names) doubles.scan->set(name, {.size = 0xF0000000u});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
  const auto progress = client->progressCalls();
  ASSERT_EQ(progress.size(), names.size());
  for (std::size_t i = 0; i < progress.size(); ++i) {
    // Six equal shares of a total of 22.5 GiB.
    EXPECT_EQ(progress[i].percent, static_cast<std::uint32_t>(100 * (i + 1) / 6)) << i;
  }
  EXPECT_EQ(progress.back().percent, 100u);
  EXPECT_EQ(client->progressAfterTerminal(0), 0u);
}

}  // namespace
}  // namespace vxtest
