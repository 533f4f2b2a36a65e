#include "foundation/VxProtectedValueCipher.h"

#include <openssl/evp.h>

#include <memory>
#include <utility>

CVxProtectedValueCipher::CVxProtectedValueCipher(std::string_view key) {
  for (std::size_t n = 0; n < state_.size(); ++n) state_[n] = static_cast<std::uint8_t>(n);
  std::uint8_t j = 0;
  for (std::size_t n = 0; n < state_.size(); ++n) {
    j = static_cast<std::uint8_t>(j + state_[n] + static_cast<std::uint8_t>(key[n % key.size()]));
    std::swap(state_[n], state_[j]);
  }
  feedback_ = nextKeyByte();
}

std::uint8_t CVxProtectedValueCipher::nextKeyByte() {
  i_ = static_cast<std::uint8_t>(i_ + 1);
  j_ = static_cast<std::uint8_t>(j_ + state_[i_]);
  std::swap(state_[i_], state_[j_]);
  return state_[static_cast<std::uint8_t>(state_[i_] + state_[j_])];
}

std::vector<std::uint8_t> CVxProtectedValueCipher::encipher(std::span<const std::uint8_t> plain) {
  std::vector<std::uint8_t> out;
  out.reserve(plain.size());
  for (const std::uint8_t p : plain) {
    feedback_ ^= p;
    const std::uint8_t a = nextKeyByte();
    const std::uint8_t b = nextKeyByte();
    out.push_back(static_cast<std::uint8_t>((a ^ feedback_) + b));
  }
  return out;
}

std::vector<std::uint8_t> CVxProtectedValueCipher::decipher(std::span<const std::uint8_t> enciphered) {
  std::vector<std::uint8_t> out;
  out.reserve(enciphered.size());
  for (const std::uint8_t c : enciphered) {
    const std::uint8_t a = nextKeyByte();
    const std::uint8_t b = nextKeyByte();
    const auto p = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c - b) ^ a ^ feedback_);
    feedback_ ^= p;
    out.push_back(p);
  }
  return out;
}

namespace {
struct DigestDeleter {
  void operator()(EVP_MD* digest) const { EVP_MD_free(digest); }
};
}  // namespace

std::optional<VxMd5Digest> vxMd5(std::span<const std::uint8_t> bytes) {
  const std::unique_ptr<EVP_MD, DigestDeleter> md5(EVP_MD_fetch(nullptr, "MD5", nullptr));
  if (!md5 || EVP_MD_get_size(md5.get()) != static_cast<int>(sizeof(VxMd5Digest))) return std::nullopt;
  VxMd5Digest digest{};
  unsigned size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, md5.get(), nullptr) != 1 ||
      size != digest.size()) {
    return std::nullopt;
  }
  return digest;
}
