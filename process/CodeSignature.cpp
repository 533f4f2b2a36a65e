#include "process/CodeSignature.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>

#include "process/TrustedRoots.h"

namespace vxprocess {
namespace {

constexpr std::string_view kMagic = "~Module signature appended~\n";
constexpr std::size_t kTrailerSize = 12;  // struct module_signature
constexpr unsigned char kIdPkcs7 = 2;     // PKEY_ID_PKCS7
constexpr const char* kTrustedSigner = "Vexora, Inc.";

// Signatures are verified on worker threads that the process does not wait for
// at exit (a collector runner may still be ending). OpenSSL's own clean-up at
// exit would free those threads' state under them, and their thread-exit
// handlers would free it again; the process is ending anyway, so OpenSSL is
// told to leave its state to the exit. This must come before OpenSSL's first
// use, hence at load time.
const bool kCryptoKeptUntilExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Store = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreContext =
    std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using Pkcs7SignerInfo =
    std::unique_ptr<PKCS7_SIGNER_INFO, Deleter<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>>;

using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
void freeOpenSsl(void* p) { OPENSSL_free(p); }

void freeCertificates(STACK_OF(X509)* certificates) { sk_X509_pop_free(certificates, X509_free); }
using Certificates =
    std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertificates>>;

bool readWhole(int descriptor, std::string& bytes) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
      static_cast<std::uint64_t>(status.st_size) > kMaxSignedFileSize) {
    return false;
  }
  bytes.resize(static_cast<std::size_t>(status.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = pread(descriptor, bytes.data() + done, bytes.size() - done,
                              static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool isTrustedName(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  const int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index < 0) return false;
  unsigned char* text = nullptr;
  const int length =
      ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
  if (length < 0) return false;
  const std::string name(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
  OPENSSL_free(text);
  return !name.empty() && name.size() == std::strlen(kTrustedSigner) &&
         strcasecmp(name.c_str(), kTrustedSigner) == 0;
}

bool isTrustedRoot(X509* certificate) {
  CVxThumbprint digest{};
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha1(), digest.data(), &length) != 1 || length != digest.size()) {
    return false;
  }
  const auto roots = trustedRootThumbprints();
  return std::find(roots.begin(), roots.end(), digest) != roots.end();
}

// A certificate without usage limits serves every usage, as on Windows.
bool allowsUsage(X509* certificate, std::uint32_t usage) {
  if ((X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) == 0) return true;
  return (X509_get_extended_key_usage(certificate) & (usage | XKU_ANYEKU)) != 0;
}

// The certificate names usage among its extended usages; neither their absence
// nor "any usage" counts.
bool namesUsage(X509* certificate, std::uint32_t usage) {
  return (X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) != 0 &&
         (X509_get_extended_key_usage(certificate) & usage) != 0;
}

enum class Role { kCodeSigner, kTimeStamper };

// The chain of certificate, built from the message's certificates, ends in a
// root with a compiled-in thumbprint, is valid at time and allows the role's
// usage throughout. The store holds those roots only: nothing comes from the
// system's trust store or from the variables (SSL_CERT_FILE, SSL_CERT_DIR) that
// point OpenSSL at one. A time-stamping authority's own certificate must
// moreover name the time-stamping usage and meet OpenSSL's time-stamp signing
// purpose (RFC 3161: that usage alone, in a critical extension).
bool chainIsTrusted(X509* certificate, STACK_OF(X509)* certificates, std::time_t time, Role role) {
  const bool stamper = role == Role::kTimeStamper;
  const std::uint32_t usage = stamper ? XKU_TIMESTAMP : XKU_CODE_SIGN;
  if (stamper && !namesUsage(certificate, usage)) return false;
  Store store(X509_STORE_new());
  if (!store) return false;
  for (int i = 0; i < sk_X509_num(certificates); ++i) {
    X509* candidate = sk_X509_value(certificates, i);
    if (isTrustedRoot(candidate) && X509_STORE_add_cert(store.get(), candidate) != 1) return false;
  }
  StoreContext context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), store.get(), certificate, certificates) != 1) {
    return false;
  }
  X509_STORE_CTX_set_time(context.get(), 0, time);
  if (stamper && X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_TIMESTAMP_SIGN) != 1) {
    return false;
  }
  if (X509_verify_cert(context.get()) != 1) return false;
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  const int length = sk_X509_num(chain);
  if (length < 1 || !isTrustedRoot(sk_X509_value(chain, length - 1))) return false;
  for (int i = 0; i < length; ++i) {
    if (!allowsUsage(sk_X509_value(chain, i), usage)) return false;
  }
  return true;
}

