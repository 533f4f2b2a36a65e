#include "engine/VxAVObjectScanner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/VxAVEngineConfig.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxAVScanObject.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/CaptureLog.h"

namespace {

using vxtest::bytesOf;
using vxtest::findParameter;
using vxtest::parameterCodes;

constexpr char kPath[] = "/scan/Folder/Sample.BIN";
constexpr wchar_t kWidePath[] = L"/scan/Folder/Sample.BIN";
constexpr char kOtherName[] = "/elsewhere/other.bin";
constexpr char kEicar[] = "EICAR-Test-File";

constexpr wchar_t kNamesDiffer[] =
    L"CVxAVObjectScanner::Callback - Original file name and file name passed to callback "
    L"different.";
constexpr wchar_t kHashNull[] =
    L"CVxAVObjectScanner::Callback - AVM_FILEHASH received, but the _2 is NULL.";
constexpr wchar_t kHashTooLong[] =
    L"CVxAVObjectScanner::Callback - data length is more than buffer size.";
constexpr wchar_t kNoContextIds[] =
    L"CVxAVObjectScanner::buildDefaultParameterList - No context IDs found";
constexpr wchar_t kContextIdsFailed[] =
    L"CVxAVObjectScanner::buildDefaultParameterList - getContextIDs failed with error ";

std::uintptr_t address(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

// An engine whose handle a test chooses, for the handle failures.
class FixedHandleEngine final : public IVxAVEngine {
 public:
  explicit FixedHandleEngine(VxNAResult<VxAVEngineHandle> handle) : handle_(handle) {}
  VxNAResult<VxAVEngineHandle> getHandle() override { return handle_; }

 private:
  VxNAResult<VxAVEngineHandle> handle_;
};

struct ScannerSettings {
  std::set<std::uint16_t> scanTypes = {1, 6};
  std::set<std::uint16_t> cleanTypes;
  bool collectHash = false;
};

class ObjectScannerTest : public vxtest::TestEngineFixture {
 protected:
  void SetUp() override {
    vxtest::TestEngineFixture::SetUp();
    folder_.write("AVScanner.ini", "[product]\ncontext_ids=3,1,,3\n");
  }

  std::shared_ptr<IVxAVEngine> startEngine() {
    VxNAResult<std::shared_ptr<CVxAVEngineConfig>> config = CVxAVEngineConfig::create();
    EXPECT_TRUE(config.ok);
    EXPECT_TRUE(config.value->Initialize().ok);
    return config.value->getEngine().value;
  }

  std::shared_ptr<CVxAVObjectScanner> newScanner(const ScannerSettings& settings = {}) {
    std::shared_ptr<CVxAVObjectScanner> scanner = CVxAVObjectScanner::create(folder_.path());
    EXPECT_NE(scanner, nullptr);
    EXPECT_TRUE(scanner->setEngine(startEngine()).ok);
    EXPECT_TRUE(scanner->setScanTypes(settings.scanTypes).ok);
    EXPECT_TRUE(scanner->setCleanTypes(settings.cleanTypes).ok);
    EXPECT_TRUE(scanner->setCollectHash(settings.collectHash).ok);
    EXPECT_TRUE(scanner->initialize().ok);
    return scanner;
  }

  static std::shared_ptr<CVxAVScanObject> object(std::uint32_t type = 0,
                                                 const std::wstring& path = kWidePath) {
    return std::make_shared<CVxAVScanObject>(type, path);
  }

  static void script(const std::vector<TestEngineCallbackStep>& steps, bool honourDecline = false) {
    TestEngineSetScript(TEST_ENGINE_SCAN_OBJECT, steps.data(),
                        static_cast<std::uint32_t>(steps.size()), honourDecline ? 1 : 0);
  }

  static std::vector<std::uint32_t> answers(std::uint32_t call = 0) {
    std::vector<std::uint32_t> given;
    for (std::uint32_t i = 0; i < TestEngineAnswerCount(TEST_ENGINE_SCAN_OBJECT, call); ++i) {
      given.push_back(TestEngineAnswer(TEST_ENGINE_SCAN_OBJECT, call, i));
    }
    return given;
  }

  vxtest::ScratchFolder folder_;
};

void expectRecord(const CVxScanObjectResult& actual, const CVxScanObjectResult& expected) {
  SCOPED_TRACE("record " + expected.itemName);
  EXPECT_EQ(actual.itemType, expected.itemType);
  EXPECT_EQ(actual.itemSize, expected.itemSize);
  EXPECT_EQ(actual.itemName, expected.itemName);
  EXPECT_EQ(actual.IsScanned, expected.IsScanned);
  EXPECT_EQ(actual.ObjectSummary, expected.ObjectSummary);
  EXPECT_EQ(actual.ScanError, expected.ScanError);
  EXPECT_EQ(actual.IsInfected, expected.IsInfected);
  EXPECT_EQ(actual.detect_type, expected.detect_type);
  EXPECT_EQ(actual.virus_type, expected.virus_type);
  EXPECT_EQ(actual.virus_name, expected.virus_name);
  EXPECT_EQ(actual.isRepairable, expected.isRepairable);
  EXPECT_EQ(actual.IsRepairAttempted, expected.IsRepairAttempted);
  EXPECT_EQ(actual.IsRepaired, expected.IsRepaired);
  EXPECT_EQ(actual.action_taken, expected.action_taken);
  EXPECT_EQ(actual.nesting_deleted, expected.nesting_deleted);
  EXPECT_EQ(actual.PassCount, expected.PassCount);
  EXPECT_EQ(actual.ObjectHashType, expected.ObjectHashType);
  EXPECT_EQ(actual.ObjectHash, expected.ObjectHash);
}

CVxScanObjectResult record(const std::string& name,
                           const std::function<void(CVxScanObjectResult&)>& change = {}) {
  CVxScanObjectResult result;
  result.itemName = name;
  if (change) change(result);
  return result;
}

// ---------------------------------------------------------------------------
// Engine records the message cases point to; they outlive every scan.

AV_DETECTION detection(std::uint16_t detectType, std::uint16_t virusType, const char* name,
                       std::uint32_t repairable) {
  AV_DETECTION d{};
  d.detectType = detectType;
  d.virusType = virusType;
  d.virusName = AV_PTR_TO_U64(name);
  d.repairable = repairable;
  return d;
}

AV_ACTION action(std::uint16_t taken, std::uint16_t nesting) {
  AV_ACTION a{};
  a.actionTaken = taken;
  a.nestingDeleted = nesting;
  return a;
}

const std::uint8_t kHashBytes[20] = {0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE,
                                     0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x0F, 0xF0};
constexpr char kHash16[] = "000123456789abcdeffe1032547698ba";
constexpr char kHash20[] = "000123456789abcdeffe1032547698badcfe0ff0";

AV_FILEHASH fileHash(std::uint16_t type, std::uint32_t bufferSize, std::uint32_t dataLength,
                     const std::uint8_t* data) {
  AV_FILEHASH h{};
  h.hashType = type;
  h.bufferSize = bufferSize;
  h.dataLength = dataLength;
  h.data = AV_PTR_TO_U64(data);
  return h;
}

const AV_DETECTION kInScanTypes = detection(2, 1, kEicar, 1);
const AV_DETECTION kNotRepairable = detection(2, 1, kEicar, 0);
const AV_DETECTION kRepairableIsNotTwo = detection(2, 1, kEicar, 2);
const AV_DETECTION kOutsideScanTypes = detection(4, 9, "Adware.X", 1);
const AV_DETECTION kWithoutName = detection(3, 1, nullptr, 0);
const AV_ACTION kRepairedAction = action(2, 3);
const AV_ACTION kRepairedAction4 = action(4, 0);
const AV_ACTION kOtherAction = action(3, 1);
const AV_FILEHASH kHashLonger = fileHash(3, 16, 20, kHashBytes);
const AV_FILEHASH kHashExact = fileHash(2, 20, 20, kHashBytes);
const AV_FILEHASH kHashShorter = fileHash(1, 20, 16, kHashBytes);
const AV_FILEHASH kHashNoData = fileHash(1, 20, 20, nullptr);
// Far longer than any digest; the scanner must not read 4000 bytes from a 20-byte buffer.
const AV_FILEHASH kHashHuge = fileHash(1, 4000, 4000, kHashBytes);
// Longer than its buffer, and the buffer longer than any digest.
const AV_FILEHASH kHashHugeBuffer = fileHash(4, 4000, 5000, kHashBytes);
const AV_FILEHASH kHashEmpty = fileHash(5, 20, 0, kHashBytes);
constexpr char kPathOtherCase[] = "/SCAN/folder/sample.bin->inner/part.txt";

TestEngineCallbackStep step(std::uint16_t message, std::uintptr_t argument2 = 0,
                            std::uint64_t argument1 = 0) {
  return TestEngineCallbackStep{message, argument1, argument2};
}

// ---------------------------------------------------------------------------
// Message sequences: what each leaves in the result map and what it answers

struct MessageCase {
  const char* name;
  ScannerSettings settings;
  std::uint32_t objectType;
  std::vector<TestEngineCallbackStep> steps;
  std::vector<std::uint32_t> answers;
  std::vector<CVxScanObjectResult> records;  // the whole map, in name order
  std::vector<std::wstring> warnings;        // every warning, in order
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

std::vector<MessageCase> messageCases() {
  const std::uintptr_t path = address(kPath);
  std::vector<MessageCase> cases;
  cases.push_back({"CleanFileFillsTheRecordFromEveryMessage",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_OBJECT_TYPE, 0, 0xABCD0003),
                    step(AVM_OBJECT_SIZE, 0x1234567890), step(AVM_QUERY_SCAN),
                    step(AVM_QUERY_CONTINUE), step(AVM_QUERY_CONTINUE_2), step(AVM_PASS),
                    step(AVM_PASS), step(AVM_OBJECT_SUMMARY, 0x10005), step(AVM_SCAN_ERROR, 0x20000),
                    step(9999), step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.itemType = 3;
                             r.itemSize = 0x1234567890;  // all 64 bits: files pass 4 GiB
                             r.IsScanned = 1;
                             r.PassCount = 2;
                             r.ObjectSummary = 5;
                           })},
                   {}});
  cases.push_back({"AScanErrorLeavesTheContentNotScanned",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_QUERY_SCAN), step(AVM_PASS),
                    step(AVM_SCAN_ERROR, 0x2001E), step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.PassCount = 1;
                             r.ScanError = 30;
                           })},
                   {}});
  cases.push_back({"AScanErrorAfterADetectionKeepsTheDetectionScanned",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_QUERY_SCAN),
                    step(AVM_DETECTION, address(&kInScanTypes)), step(AVM_SCAN_ERROR, 30),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.IsScanned = 1;
                             r.IsInfected = 1;
                             r.detect_type = 2;
                             r.virus_type = 1;
                             r.virus_name = kEicar;
                             r.isRepairable = 1;
                             r.ScanError = 30;
                           })},
                   {}});
  cases.push_back({"DetectionInsideTheScanTypesIsRecorded",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_QUERY_SCAN),
                    step(AVM_DETECTION, address(&kInScanTypes)), step(AVM_OBJECT_SUMMARY, 3),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.IsScanned = 1;
                             r.IsInfected = 1;
                             r.detect_type = 2;
                             r.virus_type = 1;
                             r.virus_name = kEicar;
                             r.isRepairable = 1;
                             r.ObjectSummary = 3;
                           })},
                   {}});
  cases.push_back({"RepairableOnlyWhenTheEngineSaysExactlyOne",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_DETECTION, address(&kRepairableIsNotTwo)),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.IsInfected = 1;
                             r.detect_type = 2;
                             r.virus_type = 1;
                             r.virus_name = kEicar;
                           })},
                   {}});
  cases.push_back({"DetectionOutsideTheScanTypesIsDroppedAndTheSummaryCleared",
                   {{1}, {}, false},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_QUERY_SCAN),
                    step(AVM_DETECTION, address(&kOutsideScanTypes)), step(AVM_OBJECT_SUMMARY, 3),
                    step(AVM_SCAN_ERROR, 8), step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0, 0},
                   // The scan error left the content unscanned; its code goes with
                   // the summary.
                   {record(kPath, [](CVxScanObjectResult& r) {
                     r.ObjectSummary = 0;
                     r.ScanError = 0;
                   })},
                   {}});
  cases.push_back({"WithoutScanTypesEveryObjectIsDeclinedAndNothingDetected",
                   {{}, {}, false},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_QUERY_SCAN),
                    step(AVM_DETECTION, address(&kInScanTypes)), step(AVM_OBJECT_DONE)},
                   {0, 1, 0, 0},
                   // The engine was told not to scan the content.
                   {record(kPath, [](CVxScanObjectResult& r) { r.ObjectSummary = 0; })},
                   {}});
  cases.push_back({"RepairOfACleanTypeIsAttemptedAndSucceeds",
                   {{1}, {1}, false},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_DETECTION, address(&kInScanTypes)),
                    step(AVM_QUERY_REPAIR), step(AVM_ACTION, address(&kRepairedAction)),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.IsInfected = 1;
                             r.detect_type = 2;
                             r.virus_type = 1;
                             r.virus_name = kEicar;
                             r.isRepairable = 1;
                             r.IsRepairAttempted = 1;
                             r.IsRepaired = 1;
                             r.action_taken = 2;
                             r.nesting_deleted = 3;
                           })},
                   {}});
  cases.push_back({"ActionFourAlsoMeansRepairedOtherActionsDoNot",
                   {{1}, {1}, false},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_ACTION, address(&kOtherAction)),
                    step(AVM_ACTION, address(&kRepairedAction4)), step(AVM_OBJECT_DONE),
                    step(AVM_OBJECT_NAME, address(kOtherName)),
                    step(AVM_ACTION, address(&kOtherAction)), step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0, 0, 0},
                   {record(kOtherName,
                           [](CVxScanObjectResult& r) {
                             r.ObjectSummary = 0;
                             r.action_taken = 3;
                             r.nesting_deleted = 1;
                           }),
                    record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.ObjectSummary = 0;
                             r.IsRepaired = 1;
                             r.action_taken = 4;
                           })},
                   {kNamesDiffer, L"CVxAVObjectScanner::Callback - Original file name: "
                                  L"/scan/folder/sample.bin",
                    L"CVxAVObjectScanner::Callback - Callback file name: /elsewhere/other.bin"}});
  cases.push_back({"RepairIsDeclinedOutsideTheCleanTypes",
                   {{1}, {6}, false},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_DETECTION, address(&kInScanTypes)),
                    step(AVM_QUERY_REPAIR), step(AVM_OBJECT_DONE)},
                   {0, 0, 1, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.IsInfected = 1;
                             r.detect_type = 2;
                             r.virus_type = 1;
                             r.virus_name = kEicar;
                             r.isRepairable = 1;
                           })},
                   {}});
  cases.push_back({"RepairIsDeclinedWhenNotRepairable",
                   {{1}, {1}, false},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_DETECTION, address(&kNotRepairable)),
                    step(AVM_QUERY_REPAIR), step(AVM_OBJECT_DONE)},
                   {0, 0, 1, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.IsInfected = 1;
                             r.detect_type = 2;
                             r.virus_type = 1;
                             r.virus_name = kEicar;
                           })},
                   {}});
  cases.push_back({"RepairErrorTwelveMeansNoAttempt",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_REPAIR_ERROR, 0x3000C),
                    step(AVM_OBJECT_DONE), step(AVM_OBJECT_NAME, address(kOtherName)),
                    step(AVM_REPAIR_ERROR, 5), step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0, 0},
                   {record(kOtherName,
                           [](CVxScanObjectResult& r) {
                             r.ScanError = 5;
                             r.IsRepairAttempted = 1;
                           }),
                    record(kPath, [](CVxScanObjectResult& r) { r.ScanError = 12; })},
                   {kNamesDiffer, L"CVxAVObjectScanner::Callback - Original file name: "
                                  L"/scan/folder/sample.bin",
                    L"CVxAVObjectScanner::Callback - Callback file name: /elsewhere/other.bin"}});
  cases.push_back({"ANameContainingThePathInAnotherCaseKeepsThePathsRecord",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, address(kPathOtherCase)), step(AVM_PASS),
                    step(AVM_OBJECT_DONE), step(AVM_OBJECT_NAME, path), step(AVM_PASS),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0, 0},
                   {record(kPath, [](CVxScanObjectResult& r) { r.PassCount = 2; })},
                   {}});
  cases.push_back({"AnyOtherNameGivesThreeWarningsAndARecordOfItsOwn",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, address(kOtherName)), step(AVM_OBJECT_SIZE, 10),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {record(kOtherName, [](CVxScanObjectResult& r) { r.itemSize = 10; })},
                   {kNamesDiffer, L"CVxAVObjectScanner::Callback - Original file name: "
                                  L"/scan/folder/sample.bin",
                    L"CVxAVObjectScanner::Callback - Callback file name: /elsewhere/other.bin"}});
  cases.push_back({"AMemoryObjectHasNoRecordUntilTheEngineNamesIt",
                   {},
                   1,
                   {step(AVM_QUERY_SCAN), step(AVM_PASS), step(AVM_QUERY_REPAIR),
                    step(AVM_DETECTION, address(&kInScanTypes)), step(AVM_OBJECT_DONE),
                    step(AVM_OBJECT_NAME, address(kOtherName)), step(AVM_QUERY_SCAN),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0, 0, 0, 0},
                   {record(kOtherName, [](CVxScanObjectResult& r) { r.IsScanned = 1; })},
                   {}});
  cases.push_back({"ARecordWithoutNameIsNeverStored",
                   {},
                   1,
                   {step(AVM_OBJECT_NAME, 0), step(AVM_QUERY_SCAN), step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {},
                   {}});
  cases.push_back({"NullEngineRecordsAreIgnored",
                   {},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_DETECTION, 0), step(AVM_ACTION, 0),
                    step(AVM_DETECTION, address(&kWithoutName)), step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.IsInfected = 1;
                             r.detect_type = 3;
                             r.virus_type = 1;
                           })},
                   {}});
  cases.push_back({"AHashLongerThanItsBufferIsCutToTheBuffer",
                   {{1, 6}, {}, true},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_FILEHASH, address(&kHashLonger)),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.ObjectHashType = 3;
                             r.ObjectHash = kHash16;
                           })},
                   {kHashTooLong}});
  cases.push_back({"AHashIsTakenWhole",
                   {{1, 6}, {}, true},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_FILEHASH, address(&kHashExact)),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.ObjectHashType = 2;
                             r.ObjectHash = kHash20;
                           })},
                   {}});
  cases.push_back({"AHashShorterThanItsBufferUsesTheDataLength",
                   {{1, 6}, {}, true},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_FILEHASH, address(&kHashShorter)),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.ObjectHashType = 1;
                             r.ObjectHash = kHash16;
                           })},
                   {}});
  cases.push_back({"AHashRecordWithoutDataOrOfImpossibleLengthLeavesNoHashType",
                   {{1, 6}, {}, true},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_FILEHASH, address(&kHashNoData)),
                    step(AVM_FILEHASH, address(&kHashHuge)),
                    step(AVM_FILEHASH, address(&kHashHugeBuffer)),
                    step(AVM_FILEHASH, address(&kHashEmpty)), step(AVM_OBJECT_DONE)},
                   {0, 0, 0, 0, 0, 0},
                   {record(kPath)},
                   {kHashTooLong}});
  cases.push_back({"AFaultyHashRecordKeepsTheHashAlreadyTaken",
                   {{1, 6}, {}, true},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_FILEHASH, address(&kHashExact)),
                    step(AVM_OBJECT_DONE), step(AVM_FILEHASH, address(&kHashHuge))},
                   {0, 0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.ObjectHashType = 2;
                             r.ObjectHash = kHash20;
                           })},
                   {}});
  cases.push_back({"ANullHashRecordIsOnlyLogged",
                   {{1, 6}, {}, true},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_FILEHASH, 0), step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {record(kPath)},
                   {kHashNull}});
  cases.push_back({"HashesThatWereNotAskedForAreRecordedToo",
                   {{1, 6}, {}, false},
                   0,
                   {step(AVM_OBJECT_NAME, path), step(AVM_FILEHASH, address(&kHashExact)),
                    step(AVM_OBJECT_DONE)},
                   {0, 0, 0},
                   {record(kPath,
                           [](CVxScanObjectResult& r) {
                             r.ObjectHashType = 2;
                             r.ObjectHash = kHash20;
                           })},
                   {}});
  return cases;
}

