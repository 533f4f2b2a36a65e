#pragma once
// The signature test of an executable. The file carries its signature appended,
// in the layout of Linux kernel module signing:
//   content | PKCS#7/CMS SignedData (DER, detached) | struct module_signature |
//   "~Module signature appended~\n"
// The layout is read strictly: the trailer's fields other than the kind and the
// length are zero, and the signature block is one DER object, a SEQUENCE of
// definite length written in its shortest form, that the parse consumes to the
// block's last byte; the message carries no content of its own.
// The file passes when one signer of the signature
// - has a certificate whose subject common name is "Vexora, Inc." (any case),
// - whose chain, built from the signature's own certificates, ends in a root
//   with a trusted thumbprint (process/TrustedRoots.h), is valid at the time of
//   the signer's counter-signature when there is one (else now), and allows code
//   signing in every certificate that limits its usages; a counter-signature
//   counts only when it signs the signer's signature value and its own signer
//   is a time-stamping authority by RFC 3161 (the time-stamping extended usage,
//   critical and alone; a certificate without usage limits stamps no time)
//   whose chain, valid at that time and allowing time stamping throughout,
//   ends in a root with a trusted thumbprint too; the system's trust store and
//   the variables that point OpenSSL at one play no part. A counter-signature
//   that fails fails the signer,
// - has signed attributes that verify,
// - and whose signature covers exactly the content.
//
// The test reads an open descriptor, so that the caller can start the very
// file it examined (process/ProcessSpawn.h). Reads are bounded.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>
#include <string_view>

namespace vxprocess {

// Largest file the test reads.
inline constexpr std::uint64_t kMaxSignedFileSize = 512ull << 20;

// Splits a signed file into its content and the DER signature. False when the
// file carries no appended signature of the PKCS#7 kind, or its trailer has a
// field set that the PKCS#7 kind leaves zero.
bool splitAppendedSignature(std::string_view file, std::string_view& content,
                            std::string_view& signature);

// True when the file open at descriptor passes the test.
bool verifyCodeSignature(int descriptor);

// True when a file of these bytes passes the test; the descriptor's test reads
// the file and asks this.
bool verifyCodeSignatureBytes(std::string_view file);

}  // namespace vxprocess
