#include "foundation/VxProtectedRegistryValue.h"

#include <algorithm>
#include <array>
#include <optional>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxProtectedValueCipher.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxProtectedRegistryValue";
constexpr std::array<std::uint8_t, 4> kMagic{'V', 'X', 'R', 'G'};
constexpr std::size_t kDigestOffset = 16;
// The first query's buffer; a larger value is queried once more at its size.
constexpr std::size_t kFirstQuerySize = 500;

constexpr auto kMachine = platform::RegistryHive::LocalMachine;

void putLittleEndian(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t littleEndian(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes[offset + i]} << (8 * i);
  return value;
}

// The digest of a blob with its digest field taken as zero.
std::optional<VxMd5Digest> blobDigest(std::span<const std::uint8_t> blob) {
  std::vector<std::uint8_t> zeroed(blob.begin(), blob.end());
  std::fill_n(zeroed.begin() + kDigestOffset, sizeof(VxMd5Digest), std::uint8_t{0});
  return vxMd5(zeroed);
}

// 0 for a sound blob, 13 for any other, 6000 when its digest cannot be computed.
std::uint32_t checkBlob(std::uint32_t registryType, std::span<const std::uint8_t> blob) {
  if (registryType != platform::kRegBinary || blob.size() < kVxRegBlobHeaderSize) return ERROR_INVALID_DATA;
  if (!std::equal(kMagic.begin(), kMagic.end(), blob.begin())) return ERROR_INVALID_DATA;
  if (std::uint64_t{littleEndian(blob, 8)} + kVxRegBlobHeaderSize != blob.size()) return ERROR_INVALID_DATA;
  const std::optional<VxMd5Digest> digest = blobDigest(blob);
  if (!digest) return VX_E_CIPHER_SETUP;
  return std::equal(digest->begin(), digest->end(), blob.begin() + kDigestOffset) ? 0 : ERROR_INVALID_DATA;
}

// The stored value, queried as the registry functions are: a first buffer that
// fits the settings, then one of the size the registry reports.
VxNAResult<platform::RegistryValue> queryBlob(const platform::Registry& registry, std::string_view key,
                                              std::string_view name) {
  platform::RegistryValue value;
  value.data.resize(kFirstQuerySize);
  std::uint32_t size = 0;
  std::uint32_t error = registry.queryValue(kMachine, key, name, value.type, value.data, size);
  if (error == platform::kErrorMoreData && size <= kVxRegLargestBlob) {
    value.data.resize(size);
    error = registry.queryValue(kMachine, key, name, value.type, value.data, size);
  } else if (error == platform::kErrorMoreData) {
    error = ERROR_INVALID_DATA;  // no settings value is that large
  }
  if (error == ERROR_INSUFFICIENT_BUFFER) error = ERROR_MORE_DATA;
  if (error != 0) return VxNAFail(error);
  value.data.resize(size);
  return value;
}

// Logs a read failure under the reader's name; a missing value is no warning.
VxNAResult<VxRegPayload> readFailure(std::uint32_t error, const wchar_t* text) {
  VxLogStatement(error == ERROR_FILE_NOT_FOUND ? VX_LOG_NORMAL : VX_LOG_WARNING, kLogSource, L"VxRegReadValue",
                 __LINE__)
      << L"VxRegReadValue - " << text << L", error: " << error;
  return VxNAFail(error);
}

VxNAResult<VxRegPayload> decodeStored(const VxNAResult<platform::RegistryValue>& stored,
                                      std::span<std::uint8_t> buffer) {
  if (!stored) return readFailure(stored.error, L"query value failed");
  auto payload = VxRegDecodeBlob(stored.value.type, stored.value.data, buffer);
  if (!payload) {
    return readFailure(payload.error, payload.error == ERROR_MORE_DATA     ? L"buffer too small"
                                      : payload.error == VX_E_CIPHER_SETUP ? L"digest unavailable"
                                                                           : L"invalid protected value");
  }
  return payload;
}

}  // namespace

