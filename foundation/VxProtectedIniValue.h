#pragma once
// Protected values of the "log.ini" settings files. A value named N takes two
// keys of its section, both in the struct form of the INI functions
// (platform/PrivateProfile.h): "_" + N holds a 36-byte header, N the payload.
//
// Header, little-endian:
//   0  4  magic "VXRG"
//   4  4  format version, 1
//   8  4  payload length in bytes
//   12 4  value type (1 text, 3 bytes, 4 32-bit number)
//   16 4  enciphered flag: 1 enciphered, 0 plain
//   20 16 MD5 of the enciphered payload alone
//
// An enciphered payload is kept with the "log.ini" key (VxProtectedValueCipher).
// A plain number (flag 0, type 4) is kept as decimal text under N instead.
//
// Stateless: each call builds its own cipher state. Safe from any thread;
// serialising writers of one file is the caller's business (the file log holds
// its named mutex).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/VxNAResult.h"

inline constexpr std::size_t kVxIniHeaderSize = 36;
inline constexpr std::uint32_t kVxValueTypeText = 1;
inline constexpr std::uint32_t kVxValueTypeBytes = 3;
inline constexpr std::uint32_t kVxValueTypeNumber = 4;
// The longest payload read back; settings values are four bytes.
inline constexpr std::uint32_t kVxIniMaximumPayload = 4096;

struct VxProtectedIniValue {
  std::uint32_t type = kVxValueTypeText;
  // The deciphered payload; for a plain number its four bytes, little-endian.
  std::vector<std::uint8_t> bytes;
  // A value without a header: the text stored under N.
  std::wstring text;

  // Type 4 with four bytes: the number.
  bool isNumber() const { return type == kVxValueTypeNumber && bytes.size() == 4; }
  std::uint32_t number() const;
};

class CVxProtectedIniStore {
 public:
  // Reads value `name` of `section`. A value without its "_" + name header is
  // plain text of type 1 (text holds what N holds). Failures:
  //   13    wrong magic, an enciphered flag other than 0 or 1, a payload that
  //         cannot be read as payload-length bytes, or a digest that does not match;
  //         also a plain value of a type other than 4
  //   6000  the cipher could not be set up
  static VxNAResult<VxProtectedIniValue> read(const std::string& file, const std::wstring& section,
                                              const std::wstring& name);

  // Writes `value` as an enciphered type-4 value. 0, 6000 when the cipher
  // could not be set up, or the INI writer's code.
  static std::uint32_t writeNumber(const std::string& file, const std::wstring& section,
                                   const std::wstring& name, std::uint32_t value);
};