class ObjectScannerMessageTest : public ObjectScannerTest,
                                 public ::testing::WithParamInterface<MessageCase> {};

TEST_P(ObjectScannerMessageTest, RecordsAndAnswers) {
  const MessageCase& c = GetParam();
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner(c.settings);
  script(c.steps);
  vxtest::LogCapture capture;
  ASSERT_TRUE(scanner->scanObject(object(c.objectType)).ok);
  EXPECT_EQ(answers(), c.answers);

  std::vector<std::wstring> warnings;
  for (const vxtest::LogEntry& entry : capture->entries()) {
    EXPECT_EQ(entry.severity, VX_LOG_WARNING) << entry.message;
    EXPECT_EQ(entry.file, L"VxAVObjectScanner");
    EXPECT_EQ(entry.function, L"CVxAVObjectScanner::Callback");
    warnings.push_back(entry.message);
  }
  EXPECT_EQ(warnings, c.warnings);

  const VxNAResult<std::shared_ptr<VxScanObjectResultMap>> results = scanner->getResults();
  if (c.records.empty()) {
    EXPECT_EQ(results.error, ERROR_INVALID_DATA);
    return;
  }
  ASSERT_TRUE(results.ok);
  ASSERT_EQ(results.value->size(), c.records.size());
  auto stored = results.value->begin();
  for (const CVxScanObjectResult& expected : c.records) {
    EXPECT_EQ(stored->first, expected.itemName);
    expectRecord(*stored->second, expected);
    // The scan threads find the same record by name.
    const auto single = scanner->getResult(expected.itemName);
    ASSERT_TRUE(single.ok);
    EXPECT_EQ(single.value, stored->second);
    ++stored;
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, ObjectScannerMessageTest, ::testing::ValuesIn(messageCases()),
                         [](const ::testing::TestParamInfo<MessageCase>& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// The parameter list and the object descriptor

TEST_F(ObjectScannerTest, ScansAFileWithTheFixedParameterListAndDescriptor) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  ASSERT_TRUE(scanner->scanObject(object()).ok);

  ASSERT_EQ(TestEngineCallCount(TEST_ENGINE_SCAN_OBJECT), 1u);
  EXPECT_EQ(TestEngineCallHandle(TEST_ENGINE_SCAN_OBJECT, 0), TEST_ENGINE_DEFAULT_HANDLE);
  std::uint16_t size = 0;
  std::uint16_t count = 0;
  ASSERT_EQ(TestEngineBlockHeader(TEST_ENGINE_SCAN_OBJECT, 0, &size, &count), 1);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(count, 9u);
  EXPECT_EQ(parameterCodes(TEST_ENGINE_SCAN_OBJECT, 0),
            (std::vector<std::uint16_t>{100, 101, 7, 502, 560, 300, 400, 401, 404}));
  TestEngineParameter p{};
  for (std::uint32_t i = 0; TestEngineGetParameter(TEST_ENGINE_SCAN_OBJECT, 0, i, &p) != 0; ++i) {
    EXPECT_EQ(p.record.size, 16u);
    if (i >= 3) {
      EXPECT_EQ(p.record.length, 0u) << p.record.code;
      EXPECT_EQ(p.record.value, 0u) << p.record.code;
    }
  }
  ASSERT_TRUE(findParameter(TEST_ENGINE_SCAN_OBJECT, 0, 100, p));
  EXPECT_EQ(p.record.length, 8u);
  EXPECT_EQ(p.record.value, AV_PTR_TO_U64(&CVxAVObjectScanner::Callback));
  ASSERT_TRUE(findParameter(TEST_ENGINE_SCAN_OBJECT, 0, 101, p));
  EXPECT_EQ(p.record.length, 8u);
  EXPECT_EQ(p.record.value, AV_PTR_TO_U64(scanner.get()));

  ASSERT_TRUE(findParameter(TEST_ENGINE_SCAN_OBJECT, 0, 7, p));
  EXPECT_EQ(p.record.length, 28u);
  const std::vector<std::uint8_t> descriptor = bytesOf(p);
  ASSERT_EQ(descriptor.size(), 28u);
  EXPECT_EQ(std::vector<std::uint8_t>(descriptor.begin(), descriptor.begin() + 8),
            (std::vector<std::uint8_t>{28, 0, 4, 0, 1, 0, 0, 0}));
  std::uint32_t pathLength = 0;
  std::memcpy(&pathLength, descriptor.data() + 24, 4);
  EXPECT_EQ(pathLength, std::strlen(kPath) + 1);
  ASSERT_EQ(p.stringCount, 1u);
  EXPECT_STREQ(p.strings[0], kPath);
  ASSERT_EQ(p.hasContextIds, 1);
  EXPECT_EQ(std::vector<std::uint32_t>(p.contextIds, p.contextIds + p.contextIdCount),
            (std::vector<std::uint32_t>{1, 3}));
}

// A process module read through the kernel's handle: the engine opens and names
// the handle, the record keeps the module's own name.
TEST_F(ObjectScannerTest, AModuleReadThroughAHandleIsOpenedThereAndRecordedUnderItsName) {
  static const char kHandle[] = "/proc/42/map_files/7f00-8f00";
  const std::string name = "/tmp/x/evil (deleted) [pid 42]";
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  const std::shared_ptr<CVxAVScanObject> module = object(0, L"/tmp/x/evil (deleted) [pid 42]");
  module->setContentPath(L"/proc/42/map_files/7f00-8f00");
  script({step(AVM_OBJECT_NAME, address(kHandle)), step(AVM_PASS), step(AVM_OBJECT_DONE)});
  vxtest::LogCapture capture;
  ASSERT_TRUE(scanner->scanObject(module).ok);

  TestEngineParameter p{};
  ASSERT_TRUE(findParameter(TEST_ENGINE_SCAN_OBJECT, 0, 7, p));
  ASSERT_EQ(p.stringCount, 1u);
  EXPECT_STREQ(p.strings[0], kHandle);
  const auto record = scanner->getResult(name);
  ASSERT_TRUE(record.ok && record.value != nullptr);
  EXPECT_EQ(record.value->itemName, name);
  EXPECT_EQ(record.value->PassCount, 1u);
  const auto results = scanner->getResults();
  ASSERT_TRUE(results.ok);
  EXPECT_EQ(results.value->size(), 1u);
  EXPECT_TRUE(capture->entries().empty());
}

// A module carries the identity of the mapped file; an object named by the host
// carries none, and its parameter list stays the fixed one.
TEST_F(ObjectScannerTest, AModulesIdentityReachesTheEngineOnlyWithTheModule) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  const std::shared_ptr<CVxAVScanObject> module = object(0, L"/usr/lib/libx.so");
  VxScanObjectIdentity identity;
  identity.deviceMajor = 8;
  identity.deviceMinor = 3;
  identity.inode = 0x123456789;
  identity.pid = 42;
  identity.kernelHandle = std::make_shared<const std::string>("/proc/42/map_files/7f00-8f00");
  module->setIdentity(identity);
  ASSERT_TRUE(scanner->scanObject(module).ok);
  ASSERT_TRUE(scanner->scanObject(object()).ok);

  TestEngineParameter p{};
  ASSERT_TRUE(findParameter(TEST_ENGINE_SCAN_OBJECT, 0, AV_PARAM_OBJECT_IDENTITY, p));
  EXPECT_EQ(p.record.length, sizeof(AV_OBJECTIDENTITY));
  ASSERT_EQ(p.byteCount, sizeof(AV_OBJECTIDENTITY));
  AV_OBJECTIDENTITY given{};
  std::memcpy(&given, p.bytes, sizeof given);
  EXPECT_EQ(given.size, sizeof(AV_OBJECTIDENTITY));
  EXPECT_EQ(given.deviceMajor, 8u);
  EXPECT_EQ(given.deviceMinor, 3u);
  EXPECT_EQ(given.inode, 0x123456789u);
  ASSERT_EQ(p.stringCount, 2u);
  EXPECT_STREQ(p.strings[0], "/proc/42/map_files/7f00-8f00");
  EXPECT_STREQ(p.strings[1], "/usr/lib/libx.so");
  EXPECT_FALSE(findParameter(TEST_ENGINE_SCAN_OBJECT, 1, AV_PARAM_OBJECT_IDENTITY, p));
  EXPECT_EQ(parameterCodes(TEST_ENGINE_SCAN_OBJECT, 1).size(), 9u);
}

// The path named another file when the engine opened it, and the engine read the
// mapped one through the kernel's handle: the report says so, while the record
// stays where the scan thread and the later passes look for it.
TEST_F(ObjectScannerTest, AReplacedModuleIsReportedAsReplacedUnderItsOwnKey) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  const std::shared_ptr<CVxAVScanObject> module = object(0, kWidePath);
  VxScanObjectIdentity identity;
  identity.inode = 77;
  identity.pid = 42;
  identity.kernelHandle = std::make_shared<const std::string>("/proc/42/map_files/7f00-8f00");
  module->setIdentity(identity);
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_OBJECT_REPLACED), step(AVM_PASS),
          step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(module).ok);

  const auto record = scanner->getResult(kPath);
  ASSERT_TRUE(record.ok && record.value != nullptr);
  EXPECT_EQ(record.value->itemName, std::string(kPath) + " (replaced) [pid 42, inode 77]");
  EXPECT_EQ(record.value->PassCount, 1u);
  const auto results = scanner->getResults();
  ASSERT_TRUE(results.ok);
  ASSERT_EQ(results.value->size(), 1u);
  EXPECT_EQ(results.value->begin()->first, kPath);

  // An object without identity cannot be replaced: the message changes nothing.
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_OBJECT_REPLACED), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object()).ok);
  EXPECT_EQ(scanner->getResult(kPath).value->itemName, kPath);
}

