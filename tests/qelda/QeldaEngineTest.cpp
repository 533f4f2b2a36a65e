// The engine library through its C interface, loaded by path as the component does.
#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaCleaner.h"
#include "tests/support/DetectionSamples.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Message {
  std::uint16_t code;
  std::uint64_t first;
  std::uintptr_t second;
  std::string text;  // name, detection name or hash hex
  std::vector<std::uint8_t> bytes;    // the record of 1045 / 1180 as sent
  std::vector<std::uint8_t> payload;  // the hash bytes of 1180
};

struct Recorder {
  std::vector<Message> messages;
  std::uint16_t declineAt = 0;
  int declineOccurrence = 0;  // decline only the n-th declineAt; 0: every one
  // Runs on the scanning thread before the message is recorded; the count says
  // how often this message came so far, this one included.
  std::function<void(std::uint16_t message, int count)> onMessage;
  std::map<std::uint16_t, int> seen;
};

// Reads a field of a packed record by its offset, as a foreign caller would.
template <typename Field>
Field fieldAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  Field value{};
  if (offset + sizeof(Field) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(Field));
  return value;
}

std::uint32_t record(const AV_CALLBACKCONTEXT* context, std::uint16_t message, std::uint64_t first,
                     std::uintptr_t second) {
  auto* recorder = AV_U64_TO_PTR(Recorder*, context->value);
  const int count = ++recorder->seen[message];
  if (recorder->onMessage) recorder->onMessage(message, count);
  Message m{message, first, second, {}, {}, {}};
  if (message == AVM_OBJECT_NAME) m.text = reinterpret_cast<const char*>(second);
  if (message == AVM_DETECTION) {
    const auto* d = reinterpret_cast<const AV_DETECTION*>(second);
    m.text = AV_U64_TO_PTR(const char*, d->virusName);
    m.first = d->virusType;
    m.bytes.assign(reinterpret_cast<const std::uint8_t*>(second),
                   reinterpret_cast<const std::uint8_t*>(second) + 28);
  }
  if (message == AVM_ACTION) m.second = reinterpret_cast<const AV_ACTION*>(second)->actionTaken;
  if (message == AVM_FILEHASH) {
    const auto* h = reinterpret_cast<const AV_FILEHASH*>(second);
    m.first = h->dataLength;
    m.bytes.assign(reinterpret_cast<const std::uint8_t*>(second),
                   reinterpret_cast<const std::uint8_t*>(second) + 20);
    const auto* data = AV_U64_TO_PTR(const std::uint8_t*, fieldAt<std::uint64_t>(m.bytes, 12));
    if (data != nullptr) m.payload.assign(data, data + fieldAt<std::uint32_t>(m.bytes, 8));
  }
  recorder->messages.push_back(m);
  const bool decline = message == recorder->declineAt &&
                       (recorder->declineOccurrence == 0 || recorder->declineOccurrence == count);
  return decline ? AV_CALLBACK_DECLINE : AV_CALLBACK_CONTINUE;
}

class Library {
 public:
  Library() : handle_(dlopen(QELDA_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL)) {
    init = reinterpret_cast<AV_INITIALISE_FN>(dlsym(handle_, AV_INITIALISE_NAME));
    scan = reinterpret_cast<AV_SCANOBJECT_FN>(dlsym(handle_, AV_SCANOBJECT_NAME));
    close = reinterpret_cast<AV_CLOSE_FN>(dlsym(handle_, AV_CLOSE_NAME));
  }
  ~Library() { if (handle_) dlclose(handle_); }
  AV_INITIALISE_FN init = nullptr;
  AV_SCANOBJECT_FN scan = nullptr;
  AV_CLOSE_FN close = nullptr;
 private:
  void* handle_;
};

std::string eicar() { return vxtest::testFileContent(); }

class QeldaEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(lib.init, nullptr) << dlerror();
    dir = fs::temp_directory_path() / ("qelda-test-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    setenv("VX_MACHINE_DIR", (dir / "machine").c_str(), 1);
  }
  void TearDown() override {
    if (handle != 0) lib.close(handle);
    fs::remove_all(dir);
  }
  std::uint16_t start(bool versionOnly = false, const char* names = "names.dat",
                      const std::string& folder = QELDA_DATA_DIR) {
    const char* files[3] = {names, "scan.yar", "clean.dat"};
    AV_DATASETFILES set{sizeof(AV_DATASETFILES), 3, 0, AV_PTR_TO_U64(files)};
    std::vector<AV_SINGLEPARAMETER> p{
        {16, AV_PARAM_ENGINE_FOLDER, static_cast<std::uint32_t>(folder.size() + 1), AV_PTR_TO_U64(folder.c_str())},
        {16, AV_PARAM_DATASET_FILES, 16, AV_PTR_TO_U64(&set)},
        {16, AV_PARAM_INTERFACE_VERSION, 8, AV_INTERFACE_VERSION},
        {16, 999, 0, 0}};
    if (versionOnly) p.push_back({16, AV_PARAM_VERSION_QUERY, 0, 0});
    AV_PARAMETERS block{12, static_cast<std::uint16_t>(p.size()), AV_PTR_TO_U64(p.data())};
    init = AV_INITIALISATION{};
    init.size = 36;
    const std::uint16_t status = lib.init(&block, &init);
    handle = init.engineHandle;
    return status;
  }
  std::uint16_t scanFile(const std::string& path, Recorder& recorder, bool hash = false,
                         std::uint16_t kind = AV_OBJECT_KIND_FILE) {
    return scanWith(handle, path, recorder, hash, kind);
  }
  std::uint16_t scanWith(std::uint64_t engine, const std::string& path, Recorder& recorder,
                         bool hash = false, std::uint16_t kind = AV_OBJECT_KIND_FILE) {
    AV_OBJECTDESCRIPTOR d{28, kind, 1, 0, 0, AV_PTR_TO_U64(path.c_str()),
                          static_cast<std::uint32_t>(path.size() + 1)};
    std::vector<AV_SINGLEPARAMETER> p{{16, AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(&record)},
                                      {16, AV_PARAM_CALLBACK_CONTEXT, 8, AV_PTR_TO_U64(&recorder)},
                                      {16, AV_PARAM_SCAN_OBJECT, 28, AV_PTR_TO_U64(&d)},
                                      {16, AV_PARAM_SWITCH_502, 0, 0}};
    if (hash) p.push_back({16, AV_PARAM_COLLECT_HASH, 0, 0});
    AV_PARAMETERS block{12, static_cast<std::uint16_t>(p.size()), AV_PTR_TO_U64(p.data())};
    return lib.scan(engine, &block, 0);
  }
  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  static std::vector<std::uint16_t> codes(const Recorder& r) {
    std::vector<std::uint16_t> out;
    for (const auto& m : r.messages) out.push_back(m.code);
    return out;
  }
  static const Message* find(const Recorder& r, std::uint16_t code) {
    for (const auto& m : r.messages) if (m.code == code) return &m;
    return nullptr;
  }

  Library lib;
  fs::path dir;
  AV_INITIALISATION init{};
  std::uint64_t handle = 0;
};

TEST_F(QeldaEngine, StartFillsInitialisationRecord) {
  ASSERT_EQ(start(), 0);
  EXPECT_NE(std::uint64_t{init.engineHandle}, 0u);  // packed fields are copied, never bound
  EXPECT_EQ(std::uint32_t{init.engineVersionMajor}, 1u);
  ASSERT_GE(std::uint16_t{init.recordCount}, 1);
  const auto* const* records = AV_U64_TO_PTR(const AV_DATASETRECORD* const*, init.records);
  EXPECT_EQ(std::uint32_t{records[0]->versionMajor}, 1u);
  EXPECT_EQ(std::uint32_t{records[0]->versionMinor}, 0u);
}

TEST_F(QeldaEngine, CleanFileSequence) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const auto path = write("clean.txt", "nothing here");
  ASSERT_EQ(scanFile(path, r), 0);
  EXPECT_EQ(codes(r), (std::vector<std::uint16_t>{1061, 1041, 1042, 1031, 1036, 1033, 1056, 1064, 1049}));
  EXPECT_EQ(r.messages[0].first, AV_ITEM_TYPE_FILE);
  EXPECT_EQ(r.messages[1].text, path);
  EXPECT_EQ(static_cast<std::uint32_t>(r.messages[2].second), 12u);
  EXPECT_EQ(find(r, 1064)->second, AV_SUMMARY_CLEAN);
}