// The counter-signature's own signature: its signed attributes carry the digest
// of the signer's signature value and are signed by its certificate.
bool counterSignatureIsSound(PKCS7_SIGNER_INFO* counter, X509* certificate,
                             const ASN1_OCTET_STRING* signatureValue) {
  const EVP_MD* digest = EVP_get_digestbyobj(counter->digest_alg->algorithm);
  ASN1_TYPE* messageDigest = PKCS7_get_signed_attribute(counter, NID_pkcs9_messageDigest);
  if (digest == nullptr || messageDigest == nullptr ||
      messageDigest->type != V_ASN1_OCTET_STRING) {
    return false;
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
  unsigned int length = 0;
  if (EVP_Digest(signatureValue->data, static_cast<std::size_t>(signatureValue->length),
                 value.data(), &length, digest, nullptr) != 1 ||
      static_cast<int>(length) != messageDigest->value.octet_string->length ||
      std::memcmp(value.data(), messageDigest->value.octet_string->data, length) != 0) {
    return false;
  }
  unsigned char* attributes = nullptr;
  const int size = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(counter->auth_attr), &attributes,
                                 ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
  if (size <= 0) return false;
  const std::unique_ptr<unsigned char, Deleter<void, freeOpenSsl>> owned(attributes);
  const DigestContext context(EVP_MD_CTX_new());
  return context &&
         EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr,
                              X509_get0_pubkey(certificate)) == 1 &&
         EVP_DigestVerify(context.get(), counter->enc_digest->data,
                          static_cast<std::size_t>(counter->enc_digest->length), attributes,
                          static_cast<std::size_t>(size)) == 1;
}

// The time the signature is judged at: the signing time of the signer's first
// counter-signature, when that counter-signature is sound and its signer's
// chain is trusted for time stamping at that time; otherwise now. False when a
// counter-signature is there but fails.
bool signatureTime(CMS_SignerInfo* signer, STACK_OF(X509)* certificates, std::time_t& time) {
  time = std::time(nullptr);
  const int index = CMS_unsigned_get_attr_by_NID(signer, NID_pkcs9_countersignature, -1);
  if (index < 0) return true;
  X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(signer, index);
  ASN1_TYPE* value = attribute == nullptr ? nullptr : X509_ATTRIBUTE_get0_type(attribute, 0);
  if (value == nullptr || value->type != V_ASN1_SEQUENCE) return false;
  const unsigned char* data = value->value.sequence->data;
  Pkcs7SignerInfo counter(d2i_PKCS7_SIGNER_INFO(nullptr, &data, value->value.sequence->length));
  if (!counter || counter->issuer_and_serial == nullptr) return false;
  X509* certificate = X509_find_by_issuer_and_serial(
      certificates, counter->issuer_and_serial->issuer, counter->issuer_and_serial->serial);
  ASN1_TYPE* signingTime = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  if (certificate == nullptr || signingTime == nullptr ||
      (signingTime->type != V_ASN1_UTCTIME && signingTime->type != V_ASN1_GENERALIZEDTIME)) {
    return false;
  }
  std::tm parts{};
  if (ASN1_TIME_to_tm(signingTime->value.utctime, &parts) != 1) return false;
  const std::time_t stamped = timegm(&parts);
  if (!counterSignatureIsSound(counter.get(), certificate, CMS_SignerInfo_get0_signature(signer)) ||
      !chainIsTrusted(certificate, certificates, stamped, Role::kTimeStamper)) {
    return false;
  }
  time = stamped;
  return true;
}

// Runs the content through the message's digests: a chain of digest BIOs that
// the signers' checks read their digests from. Null on failure.
BIO* digestContent(CMS_ContentInfo* message, std::string_view content) {
  BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  if (data == nullptr) return nullptr;
  BIO* chain = CMS_dataInit(message, data);
  if (chain == nullptr) {
    BIO_free(data);
    return nullptr;
  }
  std::array<char, 65536> block{};
  while (BIO_read(chain, block.data(), static_cast<int>(block.size())) > 0) {
  }
  return chain;
}

