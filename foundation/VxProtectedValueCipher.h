/*
 * The stream cipher and digest that protect stored settings values: RC4 keyed
 * with a braced-GUID text, whose first key-stream byte seeds a feedback byte that
 * every plaintext byte is folded into, so that each ciphertext byte depends on all
 * bytes before it. MD5 guards the stored form; when it cannot be computed no
 * value is written or read (6000, VX_E_CIPHER_SETUP).
 *
 * A cipher state serves one value in one direction: make a fresh one for every
 * value read or written. States are not shared between threads; the functions
 * are otherwise stateless.
 */
#ifndef VX_PROTECTED_VALUE_CIPHER_H
#define VX_PROTECTED_VALUE_CIPHER_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// The key of the clean-session values in the registry.
inline constexpr std::string_view kVxRegistryValueKey = "{3B9A0F64-27C1-4D8E-A5F2-6C0E91D47B38}";
// The key of the values of the "log.ini" settings files.
inline constexpr std::string_view kVxLogIniValueKey = "{8E2B4D71-C6A0-4B39-91F5-3D7E0A6C24B8}";

class CVxProtectedValueCipher {
 public:
  explicit CVxProtectedValueCipher(std::string_view key);

  std::vector<std::uint8_t> encipher(std::span<const std::uint8_t> plain);
  std::vector<std::uint8_t> decipher(std::span<const std::uint8_t> enciphered);

 private:
  std::uint8_t nextKeyByte();

  std::array<std::uint8_t, 256> state_{};
  std::uint8_t i_ = 0;
  std::uint8_t j_ = 0;
  std::uint8_t feedback_ = 0;
};

using VxMd5Digest = std::array<std::uint8_t, 16>;
// The MD5 of `bytes`; nothing when OpenSSL cannot provide or compute it (a
// configuration without the default provider, for one).
std::optional<VxMd5Digest> vxMd5(std::span<const std::uint8_t> bytes);

#endif