TEST_F(ObjectScannerTest, CollectHashAsksForHashesOnlyWhenSetBeforeInitialize) {
  std::shared_ptr<CVxAVObjectScanner> asking = newScanner({{1}, {}, true});
  ASSERT_TRUE(asking->scanObject(object()).ok);
  EXPECT_EQ(parameterCodes(TEST_ENGINE_SCAN_OBJECT, 0),
            (std::vector<std::uint16_t>{100, 101, 7, 502, 560, 300, 400, 401, 404, 616}));

  std::shared_ptr<CVxAVObjectScanner> late = newScanner({{1}, {}, false});
  EXPECT_TRUE(late->setCollectHash(true).ok);
  ASSERT_TRUE(late->scanObject(object()).ok);
  EXPECT_EQ(parameterCodes(TEST_ENGINE_SCAN_OBJECT, 1).size(), 9u);
}

TEST_F(ObjectScannerTest, AMemoryObjectIsDescribedWithoutPath) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  ASSERT_TRUE(scanner->scanObject(object(1)).ok);
  TestEngineParameter p{};
  ASSERT_TRUE(findParameter(TEST_ENGINE_SCAN_OBJECT, 0, 7, p));
  const std::vector<std::uint8_t> descriptor = bytesOf(p);
  ASSERT_EQ(descriptor.size(), 28u);
  EXPECT_EQ(std::vector<std::uint8_t>(descriptor.begin(), descriptor.begin() + 8),
            (std::vector<std::uint8_t>{28, 0, 6, 0, 6, 0, 0, 0}));
  EXPECT_EQ(std::vector<std::uint8_t>(descriptor.begin() + 16, descriptor.end()),
            std::vector<std::uint8_t>(12, 0));
  EXPECT_EQ(p.stringCount, 0u);
}

