// Fuzzes the signature test on a file's bytes (process/CodeSignature.h). The
// appended signature block is the attacker's from its first byte to its last,
// so each input is taken twice: as a whole file, and as the signature block of a
// fixed content, with the trailer that names the block's length added, so that
// every input reaches the CMS parser. The build trusts the tests' fixed root,
// under which the seeds sign that content, so that mutations of them reach the
// checks of the signer, its counter-signature and the content too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "process/CodeSignature.h"

namespace {

constexpr std::string_view kContent = "Vexora signature fuzzing: the signed content\n";
constexpr std::string_view kMagic = "~Module signature appended~\n";
constexpr std::size_t kTrailerSize = 12;

std::string signedFile(std::string_view content, std::string_view block) {
  const auto length = static_cast<std::uint32_t>(block.size());
  const char trailer[kTrailerSize] = {0, 0, 2, 0, 0, 0, 0, 0,
                                      static_cast<char>(length >> 24),
                                      static_cast<char>(length >> 16),
                                      static_cast<char>(length >> 8), static_cast<char>(length)};
  std::string file(content);
  file.append(block).append(trailer, kTrailerSize).append(kMagic);
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // As a whole file: a block it names lies between its content and its trailer.
  std::string_view content;
  std::string_view block;
  if (vxprocess::splitAppendedSignature(input, content, block) &&
      (content.data() != input.data() || block.data() != input.data() + content.size() ||
       content.size() + block.size() + kTrailerSize + kMagic.size() != input.size())) {
    std::abort();
  }
  static_cast<void>(vxprocess::verifyCodeSignatureBytes(input));

  // As a signature block. One that passes is a single DER object to its last
  // byte, over exactly the content.
  if (!vxprocess::verifyCodeSignatureBytes(signedFile(kContent, input))) return 0;
  std::string extended(input);
  extended.push_back('\0');
  std::string changed(kContent);
  changed[0] ^= 0x01;
  if (vxprocess::verifyCodeSignatureBytes(signedFile(kContent, extended)) ||
      vxprocess::verifyCodeSignatureBytes(signedFile(changed, input)) ||
      vxprocess::verifyCodeSignatureBytes(signedFile(kContent.substr(1), input))) {
    std::abort();
  }
  return 0;
}