TEST_F(QeldaEngine, TestFileIsDetectedAndDeleted) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const auto path = write("eicar.com", eicar());
  ASSERT_EQ(scanFile(path, r, true), 0);
  EXPECT_EQ(codes(r), (std::vector<std::uint16_t>{1061, 1041, 1042, 1031, 1036, 1033, 1056, 1045, 1032,
                                                  1047, 1180, 1064, 1049}));
  EXPECT_EQ(find(r, 1045)->text, "Test.EICAR");
  EXPECT_EQ(find(r, 1045)->first, 6u);
  EXPECT_EQ(find(r, 1047)->second, AV_ACTION_DELETED);
  EXPECT_EQ(find(r, 1180)->first, 32u);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(QeldaEngine, DeclinesAndSkips) {
  ASSERT_EQ(start(), 0);
  const auto path = write("eicar.com", eicar());
  for (std::uint16_t decline : {1031, 1032, 1033, 1056}) {
    Recorder r;
    r.declineAt = decline;
    ASSERT_EQ(scanFile(path, r), 0);
    EXPECT_EQ(find(r, 1045) != nullptr, decline == 1032) << decline;
    EXPECT_EQ(find(r, 1047), nullptr) << decline;
    EXPECT_EQ(codes(r).back(), 1049) << decline;
    EXPECT_TRUE(fs::exists(path)) << decline;
  }
}

TEST_F(QeldaEngine, QuarantineAndRestore) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const std::string content = "xx " + vxtest::trojanMarker() + " yy";
  const auto path = write("trojan.bin", content);
  ASSERT_EQ(scanFile(path, r), 0);
  ASSERT_NE(find(r, 1047), nullptr);
  EXPECT_EQ(find(r, 1047)->second, AV_ACTION_QUARANTINED);
  EXPECT_FALSE(fs::exists(path));
  const fs::path folder = qelda::quarantineFolder();
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  std::string recordFile;
  for (const auto& e : fs::directory_iterator(folder)) if (e.path().extension() == ".qrec") recordFile = e.path();
  ASSERT_FALSE(recordFile.empty());
  ASSERT_EQ(qelda::restoreQuarantined(recordFile), 0);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

TEST_F(QeldaEngine, PupIsNotCleanable) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const auto path = write("pup.bin", vxtest::pupMarker());
  ASSERT_EQ(scanFile(path, r), 0);
  EXPECT_EQ(find(r, 1045)->first, 5u);
  EXPECT_EQ(find(r, 1032), nullptr);
  EXPECT_EQ(find(r, 1046)->second, 12u);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(QeldaEngine, TroubleIsReportedNotFailed) {
  ASSERT_EQ(start(), 0);
  const auto target = write("target.com", eicar());
  fs::create_symlink(target, dir / "link");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "sub");
  struct Case { std::string path; std::uint16_t error; } cases[] = {
      {(dir / "missing").string(), AV_SCAN_ERROR_NOT_FOUND},
      {(dir / "link").string(), AV_SCAN_ERROR_NOT_REGULAR},
      {(dir / "fifo").string(), AV_SCAN_ERROR_NOT_REGULAR},
      {(dir / "sub").string(), AV_SCAN_ERROR_NOT_REGULAR}};
  for (const auto& c : cases) {
    Recorder r;
    ASSERT_EQ(scanFile(c.path, r), 0) << c.path;
    ASSERT_NE(find(r, 1044), nullptr) << c.path;
    EXPECT_EQ(find(r, 1044)->second, c.error) << c.path;
    EXPECT_EQ(codes(r).back(), 1049) << c.path;
  }
  EXPECT_TRUE(fs::exists(target));
  if (geteuid() != 0) {
    const auto locked = write("locked", "x");
    fs::permissions(locked, fs::perms::none);
    Recorder r;
    ASSERT_EQ(scanFile(locked, r), 0);
    EXPECT_EQ(find(r, 1044)->second, AV_SCAN_ERROR_ACCESS_DENIED);
  }
}

