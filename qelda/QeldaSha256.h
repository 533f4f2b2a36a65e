/*
 * Sha256: an incremental SHA-256 over OpenSSL's EVP interface, owning its context.
 * One thread at a time per object.
 */
#ifndef QELDA_SHA256_H
#define QELDA_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace qelda {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  // False once OpenSSL failed (no memory); the digest is then not to be used.
  bool good() const { return good_; }
  void update(const void* data, std::size_t length);
  // `length` zero bytes.
  void updateZeros(std::uint64_t length);
  // Ends the hash; false when it failed.
  bool finish(Sha256Digest& digest);

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
  bool good_ = false;
};

// Lower-case hexadecimal.
std::string toHex(const Sha256Digest& digest);
// Exactly 64 hexadecimal digits; false otherwise.
bool fromHex(const std::string& text, Sha256Digest& digest);

}  // namespace qelda

#endif
