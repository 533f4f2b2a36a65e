#pragma once
// Protected registry values: small settings kept under HKEY_LOCAL_MACHINE as a
// registry blob (registry type REG_BINARY) that says how to read them back and
// guards them with a digest. Little-endian layout:
//
//   offset  size  field
//   0       4     magic, the ASCII bytes "VXRG"
//   4       4     format version, 1 (not tested on reading)
//   8       4     payload length in bytes
//   12      4     registry type of the payload (REG_DWORD for the clean-session values)
//   16      16    MD5 of the whole blob computed with these 16 bytes zero
//   32      n     payload, enciphered with kVxRegistryValueKey (VxProtectedValueCipher.h)
//
// A stored value that is not REG_BINARY, is shorter than the header, has another
// magic, a length field that disagrees with its size or a wrong digest reads as
// 13 (ERROR_INVALID_DATA); it is never repaired here. When MD5 cannot be had
// from OpenSSL no blob is written or read: 6000 (VX_E_CIPHER_SETUP), the stored
// value left as it was. A missing key or value is
// 2, a caller buffer smaller than the payload 234, any other registry error
// comes as the registry gives it.
//
// Reads and writes log under the names "VxRegReadValue" and "VxRegWriteValue"
// (source "VxProtectedRegistryValue"): every failure as a warning with its code,
// except a value that does not exist yet, which is normal.
//
// Stateless: each call builds its own cipher state and registry connection, so
// any thread may call at once. VxRegUpdateValue makes one value's read, change
// and write a single registry transaction, which concurrent writers of any
// process cannot split.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "foundation/VxNAResult.h"
#include "platform/Registry.h"

inline constexpr std::size_t kVxRegBlobHeaderSize = 32;
inline constexpr std::uint32_t kVxRegBlobVersion = 1;
// The largest blob that is read (the settings are a few bytes).
inline constexpr std::uint32_t kVxRegLargestBlob = 64 * 1024;

// A payload as read: its type from the header and its length.
struct VxRegPayload {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
};

// The blob that stores `payload` of registry type `type`; 6000 when its digest
// cannot be computed.
VxNAResult<std::vector<std::uint8_t>> VxRegEncodeBlob(std::uint32_t type, std::span<const std::uint8_t> payload);

// Checks a stored value (its registry type and bytes) and deciphers its payload
// into `buffer`: 13 when it is not a sound blob, 234 when the payload does not fit,
// 6000 when its digest cannot be computed to check it.
VxNAResult<VxRegPayload> VxRegDecodeBlob(std::uint32_t registryType, std::span<const std::uint8_t> blob,
                                         std::span<std::uint8_t> buffer);

// Reads value `name` of key `key` under HKEY_LOCAL_MACHINE of `registry` into `buffer`.
VxNAResult<VxRegPayload> VxRegReadValue(const platform::Registry& registry, std::string_view key,
                                        std::string_view name, std::span<std::uint8_t> buffer);

// Creates the key when needed and stores `payload` of type `type` as a blob.
VxNAResult<> VxRegWriteValue(const platform::Registry& registry, std::string_view key, std::string_view name,
                             std::uint32_t type, std::span<const std::uint8_t> payload);

// One value's read-modify-write in one registry transaction. `change` gets the
// value as VxRegReadValue would read it into `buffer` (its failure, 2 when it
// does not exist) and returns 0 after filling `type` and `payload` with what to
// store, or a code that leaves the value as it was and is returned (not logged
// here: a read failure is logged by the reader). A failure of the registry
// itself is returned as it comes and logged as "update value failed"; `change`
// then may or may not have run.
using VxRegChange = std::function<std::uint32_t(const VxNAResult<VxRegPayload>& current, std::uint32_t& type,
                                                std::vector<std::uint8_t>& payload)>;
VxNAResult<> VxRegUpdateValue(const platform::Registry& registry, std::string_view key, std::string_view name,
                              std::span<std::uint8_t> buffer, const VxRegChange& change);