TEST_F(QeldaEngine, InvalidCallsHaveDistinctStatuses) {
  EXPECT_EQ(start(false, "absent.dat"), AV_STATUS_DATA_MISSING);
  const auto bad = write("bad.dat", "version 1 0\nname x 1\n");
  EXPECT_EQ(start(false, bad.c_str()), AV_STATUS_NAMES_MALFORMED + 2);
  AV_INITIALISATION i{};
  i.size = 36;
  AV_PARAMETERS wrong{11, 0, 0};
  EXPECT_EQ(lib.init(&wrong, &i), AV_STATUS_BAD_PARAMETERS);
  Recorder r;
  EXPECT_EQ(lib.scan(12345, &wrong, 0), AV_STATUS_BAD_HANDLE);
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(scanFile("/", r, false, AV_OBJECT_KIND_MEMORY), AV_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(start(true), 0);  // version query
  EXPECT_EQ(std::uint32_t{AV_U64_TO_PTR(const AV_DATASETRECORD* const*, init.records)[0]->versionMajor}, 1u);
}

TEST_F(QeldaEngine, FourThreadsOnOneHandle) {
  ASSERT_EQ(start(), 0);
  const auto path = write("pup.bin", std::string(20 << 20, 'a') + vxtest::pupMarker());
  std::vector<Recorder> recorders(4);
  std::vector<std::thread> threads;
  for (auto& r : recorders) threads.emplace_back([&, rp = &r] { EXPECT_EQ(scanFile(path, *rp), 0); });
  for (auto& t : threads) t.join();
  for (const auto& r : recorders) {
    ASSERT_NE(find(r, 1045), nullptr);
    const auto sent = codes(r);
    EXPECT_GE(std::count(sent.begin(), sent.end(), 1033), 3);
  }
}

// The default data set's markers.
const std::string kVirusMarker = vxtest::virusMarker();
const std::string kTrojanMarker = vxtest::trojanMarker();
const std::string kPupMarker = vxtest::pupMarker();
constexpr std::size_t kMiB = std::size_t{1} << 20;

std::vector<std::uint8_t> sha256(const std::string& content) {
  std::vector<std::uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned size = 0;
  EVP_Digest(content.data(), content.size(), digest.data(), &size, EVP_sha256(), nullptr);
  digest.resize(size);
  return digest;
}

// Closes a second engine handle when the test ends.
class OpenHandle {
 public:
  OpenHandle(const Library& lib, std::uint64_t handle) : lib_(lib), handle_(handle) {}
  ~OpenHandle() { close(); }
  OpenHandle(const OpenHandle&) = delete;
  OpenHandle& operator=(const OpenHandle&) = delete;
  std::uint64_t get() const { return handle_; }
  void close() {
    if (handle_ != 0) lib_.close(handle_);
    handle_ = 0;
  }

 private:
  const Library& lib_;
  std::uint64_t handle_;
};

TEST_F(QeldaEngine, StopAtACheckpointEndsTheObjectThere) {
  ASSERT_EQ(start(), 0);
  // Three blocks, the detection in the last one.
  const auto path = write("pup-at-end.bin", std::string(20 * kMiB, 'a') + kPupMarker);
  struct Case {
    std::uint16_t at;
    int occurrence;
    int blocksAsked;
  } cases[] = {{AVM_QUERY_CONTINUE, 1, 1},
               {AVM_QUERY_CONTINUE, 2, 2},
               {AVM_QUERY_CONTINUE, 3, 3},
               {AVM_QUERY_CONTINUE_2, 1, 3}};
  for (const auto& c : cases) {
    Recorder r;
    r.declineAt = c.at;
    r.declineOccurrence = c.occurrence;
    ASSERT_EQ(scanFile(path, r, true), 0) << c.at << "#" << c.occurrence;
    const auto sent = codes(r);
    auto declined = sent.end();
    int seen = 0;
    for (auto at = sent.begin(); at != sent.end() && declined == sent.end(); ++at) {
      if (*at == c.at && ++seen == c.occurrence) declined = at;
    }
    ASSERT_NE(declined, sent.end()) << c.at << "#" << c.occurrence;
    EXPECT_EQ(std::vector<std::uint16_t>(declined + 1, sent.end()),
              (std::vector<std::uint16_t>{AVM_OBJECT_SUMMARY, AVM_OBJECT_DONE}))
        << c.at << "#" << c.occurrence;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_NOT_SCANNED) << c.at << "#" << c.occurrence;
    EXPECT_EQ(std::count(sent.begin(), sent.end(), AVM_QUERY_CONTINUE), c.blocksAsked)
        << c.at << "#" << c.occurrence;
  }
}

