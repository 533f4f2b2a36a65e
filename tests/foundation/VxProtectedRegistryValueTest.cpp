// Protected registry values: the stored blob byte for byte, built here from its
// layout (the cipher and digest have their own reference test), and every way a
// stored value can fail to read.
#include "foundation/VxProtectedRegistryValue.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/VxProtectedValueCipher.h"
#include "tests/support/CaptureLog.h"

namespace {

using platform::kRegBinary;
using platform::kRegDword;
using platform::RegistryHive;
using platform::RegistryValue;
using Bytes = std::vector<std::uint8_t>;

constexpr char kKey[] = "Software\\Vexora\\Test Product\\7";

void appendLittleEndian(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The blob of the layout: "VXRG", version 1, payload length, type, MD5 of the
// whole with a zero digest field, enciphered payload.
Bytes expectedBlob(std::uint32_t type, const Bytes& payload) {
  Bytes blob{'V', 'X', 'R', 'G'};
  appendLittleEndian(blob, 1);
  appendLittleEndian(blob, static_cast<std::uint32_t>(payload.size()));
  appendLittleEndian(blob, type);
  blob.resize(32, 0);
  const Bytes enciphered = CVxProtectedValueCipher(kVxRegistryValueKey).encipher(payload);
  blob.insert(blob.end(), enciphered.begin(), enciphered.end());
  const VxMd5Digest digest = vxMd5(blob).value();
  std::copy(digest.begin(), digest.end(), blob.begin() + 16);
  return blob;
}

Bytes dword(std::uint32_t value) {
  Bytes bytes;
  appendLittleEndian(bytes, value);
  return bytes;
}

class ProtectedRegistryValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxregvalue.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  platform::Registry registry() const { return platform::Registry((root_ / "registry.db").string()); }

  // Stores raw bytes under the value, as something other than the writer might.
  void storeRaw(std::uint32_t type, const Bytes& bytes, const char* name = "CleanCount") {
    ASSERT_EQ(registry().createKey(RegistryHive::LocalMachine, kKey), 0u);
    ASSERT_EQ(registry().setValue(RegistryHive::LocalMachine, kKey, name, type, bytes), 0u);
  }

  RegistryValue stored(const char* name = "CleanCount") {
    RegistryValue value;
    EXPECT_EQ(registry().queryValue(RegistryHive::LocalMachine, kKey, name, value), 0u);
    return value;
  }

  VxNAResult<VxRegPayload> read(std::span<std::uint8_t> buffer, const char* name = "CleanCount") {
    return VxRegReadValue(registry(), kKey, name, buffer);
  }

  std::filesystem::path root_;
  vxtest::LogCapture log_;
};

TEST_F(ProtectedRegistryValueTest, StoresTheBlobOfTheLayout) {
  struct Case {
    const char* name;
    std::uint32_t type;
    Bytes payload;
  };
  const Case cases[] = {
      {"CleanCount", kRegDword, dword(1024)},
      {"CleanCountPersist", kRegDword, dword(1)},
      {"Text", 1, Bytes{'V', 'e', 'x', 'o', 'r', 'a', 0}},
      {"Empty", kRegBinary, Bytes{}},
      {"Large", kRegBinary, Bytes(700, 0xA5)},  // beyond the first query's 500 bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes expected = expectedBlob(c.type, c.payload);
    EXPECT_EQ(VxRegEncodeBlob(c.type, c.payload).value, expected);
    ASSERT_TRUE(VxRegWriteValue(registry(), kKey, c.name, c.type, c.payload));
    EXPECT_EQ(stored(c.name), (RegistryValue{kRegBinary, expected}));

    Bytes buffer(c.payload.size() + 3, 0xEE);
    const auto read = VxRegReadValue(registry(), "SOFTWARE\\vexora\\test product\\7", c.name, buffer);
    ASSERT_TRUE(read) << read.error;
    EXPECT_EQ(read.value.type, c.type);
    EXPECT_EQ(read.value.size, c.payload.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(c.payload.size())), c.payload);
  }
  // The same value written twice is the same bytes.
  ASSERT_TRUE(VxRegWriteValue(registry(), kKey, "CleanCount", kRegDword, dword(1024)));
  EXPECT_EQ(stored().data, expectedBlob(kRegDword, dword(1024)));
}

