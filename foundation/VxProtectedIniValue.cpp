#include "foundation/VxProtectedIniValue.h"

#include <algorithm>
#include <cwctype>
#include <new>
#include <span>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxProtectedValueCipher.h"
#include "platform/PrivateProfile.h"

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'V', 'X', 'R', 'G'};
constexpr std::uint32_t kFormatVersion = 1;
// A plain number is read as at most 19 characters of text.
constexpr std::uint32_t kPlainNumberCharacters = 19;

std::uint32_t loadLittleEndian(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void storeLittleEndian(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct Header {
  std::uint32_t length = 0;
  std::uint32_t type = 0;
  std::uint32_t enciphered = 0;
  VxMd5Digest digest{};
};

Header parseHeader(const std::array<std::uint8_t, kVxIniHeaderSize>& raw) {
  Header header;
  header.length = loadLittleEndian(&raw[8]);
  header.type = loadLittleEndian(&raw[12]);
  header.enciphered = loadLittleEndian(&raw[16]);
  std::copy(raw.begin() + 20, raw.end(), header.digest.begin());
  return header;
}

// atoi: blanks, an optional sign, then digits as far as they go.
std::uint32_t plainNumber(const std::wstring& text) {
  std::size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + static_cast<std::uint32_t>(text[i] - L'0');
  }
  return negative ? 0u - value : value;
}

VxNAResult<VxProtectedIniValue> readEnciphered(const std::string& file, const std::wstring& section,
                                               const std::wstring& name, const Header& header) {
  if (header.length > kVxIniMaximumPayload) return VxNAFail(ERROR_INVALID_DATA);
  std::vector<std::uint8_t> stored(header.length);
  if (platform::readPrivateProfileStruct(file, section, name, stored) != 0) return VxNAFail(ERROR_INVALID_DATA);
  try {
    const std::optional<VxMd5Digest> digest = vxMd5(stored);
    if (!digest) return VxNAFail(VX_E_CIPHER_SETUP);
    if (*digest != header.digest) return VxNAFail(ERROR_INVALID_DATA);
    CVxProtectedValueCipher cipher(kVxLogIniValueKey);
    VxProtectedIniValue value;
    value.type = header.type;
    value.bytes = cipher.decipher(stored);
    return value;
  } catch (const std::exception&) {
    return VxNAFail(VX_E_CIPHER_SETUP);
  }
}

}  // namespace

std::uint32_t VxProtectedIniValue::number() const { return bytes.size() >= 4 ? loadLittleEndian(bytes.data()) : 0; }

VxNAResult<VxProtectedIniValue> CVxProtectedIniStore::read(const std::string& file, const std::wstring& section,
                                                           const std::wstring& name) {
  std::array<std::uint8_t, kVxIniHeaderSize> raw{};
  if (platform::readPrivateProfileStruct(file, section, L"_" + name, raw) != 0) {
    VxProtectedIniValue plain;
    platform::readPrivateProfileString(file, section, name, L"", 4096, plain.text);
    return plain;
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), raw.begin())) return VxNAFail(ERROR_INVALID_DATA);
  const Header header = parseHeader(raw);
  if (header.enciphered == 1) return readEnciphered(file, section, name, header);
  if (header.enciphered != 0 || header.type != kVxValueTypeNumber) return VxNAFail(ERROR_INVALID_DATA);
  std::wstring text;
  platform::readPrivateProfileString(file, section, name, L"", kPlainNumberCharacters + 1, text);
  VxProtectedIniValue value;
  value.type = kVxValueTypeNumber;
  value.bytes.resize(4);
  storeLittleEndian(value.bytes.data(), plainNumber(text));
  return value;
}

std::uint32_t CVxProtectedIniStore::writeNumber(const std::string& file, const std::wstring& section,
                                                const std::wstring& name, std::uint32_t number) {
  std::array<std::uint8_t, 4> plain{};
  storeLittleEndian(plain.data(), number);
  std::array<std::uint8_t, kVxIniHeaderSize> header{};
  std::vector<std::uint8_t> enciphered;
  try {
    CVxProtectedValueCipher cipher(kVxLogIniValueKey);
    enciphered = cipher.encipher(plain);
    const std::optional<VxMd5Digest> digest = vxMd5(enciphered);
    if (!digest) return VX_E_CIPHER_SETUP;
    std::copy(digest->begin(), digest->end(), header.begin() + 20);
  } catch (const std::exception&) {
    return VX_E_CIPHER_SETUP;
  }
  std::copy(kMagic.begin(), kMagic.end(), header.begin());
  storeLittleEndian(&header[4], kFormatVersion);
  storeLittleEndian(&header[8], static_cast<std::uint32_t>(enciphered.size()));
  storeLittleEndian(&header[12], kVxValueTypeNumber);
  storeLittleEndian(&header[16], 1);
  if (const std::uint32_t error = platform::writePrivateProfileStruct(file, section, L"_" + name, header); error != 0) {
    return error;
  }
  return platform::writePrivateProfileStruct(file, section, name, enciphered);
}