TEST_F(ObjectScannerTest, AnObjectOfUnknownTypeIsRefusedBeforeTheEngine) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  EXPECT_EQ(scanner->scanObject(object(2)).error, VX_E_TYPE_NOT_RECOGNIZED);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_SCAN_OBJECT), 0u);
}

// ---------------------------------------------------------------------------
// Context IDs from the settings file

struct ContextIdCase {
  const char* name;
  const char* ini;  // null: no settings file
  std::vector<std::uint32_t> ids;
  std::vector<std::wstring> warnings;
};

void PrintTo(const ContextIdCase& c, std::ostream* os) { *os << c.name; }

class ObjectScannerContextIdTest : public ObjectScannerTest,
                                   public ::testing::WithParamInterface<ContextIdCase> {};

TEST_P(ObjectScannerContextIdTest, ReachTheDescriptorSortedAndOnce) {
  const ContextIdCase& c = GetParam();
  if (c.ini != nullptr) {
    folder_.write("AVScanner.ini", c.ini);
  } else {
    std::filesystem::remove(folder_.file("AVScanner.ini"));
  }
  vxtest::LogCapture capture;
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  std::vector<std::wstring> warnings;
  for (const vxtest::LogEntry& entry : capture->entries()) {
    EXPECT_EQ(entry.severity, VX_LOG_WARNING);
    EXPECT_EQ(entry.function, L"CVxAVObjectScanner::buildDefaultParameterList");
    EXPECT_EQ(entry.file, L"VxAVObjectScanner");
    warnings.push_back(entry.message);
  }
  EXPECT_EQ(warnings, c.warnings);

  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_QUERY_SCAN), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object()).ok);
  TestEngineParameter p{};
  ASSERT_TRUE(findParameter(TEST_ENGINE_SCAN_OBJECT, 0, 7, p));
  EXPECT_EQ(p.hasContextIds, c.ids.empty() ? 0 : 1);
  EXPECT_EQ(std::vector<std::uint32_t>(p.contextIds, p.contextIds + p.contextIdCount), c.ids);
  const auto stored = scanner->getResult(kPath);
  ASSERT_TRUE(stored.ok);
  ASSERT_NE(stored.value, nullptr);
  EXPECT_EQ(stored.value->IsScanned, 1u);
}