VxNAResult<std::vector<std::uint8_t>> VxRegEncodeBlob(std::uint32_t type, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> blob(kVxRegBlobHeaderSize);
  std::copy(kMagic.begin(), kMagic.end(), blob.begin());
  putLittleEndian(blob, 4, kVxRegBlobVersion);
  putLittleEndian(blob, 8, static_cast<std::uint32_t>(payload.size()));
  putLittleEndian(blob, 12, type);
  const std::vector<std::uint8_t> enciphered = CVxProtectedValueCipher(kVxRegistryValueKey).encipher(payload);
  blob.insert(blob.end(), enciphered.begin(), enciphered.end());
  const std::optional<VxMd5Digest> digest = vxMd5(blob);  // the digest field is still zero
  if (!digest) return VxNAFail(VX_E_CIPHER_SETUP);
  std::copy(digest->begin(), digest->end(), blob.begin() + kDigestOffset);
  return blob;
}

VxNAResult<VxRegPayload> VxRegDecodeBlob(std::uint32_t registryType, std::span<const std::uint8_t> blob,
                                         std::span<std::uint8_t> buffer) {
  if (const std::uint32_t error = checkBlob(registryType, blob); error != 0) return VxNAFail(error);
  const std::uint32_t size = littleEndian(blob, 8);
  if (size > buffer.size()) return VxNAFail(ERROR_MORE_DATA);
  const std::vector<std::uint8_t> payload =
      CVxProtectedValueCipher(kVxRegistryValueKey).decipher(blob.subspan(kVxRegBlobHeaderSize));
  std::copy(payload.begin(), payload.end(), buffer.begin());
  return VxRegPayload{littleEndian(blob, 12), size};
}

VxNAResult<VxRegPayload> VxRegReadValue(const platform::Registry& registry, std::string_view key,
                                        std::string_view name, std::span<std::uint8_t> buffer) {
  return decodeStored(queryBlob(registry, key, name), buffer);
}

VxNAResult<> VxRegWriteValue(const platform::Registry& registry, std::string_view key, std::string_view name,
                             std::uint32_t type, std::span<const std::uint8_t> payload) {
  if (const std::uint32_t error = registry.createKey(kMachine, key); error != 0) {
    VX_LOG(VX_LOG_WARNING, L"VxRegWriteValue") << L"VxRegWriteValue - create key failed, error: " << error;
    return VxNAFail(error);
  }
  const auto blob = VxRegEncodeBlob(type, payload);
  if (!blob) {
    VX_LOG(VX_LOG_WARNING, L"VxRegWriteValue") << L"VxRegWriteValue - digest unavailable, error: " << blob.error;
    return VxNAFail(blob.error);
  }
  if (const std::uint32_t error = registry.setValue(kMachine, key, name, platform::kRegBinary, blob.value);
      error != 0) {
    VX_LOG(VX_LOG_WARNING, L"VxRegWriteValue") << L"VxRegWriteValue - set value failed, error: " << error;
    return VxNAFail(error);
  }
  return VxNASuccess();
}

VxNAResult<> VxRegUpdateValue(const platform::Registry& registry, std::string_view key, std::string_view name,
                              std::span<std::uint8_t> buffer, const VxRegChange& change) {
  bool refused = false;
  std::uint32_t encodeError = 0;
  const std::uint32_t error =
      registry.updateValue(kMachine, key, name, [&](std::optional<platform::RegistryValue>& value) {
        VxNAResult<platform::RegistryValue> stored = VxNAFail(ERROR_FILE_NOT_FOUND);
        if (value) stored = *value;
        if (stored && stored.value.data.size() > kVxRegLargestBlob) stored = VxNAFail(ERROR_INVALID_DATA);
        std::uint32_t type = 0;
        std::vector<std::uint8_t> payload;
        if (const std::uint32_t code = change(decodeStored(stored, buffer), type, payload); code != 0) {
          refused = true;
          return code;
        }
        auto blob = VxRegEncodeBlob(type, payload);
        if (!blob) {
          encodeError = blob.error;
          return blob.error;
        }
        value = platform::RegistryValue{platform::kRegBinary, std::move(blob.value)};
        return 0u;
      });
  if (error != 0 && refused) {
    // The change's own code: a read failure was logged as such by the reader.
    return VxNAFail(error);
  }
  if (error != 0 && encodeError != 0) {
    VX_LOG(VX_LOG_WARNING, L"VxRegWriteValue") << L"VxRegWriteValue - digest unavailable, error: " << error;
    return VxNAFail(error);
  }
  if (error != 0) {
    VX_LOG(VX_LOG_WARNING, L"VxRegWriteValue") << L"VxRegWriteValue - update value failed, error: " << error;
    return VxNAFail(error);
  }
  return VxNASuccess();
}
