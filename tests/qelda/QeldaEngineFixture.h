// A fixture that loads the engine library by path, as the component does, starts
// engines on data sets and records every callback message of a scan.
#ifndef TESTS_QELDA_ENGINE_FIXTURE_H
#define TESTS_QELDA_ENGINE_FIXTURE_H

#include "engine/VxAVEngineABI.h"
#include "tests/support/DetectionSamples.h"

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qeldatest {

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

inline std::uint32_t record(const AV_CALLBACKCONTEXT* context, std::uint16_t message, std::uint64_t first,
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

inline std::string eicar() { return vxtest::testFileContent(); }

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

}  // namespace qeldatest

#endif
