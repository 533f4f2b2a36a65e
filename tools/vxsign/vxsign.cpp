// vxsign: signs an executable the way the product's signature test expects it:
// a detached CMS signature of the file's bytes, appended with the trailer of
// Linux kernel module signing. The signer's certificate and the chain up to the
// root travel inside the signature.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kMagic = "~Module signature appended~\n";
constexpr int kExitUsage = 64;
constexpr int kExitFailure = 1;

constexpr const char* kHelp =
    "usage: vxsign --key KEY.pem --cert CERT.pem [--chain CHAIN.pem] --in FILE [--out OUT]\n"
    "\n"
    "Signs FILE for the Vexora signature test: a detached CMS (PKCS#7) signature of\n"
    "the file's bytes is appended, followed by a 12-byte module_signature trailer\n"
    "(PKCS#7 kind, big-endian signature length) and \"~Module signature appended~\\n\",\n"
    "the layout of Linux kernel module signing. The file still runs as before.\n"
    "\n"
    "  --key KEY.pem      the signer's private key (PEM)\n"
    "  --cert CERT.pem    the signer's certificate (PEM); its subject common name is\n"
    "                     the signer name, it needs the code-signing usage\n"
    "  --chain CHAIN.pem  certificates carried in the signature (PEM, several in one\n"
    "                     file), up to and including the root\n"
    "  --in FILE          the executable to sign; a file that already carries a\n"
    "                     signature is refused\n"
    "  --out OUT          where the signed file goes (default: FILE, replaced)\n"
    "  --help             this text\n"
    "\n"
    "A key that does not match the certificate is refused. Exit status: 0 signed,\n"
    "1 failure, 64 usage error.\n";

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
void freeCertificates(STACK_OF(X509)* stack) { sk_X509_pop_free(stack, X509_free); }
using Certificates = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertificates>>;

struct Options {
  std::string key, certificate, chain, in, out;
};

int fail(const std::string& message) {
  std::cerr << "vxsign: " << message;
  if (const unsigned long error = ERR_peek_last_error()) {
    std::cerr << " (" << ERR_reason_error_string(error) << ")";
  }
  std::cerr << "\n";
  return kExitFailure;
}

bool parse(int argc, char** argv, Options& options, bool& help) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--help") {
      help = true;
      return true;
    }
    if (i + 1 >= argc) return false;
    std::string* target = flag == "--key"     ? &options.key
                          : flag == "--cert"  ? &options.certificate
                          : flag == "--chain" ? &options.chain
                          : flag == "--in"    ? &options.in
                          : flag == "--out"   ? &options.out
                                              : nullptr;
    if (target == nullptr) return false;
    *target = argv[++i];
  }
  if (options.out.empty()) options.out = options.in;
  return !options.key.empty() && !options.certificate.empty() && !options.in.empty();
}

bool readFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Writes beside the target and renames, so that a failure leaves the old file;
// the signed file keeps the permissions of the input.
bool writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const std::string temporary = path + ".vxsign";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) return false;
  }
  if (chmod(temporary.c_str(), mode & 07777) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

// The chain file may hold the signer's own certificate too (a "full chain");
// the signature carries it once.
Certificates readChain(const std::string& path, const X509* signer) {
  Certificates chain(sk_X509_new_null());
  if (path.empty()) return chain;
  Bio file(BIO_new_file(path.c_str(), "r"));
  if (!file) return nullptr;
  int read = 0;
  while (X509* certificate = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) {
    ++read;
    if (X509_cmp(certificate, signer) == 0) {
      X509_free(certificate);
      continue;
    }
    sk_X509_push(chain.get(), certificate);
  }
  ERR_clear_error();  // the end of the file reads as an error
  return read > 0 ? std::move(chain) : nullptr;
}

std::string trailer(std::uint32_t length) {
  const char bytes[12] = {0, 0, 2, 0, 0, 0, 0, 0,
                          static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                          static_cast<char>(length >> 8), static_cast<char>(length)};
  return std::string(bytes, sizeof bytes) + std::string(kMagic);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!parse(argc, argv, options, help)) {
    std::cerr << kHelp;
    return kExitUsage;
  }
  if (help) {
    std::cout << kHelp;
    return 0;
  }
  Bio keyFile(BIO_new_file(options.key.c_str(), "r"));
  const Key key(keyFile ? PEM_read_bio_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) return fail("cannot read the private key " + options.key);
  Bio certificateFile(BIO_new_file(options.certificate.c_str(), "r"));
  const Certificate certificate(
      certificateFile ? PEM_read_bio_X509(certificateFile.get(), nullptr, nullptr, nullptr)
                      : nullptr);
  if (!certificate) return fail("cannot read the certificate " + options.certificate);
  if (X509_check_private_key(certificate.get(), key.get()) != 1) {
    return fail("the key does not match the certificate");
  }
  const Certificates chain = readChain(options.chain, certificate.get());
  if (!chain) return fail("cannot read the chain " + options.chain);

  std::string content;
  struct stat input {};
  if (stat(options.in.c_str(), &input) != 0 || !S_ISREG(input.st_mode) ||
      !readFile(options.in, content)) {
    return fail("cannot read " + options.in);
  }
  if (content.size() >= kMagic.size() && std::string_view(content).ends_with(kMagic)) {
    return fail(options.in + " already carries a signature");
  }
  if (content.size() > 0x7FFFFFFF) return fail(options.in + " is too large");
  Bio data(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  const Cms message(CMS_sign(certificate.get(), key.get(), chain.get(), data.get(),
                             CMS_DETACHED | CMS_BINARY));
  if (!message) return fail("signing failed");
  Bio der(BIO_new(BIO_s_mem()));
  if (!der || i2d_CMS_bio(der.get(), message.get()) != 1) return fail("signing failed");
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(der.get(), &bytes);
  const std::string signature(bytes, static_cast<std::size_t>(length));
  if (!writeFile(options.out,
                 content + signature + trailer(static_cast<std::uint32_t>(signature.size())),
                 input.st_mode)) {
    return fail("cannot write " + options.out);
  }
  return 0;
}