TEST_F(QeldaEngine, FileChangedDuringTheScanIsAScanError) {
  ASSERT_EQ(start(), 0);
  // Two blocks; the test file at 0 would otherwise be detected and deleted.
  const std::string content = eicar() + std::string(9 * kMiB - eicar().size(), 'a');
  const auto path = (dir / "changing.com").string();
  const auto grow = [&] { std::ofstream(path, std::ios::binary | std::ios::app) << "more"; };
  const auto shrinkTo = [&](std::uintmax_t size) { return [&, size] { fs::resize_file(path, size); }; };
  const auto overwrite = [&] {
    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).seekp(100).put('b');
  };
  // Another file of the same size and times takes the name.
  const auto replace = [&] {
    const auto other = write("replacement", content);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), times, 0), 0);
    fs::rename(other, path);
  };
  struct Case {
    const char* what;
    std::uint16_t at;
    int occurrence;
    std::function<void()> change;
  } cases[] = {{"grows before the first block", AVM_PASS, 1, grow},
               {"grows between blocks", AVM_QUERY_CONTINUE, 2, grow},
               {"shrinks before the first block", AVM_QUERY_CONTINUE, 1, shrinkTo(kMiB)},
               {"emptied before the first block", AVM_PASS, 1, shrinkTo(0)},
               {"shrinks between blocks", AVM_QUERY_CONTINUE, 2, shrinkTo(kMiB)},
               {"rewritten in place before the first block", AVM_PASS, 1, overwrite},
               {"rewritten in place between blocks", AVM_QUERY_CONTINUE, 2, overwrite},
               {"replaced under its name", AVM_PASS, 1, replace}};
  for (const auto& c : cases) {
    write("changing.com", content);
    // Backdated, so that a rewrite gets a later modification time even on a file
    // system whose clock ticks coarsely.
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    Recorder r;
    r.onMessage = [&](std::uint16_t message, int count) {
      if (message == c.at && count == c.occurrence) c.change();
    };
    ASSERT_EQ(scanFile(path, r, true), 0) << c.what;
    ASSERT_NE(find(r, AVM_SCAN_ERROR), nullptr) << c.what;
    EXPECT_EQ(find(r, AVM_SCAN_ERROR)->second, AV_SCAN_ERROR_CHANGED) << c.what;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_ERROR) << c.what;
    EXPECT_EQ(codes(r).back(), AVM_OBJECT_DONE) << c.what;
    EXPECT_EQ(find(r, AVM_DETECTION), nullptr) << c.what;
    EXPECT_EQ(find(r, AVM_FILEHASH), nullptr) << c.what;
    EXPECT_TRUE(fs::exists(path)) << c.what;
  }
}