bool signerCoversContent(CMS_SignerInfo* signer, BIO* digests) {
  if (CMS_signed_get_attr_count(signer) >= 0 && CMS_SignerInfo_verify(signer) != 1) return false;
  return CMS_SignerInfo_verify_content(signer, digests) == 1;
}

bool signerPasses(CMS_SignerInfo* signer, STACK_OF(X509)* certificates, BIO* digests) {
  X509* certificate = nullptr;
  CMS_SignerInfo_get0_algs(signer, nullptr, &certificate, nullptr, nullptr);
  if (certificate == nullptr || !isTrustedName(certificate)) return false;
  std::time_t time = 0;
  if (!signatureTime(signer, certificates, time)) return false;
  return chainIsTrusted(certificate, certificates, time, Role::kCodeSigner) &&
         signerCoversContent(signer, digests);
}

// The message of a signature block, which must be one DER object filling the
// block exactly: a SEQUENCE of definite length, written in its shortest form,
// whose header and contents end at the block's end, and which the parse
// consumes to that last byte. Null for anything else, such as bytes before or
// after the object or a length that disagrees with the block's.
Cms parseSignatureBlock(std::string_view block) {
  if (block.empty() || block.size() > static_cast<std::size_t>(LONG_MAX)) return nullptr;
  const long size = static_cast<long>(block.size());
  const auto* start = reinterpret_cast<const unsigned char*>(block.data());
  const unsigned char* contents = start;
  long length = 0;
  int tag = 0;
  int type = 0;
  // Neither the error bit nor the indefinite-length bit: only "constructed".
  if (ASN1_get_object(&contents, &length, &tag, &type, size) != V_ASN1_CONSTRUCTED ||
      tag != V_ASN1_SEQUENCE || type != V_ASN1_UNIVERSAL || length != size - (contents - start) ||
      ASN1_object_size(1, length, V_ASN1_SEQUENCE) != size) {
    return nullptr;
  }
  const unsigned char* end = start;
  Cms message(d2i_CMS_ContentInfo(nullptr, &end, size));
  if (!message || end != start + size) return nullptr;
  return message;
}

}  // namespace

bool splitAppendedSignature(std::string_view file, std::string_view& content,
                            std::string_view& signature) {
  if (file.size() < kMagic.size() + kTrailerSize || !file.ends_with(kMagic)) return false;
  const std::size_t trailer = file.size() - kMagic.size() - kTrailerSize;
  const auto* info = reinterpret_cast<const unsigned char*>(file.data() + trailer);
  // algo, hash, id_type, signer_len, key_id_len, three bytes of padding: the
  // PKCS#7 kind carries its algorithms and signer inside the message.
  if (info[2] != kIdPkcs7 || info[0] != 0 || info[1] != 0 || info[3] != 0 || info[4] != 0 ||
      info[5] != 0 || info[6] != 0 || info[7] != 0) {
    return false;
  }
  const std::uint64_t length = std::uint64_t{info[8]} << 24 | std::uint64_t{info[9]} << 16 |
                               std::uint64_t{info[10]} << 8 | info[11];
  if (length == 0 || length > trailer) return false;
  content = file.substr(0, trailer - length);
  signature = file.substr(trailer - length, length);
  return true;
}

bool verifyCodeSignature(int descriptor) {
  std::string file;
  return readWhole(descriptor, file) && verifyCodeSignatureBytes(file);
}

bool verifyCodeSignatureBytes(std::string_view file) {
  static_cast<void>(kCryptoKeptUntilExit);
  std::string_view content;
  std::string_view signature;
  if (!splitAppendedSignature(file, content, signature)) return false;
  if (content.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const Cms message = parseSignatureBlock(signature);
  if (!message || OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed ||
      CMS_is_detached(message.get()) != 1) {
    return false;
  }
  Certificates certificates(CMS_get1_certs(message.get()));
  if (!certificates) return false;
  CMS_set1_signers_certs(message.get(), nullptr, 0);
  const Bio digests(digestContent(message.get(), content));
  if (!digests) return false;
  STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(message.get());
  for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
    if (signerPasses(sk_CMS_SignerInfo_value(signers, i), certificates.get(), digests.get())) {
      return true;
    }
  }
  return false;
}

}  // namespace vxprocess
