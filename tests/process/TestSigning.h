#pragma once
// Code signing for tests: a test root made the same every time (an Ed25519 key
// from a fixed seed, fixed serial, names and validity, so its thumbprint can be
// compiled into the test build's trusted list), signing certificates issued by
// it at test time, and files signed in the appended-signature layout.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace vxtest {

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct KeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};

struct TestCertificate {
  std::unique_ptr<X509, X509Deleter> certificate;
  std::unique_ptr<EVP_PKEY, KeyDeleter> key;
};

// A self-signed root from a one-byte seed; seed 1 is the compiled-in test root.
TestCertificate makeTestRoot(unsigned char seed);
// A signing certificate with this common name, issued by issuer, with the
// code-signing usage or (without it) only the server-authentication usage.
TestCertificate makeSigner(const TestCertificate& issuer, const std::string& commonName,
                           bool codeSigning);
// As makeSigner, with a given extended usage text ("codeSigning",
// "timeStamping", ...) and validity from..to in seconds relative to now.
TestCertificate makeIssued(const TestCertificate& issuer, const std::string& commonName,
                           const char* usage, long from, long to);
// The signature with a counter-signature by authority over its first signer,
// dated at; with broken set, the counter-signature's own signature is damaged.
std::string countersign(const std::string& signature, const TestCertificate& authority,
                        std::time_t at, bool broken);
// The detached CMS signature (DER) of content by signer, carrying chain.
std::string signContent(const std::string& content, const TestCertificate& signer,
                        const std::vector<X509*>& chain);
// content, signature, the module_signature trailer and the magic text.
std::string appendSignature(const std::string& content, const std::string& signature);
// PEM text of a certificate and of a private key.
std::string toPem(X509* certificate);
std::string toPem(EVP_PKEY* key);
// Upper-case hexadecimal SHA-1 of a certificate.
std::string thumbprintOf(X509* certificate);

}  // namespace vxtest