TEST_F(QeldaEngine, DetectionAndHashRecordsAtTheirOffsets) {
  ASSERT_EQ(start(), 0);
  struct Case {
    const char* file;
    std::string content;
    const char* detection;  // empty: clean
    std::uint16_t virusType;
    std::uint32_t repairable;
  } cases[] = {{"eicar.com", eicar(), "Test.EICAR", 6, 1},
               {"virus.bin", "..." + kVirusMarker + "...", "Qelda.Test.Virus", 0, 1},
               {"trojan.bin", kTrojanMarker, "Qelda.Test.Trojan", 1, 1},
               {"pup.bin", kPupMarker + "\n", "Qelda.Test.Pup", 5, 0},
               {"empty.bin", "", "", 0, 0},
               // Block borders: every byte is hashed once, the overlap included.
               {"block-and-one.bin", std::string(8 * kMiB + 1, 'b'), "", 0, 0},
               {"two-blocks.bin", std::string(16 * kMiB, 'c'), "", 0, 0},
               {"pup-across-border.bin", std::string(8 * kMiB - 10, 'd') + kPupMarker, "Qelda.Test.Pup", 5, 0}};
  for (const auto& c : cases) {
    const auto path = write(c.file, c.content);
    Recorder r;
    r.declineAt = AVM_QUERY_REPAIR;  // keep the file
    ASSERT_EQ(scanFile(path, r, true), 0) << c.file;
    const Message* detection = find(r, AVM_DETECTION);
    if (std::string(c.detection).empty()) {
      EXPECT_EQ(detection, nullptr) << c.file;
      EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_CLEAN) << c.file;
    } else {
      ASSERT_NE(detection, nullptr) << c.file;
      ASSERT_EQ(detection->bytes.size(), 28u);
      EXPECT_EQ(fieldAt<std::uint16_t>(detection->bytes, 8), 1u) << c.file;  // detect type
      EXPECT_EQ(fieldAt<std::uint16_t>(detection->bytes, 10), c.virusType) << c.file;
      EXPECT_NE(fieldAt<std::uint64_t>(detection->bytes, 16), 0u) << c.file;
      EXPECT_EQ(detection->text, c.detection) << c.file;
      EXPECT_EQ(fieldAt<std::uint32_t>(detection->bytes, 24), c.repairable) << c.file;
      EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_INFECTED) << c.file;
    }
    const Message* hash = find(r, AVM_FILEHASH);
    ASSERT_NE(hash, nullptr) << c.file;
    ASSERT_EQ(hash->bytes.size(), 20u);
    EXPECT_EQ(fieldAt<std::uint16_t>(hash->bytes, 0), 0u) << c.file;
    EXPECT_EQ(fieldAt<std::uint16_t>(hash->bytes, 2), AV_HASH_TYPE_SHA256) << c.file;
    EXPECT_EQ(fieldAt<std::uint32_t>(hash->bytes, 4), 32u) << c.file;  // buffer size
    EXPECT_EQ(fieldAt<std::uint32_t>(hash->bytes, 8), 32u) << c.file;  // data length
    EXPECT_EQ(hash->payload, sha256(c.content)) << c.file;
    EXPECT_TRUE(fs::exists(path)) << c.file;
  }
}

TEST_F(QeldaEngine, HandlesShareTheDataSetOfTheFilesTheyWereStartedWith) {
  const auto data = dir / "data";
  fs::create_directories(data);
  for (const char* file : {"names.dat", "scan.yar", "clean.dat"}) {
    fs::copy_file(fs::path(QELDA_DATA_DIR) / file, data / file);
  }
  const std::string original = [&] {
    std::ifstream in(data / "scan.yar", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  const std::string marker = "QELDA-TEST-ADDED-RULE-" + std::to_string(getpid());
  const std::string added = original + "\nrule Added { meta: virus_type = 5 strings: $m = \"" + marker +
                            "\" condition: $m }\n";
  const auto sample = write("added.bin", "xx" + marker + "xx");
  const auto detects = [&](std::uint64_t engine) {
    Recorder r;
    EXPECT_EQ(scanWith(engine, sample, r), 0);
    return find(r, AVM_DETECTION) != nullptr;
  };
  const auto startOn = [&](const std::string& rules) {
    std::ofstream(data / "scan.yar", std::ios::binary | std::ios::trunc) << rules;
    EXPECT_EQ(start(false, "names.dat", data.string()), 0);
    const std::uint64_t started = handle;
    handle = 0;
    return started;
  };

  OpenHandle first(lib, startOn(original));
  OpenHandle same(lib, startOn(original));
  OpenHandle changed(lib, startOn(added));
  EXPECT_FALSE(detects(first.get()));
  EXPECT_FALSE(detects(same.get()));
  EXPECT_TRUE(detects(changed.get()));
  // The set outlives the handle that loaded it while another one holds it.
  first.close();
  EXPECT_FALSE(detects(same.get()));
  Recorder r;
  const auto test = write("eicar.com", eicar());
  r.declineAt = AVM_QUERY_REPAIR;
  ASSERT_EQ(scanWith(same.get(), test, r), 0);
  EXPECT_NE(find(r, AVM_DETECTION), nullptr);
  // After every close, a start reads the files as they are now.
  same.close();
  changed.close();
  OpenHandle reloaded(lib, startOn(added));
  EXPECT_TRUE(detects(reloaded.get()));
  reloaded.close();
  OpenHandle restored(lib, startOn(original));
  EXPECT_FALSE(detects(restored.get()));
}

}  // namespace
