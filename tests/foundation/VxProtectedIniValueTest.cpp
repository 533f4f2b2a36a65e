// Protected "log.ini" values: the stored pair byte for byte, computed here from
// the layout, and the stored forms that must not be used.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/VxProtectedIniValue.h"
#include "foundation/VxProtectedValueCipher.h"
#include "tests/support/HexBytes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

void appendLittleEndian(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The struct form of the INI functions: upper-case hex, then the byte sum.
std::string structText(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  unsigned sum = 0;
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
    sum += byte;
  }
  text += kDigits[(sum & 0xFF) >> 4];
  text += kDigits[sum & 15];
  return text;
}

struct Pair {
  Bytes header;
  Bytes payload;
};

Pair expectedPair(std::uint32_t value) {
  Bytes plain;
  appendLittleEndian(plain, value);
  CVxProtectedValueCipher cipher(kVxLogIniValueKey);
  Pair pair;
  pair.payload = cipher.encipher(plain);
  pair.header = {'V', 'X', 'R', 'G'};
  appendLittleEndian(pair.header, 1);  // version
  appendLittleEndian(pair.header, 4);  // payload length
  appendLittleEndian(pair.header, 4);  // type: 32-bit number
  appendLittleEndian(pair.header, 1);  // enciphered
  const VxMd5Digest digest = vxMd5(pair.payload).value();
  pair.header.insert(pair.header.end(), digest.begin(), digest.end());
  return pair;
}

class VxProtectedIniValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vxinivalue.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string file() const { return (root_ / "log.ini").string(); }
  void put(const std::string& bytes) const { std::ofstream(file(), std::ios::binary) << bytes; }
  std::string get() const {
    std::ifstream in(file(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void putPair(const std::string& name, const Bytes& header, const Bytes& payload) const {
    put("[Config]\n_" + name + "=" + structText(header) + "\n" + name + "=" + structText(payload) + "\n");
  }

  fs::path root_;
};

TEST_F(VxProtectedIniValueTest, WrittenPairIsTheLayoutByteForByte) {
  for (const std::uint32_t value : {3u, 153600u, 0xFFFFFFFFu}) {
    fs::remove(file());
    ASSERT_EQ(CVxProtectedIniStore::writeNumber(file(), L"Config", L"Severity", value), 0u);
    const Pair pair = expectedPair(value);
    ASSERT_EQ(pair.header.size(), kVxIniHeaderSize);
    EXPECT_EQ(get(), "[Config]\n_Severity=" + structText(pair.header) + "\nSeverity=" + structText(pair.payload) + "\n")
        << value;

    const auto read = CVxProtectedIniStore::read(file(), L"Config", L"Severity");
    ASSERT_TRUE(read.ok);
    EXPECT_TRUE(read.value.isNumber());
    EXPECT_EQ(read.value.number(), value);
  }
}

TEST_F(VxProtectedIniValueTest, PairWrittenHereIsReadBack) {
  const Pair pair = expectedPair(7);
  putPair("LastLogIdx", pair.header, pair.payload);
  const auto read = CVxProtectedIniStore::read(file(), L"Config", L"LastLogIdx");
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.value.type, kVxValueTypeNumber);
  EXPECT_EQ(read.value.number(), 7u);
}

struct DamageCase {
  const char* name;
  std::size_t headerByte;  // SIZE_MAX: the payload is damaged instead
};

class VxProtectedIniDamageTest : public VxProtectedIniValueTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(VxProtectedIniDamageTest, IsInvalidData) {
  Pair pair = expectedPair(5);
  if (GetParam().headerByte == SIZE_MAX) {
    pair.payload[1] ^= 0x01;
  } else {
    pair.header[GetParam().headerByte] ^= 0x01;
  }
  // Checksums are made for the damaged bytes: only the value's own tests catch it.
  putPair("Severity", pair.header, pair.payload);
  const auto read = CVxProtectedIniStore::read(file(), L"Config", L"Severity");
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.error, 13u);
}

INSTANTIATE_TEST_SUITE_P(Cases, VxProtectedIniDamageTest,
                         ::testing::Values(DamageCase{"Magic", 0}, DamageCase{"Digest", 25},
                                           DamageCase{"EncipheredFlag", 17}, DamageCase{"Length", 8},
                                           DamageCase{"Payload", SIZE_MAX}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VxProtectedIniValueTest, PayloadOfWrongLengthIsInvalidData) {
  Pair pair = expectedPair(5);
  pair.payload.push_back(0);
  putPair("Severity", pair.header, pair.payload);
  EXPECT_EQ(CVxProtectedIniStore::read(file(), L"Config", L"Severity").error, 13u);
}

TEST_F(VxProtectedIniValueTest, ValueWithoutHeaderIsPlainText) {
  put("[Config]\nSeverity=1\n");
  const auto read = CVxProtectedIniStore::read(file(), L"Config", L"Severity");
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.value.type, kVxValueTypeText);
  EXPECT_FALSE(read.value.isNumber());
  EXPECT_EQ(read.value.text, L"1");
}

TEST_F(VxProtectedIniValueTest, PlainNumberIsReadAsDecimalText) {
  Bytes header = {'V', 'X', 'R', 'G'};
  appendLittleEndian(header, 1);
  appendLittleEndian(header, 4);
  appendLittleEndian(header, 4);
  appendLittleEndian(header, 0);  // plain
  header.resize(kVxIniHeaderSize, 0);
  put("[Config]\n_MaxSize=" + structText(header) + "\nMaxSize=  -12abc\n");
  const auto read = CVxProtectedIniStore::read(file(), L"Config", L"MaxSize");
  ASSERT_TRUE(read.ok);
  ASSERT_TRUE(read.value.isNumber());
  EXPECT_EQ(read.value.number(), static_cast<std::uint32_t>(-12));
}

}  // namespace
