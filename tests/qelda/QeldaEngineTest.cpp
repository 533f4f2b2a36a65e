// The engine library through its C interface, loaded by path as the component does.
#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaCleaner.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
};

struct Recorder {
  std::vector<Message> messages;
  std::uint16_t declineAt = 0;
};

std::uint32_t record(const AV_CALLBACKCONTEXT* context, std::uint16_t message, std::uint64_t first,
                     std::uintptr_t second) {
  auto* recorder = AV_U64_TO_PTR(Recorder*, context->value);
  Message m{message, first, second, {}};
  if (message == AVM_OBJECT_NAME) m.text = reinterpret_cast<const char*>(second);
  if (message == AVM_DETECTION) {
    const auto* d = reinterpret_cast<const AV_DETECTION*>(second);
    m.text = AV_U64_TO_PTR(const char*, d->virusName);
    m.first = d->virusType;
  }
  if (message == AVM_ACTION) m.second = reinterpret_cast<const AV_ACTION*>(second)->actionTaken;
  if (message == AVM_FILEHASH) {
    const auto* h = reinterpret_cast<const AV_FILEHASH*>(second);
    m.first = h->dataLength;
  }
  recorder->messages.push_back(m);
  return message == recorder->declineAt ? AV_CALLBACK_DECLINE : AV_CALLBACK_CONTINUE;
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

std::string eicar() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS" + "-TEST-FILE!$H+H*";
}

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
  std::uint16_t start(bool versionOnly = false, const char* names = "names.dat") {
    const char* files[3] = {names, "scan.yar", "clean.dat"};
    AV_DATASETFILES set{sizeof(AV_DATASETFILES), 3, 0, AV_PTR_TO_U64(files)};
    const std::string folder = QELDA_DATA_DIR;
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
    AV_OBJECTDESCRIPTOR d{28, kind, 1, 0, 0, AV_PTR_TO_U64(path.c_str()),
                          static_cast<std::uint32_t>(path.size() + 1)};
    std::vector<AV_SINGLEPARAMETER> p{{16, AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(&record)},
                                      {16, AV_PARAM_CALLBACK_CONTEXT, 8, AV_PTR_TO_U64(&recorder)},
                                      {16, AV_PARAM_SCAN_OBJECT, 28, AV_PTR_TO_U64(&d)},
                                      {16, AV_PARAM_SWITCH_502, 0, 0}};
    if (hash) p.push_back({16, AV_PARAM_COLLECT_HASH, 0, 0});
    AV_PARAMETERS block{12, static_cast<std::uint16_t>(p.size()), AV_PTR_TO_U64(p.data())};
    return lib.scan(handle, &block, 0);
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
  const std::string content = "xx QELDA-SELFTEST-TROJAN-MARKER-4a81d2c7-93e6-4f0b-a5d8-6c2e1b9f7034 yy";
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
  const auto path = write("pup.bin", "QELDA-SELFTEST-PUP-MARKER-c5e09b3f-18a2-4d7c-b6f4-2e9a0d8c1357");
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
  const auto path = write("pup.bin", std::string(20 << 20, 'a') + "QELDA-SELFTEST-PUP-MARKER-c5e09b3f-18a2-4d7c-b6f4-2e9a0d8c1357");
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

}  // namespace