const std::wstring kFailed13 = std::wstring(kContextIdsFailed) + L"13";

INSTANTIATE_TEST_SUITE_P(
    Settings, ObjectScannerContextIdTest,
    ::testing::Values(
        ContextIdCase{"DuplicatesAndEmptyTokens", "[product]\ncontext_ids=3,1,,3\n", {1, 3}, {}},
        ContextIdCase{"NumbersReadLikeAtoi",
                      "[product]\ncontext_ids= 12abc, +7 ,-1,x\n",
                      {0, 7, 12, 0xFFFFFFFFu},
                      {}},
        ContextIdCase{"OnlySeparators", "[product]\ncontext_ids=,,,\n", {}, {kNoContextIds}},
        ContextIdCase{"MissingKey", "[product]\nproduct_id=5\n", {}, {kFailed13, kNoContextIds}},
        ContextIdCase{"MissingFile", nullptr, {}, {kFailed13, kNoContextIds}},
        ContextIdCase{"OverlongValue",
                      "[product]\ncontext_ids=1,2222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "222222222222222222222222222222222222222222222222222222222222222222222222"
                      "2222222222222222222222222222222222222222222222222222222222222222222222\n",
                      {},
                      {kFailed13, kNoContextIds}}),
    [](const ::testing::TestParamInfo<ContextIdCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(ObjectScannerTest, WithoutHostFolderTheIdsFailWithFunctionFailed) {
  vxtest::LogCapture capture;
  std::shared_ptr<CVxAVObjectScanner> scanner = CVxAVObjectScanner::create(std::string());
  ASSERT_TRUE(scanner->setEngine(startEngine()).ok);
  ASSERT_TRUE(scanner->initialize().ok);
  EXPECT_TRUE(capture->contains(std::wstring(kContextIdsFailed) + L"1627", VX_LOG_WARNING));
  EXPECT_TRUE(capture->contains(kNoContextIds, VX_LOG_WARNING));
}

// ---------------------------------------------------------------------------
// Records across objects

TEST_F(ObjectScannerTest, AnObjectScannedAgainReusesItsStoredRecord) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_PASS), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object()).ok);
  const auto first = scanner->getResult(kPath);
  ASSERT_TRUE(first.ok);
  ASSERT_NE(first.value, nullptr);
  ASSERT_TRUE(scanner->scanObject(object()).ok);
  const auto second = scanner->getResult(kPath);
  EXPECT_EQ(second.value, first.value);
  EXPECT_EQ(second.value->PassCount, 2u);
}

