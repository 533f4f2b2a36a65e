#include "tests/process/TestSigning.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdio>
#include <stdexcept>

namespace vxtest {
namespace {

void require(bool condition, const char* what) {
  if (!condition) throw std::runtime_error(what);
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  require(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

void setName(X509_NAME* name, const std::string& commonName) {
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

TestCertificate makeTestRoot(unsigned char seed) {
  std::array<unsigned char, 32> secret{};
  secret.fill(seed);
  TestCertificate root;
  root.key.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret.data(), secret.size()));
  root.certificate.reset(X509_new());
  X509* certificate = root.certificate.get();
  require(root.key && certificate, "root");
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 0x5EED00 + seed);
  ASN1_TIME_set_string(X509_getm_notBefore(certificate), "20200101000000Z");
  ASN1_TIME_set_string(X509_getm_notAfter(certificate), "20491231235959Z");
  setName(X509_get_subject_name(certificate), "Vexora Test Root " + std::to_string(seed));
  X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
  X509_set_pubkey(certificate, root.key.get());
  addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign");
  require(X509_sign(certificate, root.key.get(), nullptr) > 0, "root signature");
  return root;
}

TestCertificate makeSigner(const TestCertificate& issuer, const std::string& commonName,
                           bool codeSigning) {
  return makeIssued(issuer, commonName, codeSigning ? "codeSigning" : "serverAuth", -24 * 3600,
                    30L * 24 * 3600);
}

TestCertificate makeIssued(const TestCertificate& issuer, const std::string& commonName,
                           const char* usage, long from, long to) {
  TestCertificate signer;
  signer.key.reset(EVP_EC_gen("P-256"));
  signer.certificate.reset(X509_new());
  X509* certificate = signer.certificate.get();
  require(signer.key && certificate, "signer");
  X509_set_version(certificate, 2);
  std::array<unsigned char, 8> serial{};
  RAND_bytes(serial.data(), serial.size());
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial.data(), serial.size(), nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(certificate), from);
  X509_gmtime_adj(X509_getm_notAfter(certificate), to);
  setName(X509_get_subject_name(certificate), commonName);
  X509_set_issuer_name(certificate, X509_get_subject_name(issuer.certificate.get()));
  X509_set_pubkey(certificate, signer.key.get());
  addExtension(certificate, issuer.certificate.get(), NID_basic_constraints, "CA:FALSE");
  addExtension(certificate, issuer.certificate.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(certificate, issuer.certificate.get(), NID_ext_key_usage, usage);
  require(X509_sign(certificate, issuer.key.get(), nullptr) > 0, "signer signature");
  return signer;
}

std::string signContent(const std::string& content, const TestCertificate& signer,
                        const std::vector<X509*>& chain) {
  STACK_OF(X509)* certificates = sk_X509_new_null();
  for (X509* certificate : chain) sk_X509_push(certificates, certificate);
  BIO* data = BIO_new_mem_buf(content.data(), static_cast<int>(content.size()));
  CMS_ContentInfo* message = CMS_sign(signer.certificate.get(), signer.key.get(), certificates,
                                      data, CMS_DETACHED | CMS_BINARY);
  BIO_free(data);
  sk_X509_free(certificates);
  require(message != nullptr, "CMS_sign");
  BIO* out = BIO_new(BIO_s_mem());
  i2d_CMS_bio(out, message);
  std::string der = bioText(out);
  BIO_free(out);
  CMS_ContentInfo_free(message);
  return der;
}

std::string countersign(const std::string& signature, const TestCertificate& authority,
                        std::time_t at, bool broken) {
  const unsigned char* der = reinterpret_cast<const unsigned char*>(signature.data());
  CMS_ContentInfo* message = d2i_CMS_ContentInfo(nullptr, &der, static_cast<long>(signature.size()));
  require(message != nullptr, "countersign: message");
  CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(message), 0);
  ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(signer);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(value->data, static_cast<std::size_t>(value->length), digest, &length, EVP_sha256(),
             nullptr);

  PKCS7_SIGNER_INFO* counter = PKCS7_SIGNER_INFO_new();
  require(PKCS7_SIGNER_INFO_set(counter, authority.certificate.get(), authority.key.get(),
                                EVP_sha256()) == 1,
          "countersign: set");
  PKCS7_add_signed_attribute(counter, NID_pkcs9_contentType, V_ASN1_OBJECT,
                             OBJ_nid2obj(NID_pkcs7_data));
  PKCS7_add_signed_attribute(counter, NID_pkcs9_signingTime, V_ASN1_UTCTIME,
                             ASN1_UTCTIME_set(nullptr, at));
  PKCS7_add1_attrib_digest(counter, digest, static_cast<int>(length));
  require(PKCS7_SIGNER_INFO_sign(counter) == 1, "countersign: sign");
  if (broken) counter->enc_digest->data[counter->enc_digest->length / 2] ^= 0x01;
  unsigned char* encoded = nullptr;
  const int size = i2d_PKCS7_SIGNER_INFO(counter, &encoded);
  PKCS7_SIGNER_INFO_free(counter);
  require(size > 0, "countersign: encode");
  CMS_unsigned_add1_attr_by_NID(signer, NID_pkcs9_countersignature, V_ASN1_SEQUENCE, encoded, size);
  OPENSSL_free(encoded);
  CMS_add1_cert(message, authority.certificate.get());

  BIO* out = BIO_new(BIO_s_mem());
  i2d_CMS_bio(out, message);
  std::string result = bioText(out);
  BIO_free(out);
  CMS_ContentInfo_free(message);
  return result;
}

std::string appendSignature(const std::string& content, const std::string& signature) {
  const auto length = static_cast<std::uint32_t>(signature.size());
  const char trailer[12] = {0, 0, 2, 0, 0, 0, 0, 0,
                            static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 8), static_cast<char>(length)};
  return content + signature + std::string(trailer, sizeof trailer) +
         "~Module signature appended~\n";
}

std::string toPem(X509* certificate) {
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(out, certificate);
  std::string text = bioText(out);
  BIO_free(out);
  return text;
}

std::string toPem(EVP_PKEY* key) {
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::string text = bioText(out);
  BIO_free(out);
  return text;
}

std::string thumbprintOf(X509* certificate) {
  unsigned char digest[20];
  unsigned int length = 0;
  X509_digest(certificate, EVP_sha1(), digest, &length);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02X", digest[i]);
    hex += byte;
  }
  return hex;
}

}  // namespace vxtest
