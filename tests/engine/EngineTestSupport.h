#pragma once
// Shared pieces of the engine tests: a fixture that binds the component to the
// scriptable test engine and resets it, readers of what the engine received, and
// scratch folders for settings files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/VxAVEngineLibrary.h"
#include "foundation/VxNATypeConversion.h"
#include "tests/engine/testengine/TestEngineControl.h"

namespace vxtest {

// A fresh folder under the temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vx-engine-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(file(name), std::ios::binary) << bytes;
  }

 private:
  std::string path_;
};

inline std::vector<std::uint16_t> parameterCodes(TestEngineEntry entry, std::uint32_t call) {
  std::vector<std::uint16_t> codes;
  TestEngineParameter parameter{};
  for (std::uint32_t i = 0; TestEngineGetParameter(entry, call, i, &parameter) != 0; ++i) {
    codes.push_back(parameter.record.code);
  }
  return codes;
}

// The first parameter with this code in that call; ok false when there is none.
inline bool findParameter(TestEngineEntry entry, std::uint32_t call, std::uint16_t code,
                          TestEngineParameter& found) {
  TestEngineParameter parameter{};
  for (std::uint32_t i = 0; TestEngineGetParameter(entry, call, i, &parameter) != 0; ++i) {
    if (parameter.record.code == code) {
      found = parameter;
      return true;
    }
  }
  return false;
}

inline std::vector<std::uint8_t> bytesOf(const TestEngineParameter& parameter) {
  return std::vector<std::uint8_t>(parameter.bytes, parameter.bytes + parameter.byteCount);
}

// Binds the process's engine to the test engine and starts every test from a
// reset engine.
class TestEngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const VxNAResult<> bound = CVxAVEngineLibrary::bindProcessEngine(
        VxNATypeConversion::ansiBufferToWideString(std::string(TEST_ENGINE_PATH)));
    ASSERT_TRUE(bound.ok) << "binding the test engine failed, error " << bound.error;
    TestEngineReset();
  }
  void TearDown() override { TestEngineReset(); }
};

}  // namespace vxtest