TEST_F(ObjectScannerTest, AMemoryObjectNeverChangesThePreviousFilesRecord) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object()).ok);
  script({step(AVM_QUERY_SCAN), step(AVM_DETECTION, address(&kInScanTypes)), step(AVM_PASS)});
  ASSERT_TRUE(scanner->scanObject(object(1)).ok);
  const auto file = scanner->getResult(kPath);
  ASSERT_NE(file.value, nullptr);
  expectRecord(*file.value, record(kPath));
}

TEST_F(ObjectScannerTest, GetResultsHandsOutASnapshotOfSharedRecords) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object()).ok);
  const auto before = scanner->getResults();
  ASSERT_TRUE(before.ok);
  script({step(AVM_OBJECT_NAME, address(kOtherName)), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object(1)).ok);
  EXPECT_EQ(before.value->size(), 1u);
  const auto after = scanner->getResults();
  ASSERT_EQ(after.value->size(), 2u);
  EXPECT_EQ(after.value->at(kPath), before.value->at(kPath));
}

TEST_F(ObjectScannerTest, AnUnterminatedEngineNameIsReadOnlyUpToTheLimit) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  const std::vector<char> unterminated(CVxAVObjectScanner::kLongestEngineText, 'n');
  script({step(AVM_OBJECT_NAME, address(unterminated.data())), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object(1)).ok);
  const auto results = scanner->getResults();
  ASSERT_TRUE(results.ok);
  ASSERT_EQ(results.value->size(), 1u);
  EXPECT_EQ(results.value->begin()->first.size(), CVxAVObjectScanner::kLongestEngineText);
}

