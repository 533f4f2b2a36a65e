#include "qelda/QeldaSha256.h"

#include <openssl/evp.h>

#include <algorithm>

namespace qelda {

void Sha256::Free::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  good_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) == 1;
}

void Sha256::update(const void* data, std::size_t length) {
  if (good_ && length != 0) good_ = EVP_DigestUpdate(context_.get(), data, length) == 1;
}

void Sha256::updateZeros(std::uint64_t length) {
  static constexpr std::uint8_t kZeros[64 * 1024] = {};
  while (length != 0 && good_) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof kZeros));
    update(kZeros, piece);
    length -= piece;
  }
}

bool Sha256::finish(Sha256Digest& digest) {
  unsigned size = 0;
  if (!good_ || EVP_DigestFinal_ex(context_.get(), digest.data(), &size) != 1 || size != digest.size()) {
    good_ = false;
  }
  return good_;
}

std::string toHex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

bool fromHex(const std::string& text, Sha256Digest& digest) {
  if (text.size() != digest.size() * 2) return false;
  const auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = value(text[2 * i]);
    const int low = value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    digest[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace qelda