TEST_F(ProtectedRegistryValueTest, DamagedOrForeignValuesReadAsInvalidData) {
  const Bytes good = expectedBlob(kRegDword, dword(7));
  auto altered = [&](std::size_t offset, std::uint8_t by) {
    Bytes blob = good;
    blob[offset] = static_cast<std::uint8_t>(blob[offset] ^ by);
    return blob;
  };
  // A length field that disagrees with the size, under a digest that is right.
  auto wrongLength = [&](std::uint32_t length) {
    Bytes blob = good;
    for (int i = 0; i < 4; ++i) blob[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    std::fill_n(blob.begin() + 16, 16, std::uint8_t{0});
    const VxMd5Digest digest = vxMd5(blob).value();
    std::copy(digest.begin(), digest.end(), blob.begin() + 16);
    return blob;
  };
  Bytes badMagicRightDigest = good;
  badMagicRightDigest[3] = 'X';
  std::fill_n(badMagicRightDigest.begin() + 16, 16, std::uint8_t{0});
  const VxMd5Digest digest = vxMd5(badMagicRightDigest).value();
  std::copy(digest.begin(), digest.end(), badMagicRightDigest.begin() + 16);
  Bytes appended = good;
  appended.push_back(0);

  struct Case {
    const char* what;
    std::uint32_t type;
    Bytes bytes;
  };
  const Case cases[] = {
      {"digest byte", kRegBinary, altered(20, 0x01)},
      {"magic", kRegBinary, altered(0, 0x20)},
      {"magic under a right digest", kRegBinary, badMagicRightDigest},
      {"payload byte", kRegBinary, altered(33, 0x80)},
      {"header type", kRegBinary, altered(12, 0x01)},
      {"length field", kRegBinary, altered(8, 0x01)},
      {"length field under a right digest", kRegBinary, wrongLength(5)},
      {"length field that overflows", kRegBinary, wrongLength(0xFFFFFFF0u)},
      {"a byte appended", kRegBinary, appended},
      {"shorter than the header", kRegBinary, Bytes(good.begin(), good.begin() + 31)},
      {"empty", kRegBinary, Bytes{}},
      {"the blob under another registry type", 7, good},
      {"a plain REG_DWORD", kRegDword, dword(7)},
  };
  for (const Case& c : cases) {
    storeRaw(c.type, c.bytes);
    std::array<std::uint8_t, 4> buffer{};
    const auto read = this->read(buffer);
    EXPECT_FALSE(read.ok) << c.what;
    EXPECT_EQ(read.error, 13u) << c.what;
  }
  EXPECT_TRUE(log_->contains(L"VxRegReadValue - invalid protected value, error: 13", VX_LOG_WARNING));
  EXPECT_EQ(log_->find(L"VxRegReadValue - invalid protected value, error: 13").function, L"VxRegReadValue");
  EXPECT_EQ(log_->find(L"VxRegReadValue - invalid protected value, error: 13").file, L"VxProtectedRegistryValue");
}

TEST_F(ProtectedRegistryValueTest, ReadFailuresGiveTheirCodes) {
  std::array<std::uint8_t, 4> four{};
  EXPECT_EQ(read(four).error, 2u) << "nothing stored at all";
  ASSERT_TRUE(VxRegWriteValue(registry(), kKey, "CleanCount", kRegDword, dword(3)));
  EXPECT_EQ(read(four, "Other").error, 2u) << "a missing value";
  EXPECT_EQ(VxRegReadValue(registry(), "Software\\None", "CleanCount", four).error, 2u) << "a missing key";
  EXPECT_TRUE(log_->contains(L"VxRegReadValue - query value failed, error: 2", VX_LOG_NORMAL));

  std::array<std::uint8_t, 3> three{};
  EXPECT_EQ(read(three).error, 234u) << "a buffer smaller than the payload";
  EXPECT_TRUE(log_->contains(L"VxRegReadValue - buffer too small, error: 234", VX_LOG_WARNING));

  storeRaw(kRegBinary, Bytes(kVxRegLargestBlob + 1, 0));
  EXPECT_EQ(read(four).error, 13u) << "larger than any settings value";
}

TEST_F(ProtectedRegistryValueTest, WriteFailuresComeAsTheRegistryGivesThem) {
  ASSERT_TRUE(VxRegWriteValue(registry(), kKey, "CleanCount", kRegDword, dword(3)));
  const platform::Registry readOnly((root_ / "registry.db").string(), platform::Registry::Access::ReadOnly);
  const auto written = VxRegWriteValue(readOnly, kKey, "CleanCount", kRegDword, dword(4));
  EXPECT_EQ(written.error, 5u);
  EXPECT_TRUE(log_->contains(L"VxRegWriteValue - create key failed, error: 5", VX_LOG_WARNING));
  std::array<std::uint8_t, 4> four{};
  ASSERT_TRUE(VxRegReadValue(readOnly, kKey, "CleanCount", four));
  EXPECT_EQ(four[0], 3);
}

TEST_F(ProtectedRegistryValueTest, UpdateHandsOverTheReadAndStoresABlob) {
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t seenError = 0;
  auto store = [&](std::uint32_t number) {
    return VxRegUpdateValue(registry(), kKey, "CleanCount", buffer,
                            [&](const VxNAResult<VxRegPayload>& current, std::uint32_t& type, Bytes& payload) {
                              seenError = current.error;
                              type = kRegDword;
                              payload = dword(number);
                              return 0u;
                            });
  };
  ASSERT_TRUE(store(41));
  EXPECT_EQ(seenError, 2u);
  EXPECT_EQ(stored().data, expectedBlob(kRegDword, dword(41)));
  ASSERT_TRUE(store(42));
  EXPECT_EQ(seenError, 0u);
  EXPECT_EQ(buffer[0], 41) << "the current payload is in the buffer";

  // A damaged value reaches the change as 13; refusing leaves it as it was.
  storeRaw(kRegDword, dword(5));
  const auto refused = VxRegUpdateValue(registry(), kKey, "CleanCount", buffer,
                                        [&](const VxNAResult<VxRegPayload>& current, std::uint32_t&, Bytes&) {
                                          return current.error;
                                        });
  EXPECT_EQ(refused.error, 13u);
  EXPECT_EQ(stored(), (RegistryValue{kRegDword, dword(5)}));
}

}  // namespace