TEST_F(ObjectScannerTest, ANullContextIsAnsweredWithoutEffect) {
  EXPECT_EQ(CVxAVObjectScanner::Callback(nullptr, AVM_QUERY_SCAN, 0, 0), AV_CALLBACK_CONTINUE);
  const AV_CALLBACKCONTEXT empty{16, AV_PARAM_CALLBACK_CONTEXT, 8, 0};
  EXPECT_EQ(CVxAVObjectScanner::Callback(&empty, AVM_QUERY_SCAN, 0, 0), AV_CALLBACK_CONTINUE);
}

// ---------------------------------------------------------------------------
// Failures

struct StatusCase {
  std::uint16_t status;
  std::uint32_t error;
};

class ObjectScannerStatusTest : public ObjectScannerTest,
                                public ::testing::WithParamInterface<StatusCase> {};

TEST_P(ObjectScannerStatusTest, AFailedScanReturnsTheMappedStatusAndKeepsTheRecords) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  TestEngineSetStatus(TEST_ENGINE_SCAN_OBJECT, GetParam().status);
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_OBJECT_DONE)});
  const VxNAResult<> scanned = scanner->scanObject(object());
  EXPECT_EQ(scanned.ok, GetParam().error == 0);
  EXPECT_EQ(scanned.error, GetParam().error);
  EXPECT_NE(scanner->getResult(kPath).value, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ObjectScannerStatusTest,
                         ::testing::Values(StatusCase{0, 0}, StatusCase{1, 0x42032F11u},
                                           StatusCase{0x20, 0x42032F30u},
                                           StatusCase{0xD0EF, 0x4203FFFFu},
                                           StatusCase{0xD0F0, 0x42020000u},
                                           StatusCase{0xFFFF, 0x42022F0Fu}));

TEST_F(ObjectScannerTest, EngineHandleFailuresStopTheScan) {
  struct HandleCase {
    VxNAResult<VxAVEngineHandle> handle;
    std::uint32_t error;
  };
  for (const HandleCase& c : {HandleCase{VxNAFail(VX_E_NOT_INITIALIZED), VX_E_NOT_INITIALIZED},
                              HandleCase{VxNAResult<VxAVEngineHandle>(0), ERROR_INVALID_DATA}}) {
    std::shared_ptr<CVxAVObjectScanner> scanner = CVxAVObjectScanner::create(folder_.path());
    ASSERT_TRUE(scanner->setEngine(std::make_shared<FixedHandleEngine>(c.handle)).ok);
    ASSERT_TRUE(scanner->initialize().ok);
    EXPECT_EQ(scanner->scanObject(object()).error, c.error);
  }
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_SCAN_OBJECT), 0u);
}

TEST_F(ObjectScannerTest, NothingWorksBeforeInitialize) {
  std::shared_ptr<CVxAVObjectScanner> scanner = CVxAVObjectScanner::create(folder_.path());
  EXPECT_EQ(scanner->initialize().error, VX_E_NOT_INITIALIZED);  // no engine yet
  EXPECT_EQ(scanner->scanObject(object()).error, VX_E_NOT_INITIALIZED);
  EXPECT_EQ(scanner->cancel().error, VX_E_NOT_INITIALIZED);
  EXPECT_EQ(scanner->getResults().error, VX_E_NOT_INITIALIZED);
  EXPECT_EQ(scanner->getResult(kPath).error, VX_E_NOT_INITIALIZED);
  EXPECT_EQ(scanner->scanObject(nullptr).error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_SCAN_OBJECT), 0u);
}

TEST_F(ObjectScannerTest, ConfigurationIsFixedOnceInitialized) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  EXPECT_EQ(scanner->setEngine(startEngine()).error, VX_E_ALREADY_INITIALIZED);
  EXPECT_EQ(scanner->setScanTypes({3}).error, VX_E_ALREADY_INITIALIZED);
  EXPECT_EQ(scanner->setCleanTypes({3}).error, VX_E_ALREADY_INITIALIZED);
  EXPECT_EQ(scanner->initialize().error, VX_E_ALREADY_INITIALIZED);
  EXPECT_EQ(scanner->reserved().error, VX_E_NOT_SUPPORTED);
  EXPECT_EQ(scanner->getResults().error, ERROR_INVALID_DATA);
  const auto none = scanner->getResult(kPath);
  EXPECT_TRUE(none.ok);
  EXPECT_EQ(none.value, nullptr);
}

TEST_F(ObjectScannerTest, ScanAndCleanTypesAccumulateOverCalls) {
  std::shared_ptr<CVxAVObjectScanner> scanner = CVxAVObjectScanner::create(folder_.path());
  ASSERT_TRUE(scanner->setEngine(startEngine()).ok);
  ASSERT_TRUE(scanner->setScanTypes({9}).ok);
  ASSERT_TRUE(scanner->setScanTypes({1}).ok);
  ASSERT_TRUE(scanner->setCleanTypes({9}).ok);
  ASSERT_TRUE(scanner->setCleanTypes({}).ok);
  ASSERT_TRUE(scanner->initialize().ok);
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_DETECTION, address(&kOutsideScanTypes)),
          step(AVM_QUERY_REPAIR), step(AVM_OBJECT_DONE)});
  ASSERT_TRUE(scanner->scanObject(object()).ok);
  EXPECT_EQ(answers(), (std::vector<std::uint32_t>{0, 0, 0, 0}));
  EXPECT_EQ(scanner->getResult(kPath).value->virus_type, 9u);
}

