// The settings cipher against a reference written here from its description:
// textbook RC4 over the key text, the first key-stream byte as feedback, and two
// key-stream bytes per value byte.
#include "foundation/VxProtectedValueCipher.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> keyStream(std::string_view key, std::size_t count) {
  std::array<int, 256> s{};
  for (int n = 0; n < 256; ++n) s[n] = n;
  for (int n = 0, j = 0; n < 256; ++n) {
    j = (j + s[n] + static_cast<unsigned char>(key[n % key.size()])) % 256;
    std::swap(s[n], s[j]);
  }
  std::vector<std::uint8_t> out;
  for (int i = 0, j = 0; out.size() < count;) {
    i = (i + 1) % 256;
    j = (j + s[i]) % 256;
    std::swap(s[i], s[j]);
    out.push_back(static_cast<std::uint8_t>(s[(s[i] + s[j]) % 256]));
  }
  return out;
}

std::vector<std::uint8_t> referenceEncipher(std::string_view key, const std::vector<std::uint8_t>& plain) {
  const auto stream = keyStream(key, 1 + 2 * plain.size());
  int feedback = stream[0];
  std::vector<std::uint8_t> out;
  for (std::size_t n = 0; n < plain.size(); ++n) {
    feedback ^= plain[n];
    out.push_back(static_cast<std::uint8_t>(((stream[1 + 2 * n] ^ feedback) + stream[2 + 2 * n]) % 256));
  }
  return out;
}

TEST(VxProtectedValueCipher, MatchesTheReferenceAndRoundTripsWithFreshStates) {
  const std::vector<std::vector<std::uint8_t>> values = {
      {}, {0}, {0xFF}, {5, 0, 0, 0}, {0x00, 0x04, 0x00, 0x00}, std::vector<std::uint8_t>(1000, 0xA5)};
  for (const std::string_view key : {kVxRegistryValueKey, kVxLogIniValueKey}) {
    for (const auto& plain : values) {
      const auto enciphered = CVxProtectedValueCipher(key).encipher(plain);
      EXPECT_EQ(enciphered, referenceEncipher(key, plain)) << key << " " << plain.size();
      EXPECT_EQ(CVxProtectedValueCipher(key).encipher(plain), enciphered) << "the same bytes twice";
      EXPECT_EQ(CVxProtectedValueCipher(key).decipher(enciphered), plain) << key << " " << plain.size();
    }
  }
  const std::vector<std::uint8_t> five = {5, 0, 0, 0};
  EXPECT_NE(CVxProtectedValueCipher(kVxRegistryValueKey).encipher(five),
            CVxProtectedValueCipher(kVxLogIniValueKey).encipher(five));
}

TEST(VxProtectedValueCipher, Md5OfKnownTexts) {
  const auto hex = [](const VxMd5Digest& digest) {
    std::string out;
    for (const auto byte : digest) out += "0123456789abcdef"[byte >> 4], out += "0123456789abcdef"[byte & 15];
    return out;
  };
  const std::string abc = "abc";
  EXPECT_EQ(hex(*vxMd5({})), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(hex(*vxMd5({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()})),
            "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