// ---------------------------------------------------------------------------
// Cancel

TEST_F(ObjectScannerTest, CancelTwiceGivesCancelledTheSecondTime) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  EXPECT_TRUE(scanner->cancel().ok);
  EXPECT_EQ(scanner->cancel().error, VX_E_SCAN_CANCELLED);
  EXPECT_EQ(scanner->scanObject(object()).error, VX_E_SCAN_CANCELLED);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_SCAN_OBJECT), 0u);
}

TEST_F(ObjectScannerTest, CancelFromAnotherThreadDeclinesEveryLaterQuery) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner({{1}, {1}, false});
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_QUERY_CONTINUE),
          step(AVM_DETECTION, address(&kInScanTypes)), step(AVM_QUERY_SCAN),
          step(AVM_QUERY_REPAIR), step(AVM_QUERY_CONTINUE), step(AVM_QUERY_CONTINUE_2),
          step(AVM_PASS), step(AVM_OBJECT_DONE)});
  TestEngineHoldScansAtStep(3);
  VxNAResult<> scanned;
  std::thread scanning([&] { scanned = scanner->scanObject(object()); });
  ASSERT_EQ(TestEngineWaitForHeldScans(1, 60000), 1);
  // Reading while the engine holds the scan is safe too.
  EXPECT_EQ(scanner->getResult(kPath).value, nullptr);
  EXPECT_TRUE(scanner->cancel().ok);
  TestEngineReleaseScans();
  scanning.join();

  EXPECT_EQ(scanned.error, VX_E_SCAN_CANCELLED);
  EXPECT_EQ(answers(), (std::vector<std::uint32_t>{0, 0, 0, 1, 1, 1, 1, 0, 0}));
  // Messages that are not queries are still recorded.
  const auto stored = scanner->getResult(kPath);
  ASSERT_NE(stored.value, nullptr);
  EXPECT_EQ(stored.value->IsInfected, 1u);
  EXPECT_EQ(stored.value->IsScanned, 0u);
  EXPECT_EQ(stored.value->IsRepairAttempted, 0u);
  EXPECT_EQ(stored.value->PassCount, 1u);
  EXPECT_EQ(scanner->scanObject(object()).error, VX_E_SCAN_CANCELLED);
}

TEST_F(ObjectScannerTest, AScanCutShortByACancelLeavesTheObjectNotScanned) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_QUERY_SCAN), step(AVM_PASS),
          step(AVM_QUERY_CONTINUE), step(AVM_OBJECT_DONE)});
  TestEngineHoldScansAtStep(3);
  VxNAResult<> scanned;
  std::thread scanning([&] { scanned = scanner->scanObject(object()); });
  ASSERT_EQ(TestEngineWaitForHeldScans(1, 60000), 1);
  ASSERT_TRUE(scanner->cancel().ok);
  TestEngineReleaseScans();
  scanning.join();
  EXPECT_EQ(scanned.error, VX_E_SCAN_CANCELLED);
  EXPECT_EQ(answers(), (std::vector<std::uint32_t>{0, 0, 0, 1, 0}));
  const auto stored = scanner->getResult(kPath);
  ASSERT_NE(stored.value, nullptr);
  EXPECT_EQ(stored.value->IsScanned, 0u);
  EXPECT_EQ(stored.value->PassCount, 1u);
}

TEST_F(ObjectScannerTest, ACancelledScanEndsCancelledWhateverTheEngineReturns) {
  std::shared_ptr<CVxAVObjectScanner> scanner = newScanner();
  TestEngineSetStatus(TEST_ENGINE_SCAN_OBJECT, 0x33);
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_QUERY_SCAN)}, true);
  TestEngineHoldScansAtStep(1);
  VxNAResult<> scanned;
  std::thread scanning([&] { scanned = scanner->scanObject(object()); });
  ASSERT_EQ(TestEngineWaitForHeldScans(1, 60000), 1);
  ASSERT_TRUE(scanner->cancel().ok);
  TestEngineReleaseScans();
  scanning.join();
  EXPECT_EQ(scanned.error, VX_E_SCAN_CANCELLED);
}

TEST_F(ObjectScannerTest, ScannersOfSeveralThreadsShareOneEngine) {
  constexpr int kScanners = 4;
  std::shared_ptr<IVxAVEngine> engine = startEngine();
  std::vector<std::shared_ptr<CVxAVObjectScanner>> scanners;
  for (int i = 0; i < kScanners; ++i) {
    scanners.push_back(CVxAVObjectScanner::create(folder_.path()));
    ASSERT_TRUE(scanners.back()->setEngine(engine).ok);
    ASSERT_TRUE(scanners.back()->setScanTypes({6}).ok);
    ASSERT_TRUE(scanners.back()->initialize().ok);
  }
  script({step(AVM_OBJECT_NAME, address(kPath)), step(AVM_QUERY_SCAN), step(AVM_PASS),
          step(AVM_QUERY_CONTINUE), step(AVM_OBJECT_DONE)});
  TestEngineHoldScansAtStep(2);
  std::vector<VxNAResult<>> scanned(kScanners);
  std::vector<std::thread> threads;
  for (int i = 0; i < kScanners; ++i) {
    threads.emplace_back([&, i] { scanned[i] = scanners[i]->scanObject(object()); });
  }
  ASSERT_EQ(TestEngineWaitForHeldScans(kScanners, 60000), 1);
  ASSERT_TRUE(scanners[0]->cancel().ok);
  TestEngineReleaseScans();
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(scanned[0].error, VX_E_SCAN_CANCELLED);
  for (int i = 1; i < kScanners; ++i) {
    EXPECT_TRUE(scanned[i].ok) << i;
    const auto stored = scanners[i]->getResult(kPath);
    ASSERT_NE(stored.value, nullptr);
    EXPECT_EQ(stored.value->PassCount, 1u);
    EXPECT_EQ(stored.value->IsScanned, 1u);
  }
}

}  // namespace
