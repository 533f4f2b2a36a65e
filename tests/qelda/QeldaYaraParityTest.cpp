// The engine flags exactly the files the yara tool flags with the same rules,
// rule by rule: data reads in the first and later blocks, the pe, elf, hash and
// math modules, offsets, ranges, counts, regular expressions, hex jumps, private
// and global rules, over files it makes and over real ELF files of this system.
#include "engine/VxAVEngineABI.h"
#include "tests/qelda/QeldaEngineFixture.h"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace qeldatest;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1u << 20;
constexpr std::size_t kBlock = 8 * kMiB;

using Verdicts = std::map<std::string, std::set<std::string>>;  // path -> rules

std::string digestHex(const EVP_MD* type, const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, type, nullptr);
  std::string out;
  char two[3];
  for (unsigned i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    out += two;
  }
  return out;
}

void put(std::string& bytes, std::size_t at, const std::string& what) { bytes.replace(at, what.size(), what); }

template <typename Value>
void putLittle(std::string& bytes, std::size_t at, Value value) {
  for (std::size_t i = 0; i < sizeof(Value); ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A PE32 image with one section: enough for the pe module to parse it.
std::string portableExecutable(std::size_t size) {
  std::string image(std::max<std::size_t>(size, 0x400), '\0');
  put(image, 0, "MZ");
  putLittle<std::uint32_t>(image, 0x3C, 0x40);
  put(image, 0x40, std::string("PE\0\0", 4));
  putLittle<std::uint16_t>(image, 0x44, 0x014C);  // i386
  putLittle<std::uint16_t>(image, 0x46, 1);       // sections
  putLittle<std::uint16_t>(image, 0x54, 0xE0);    // optional header size
  putLittle<std::uint16_t>(image, 0x56, 0x0102);  // executable, 32-bit
  const std::size_t optional = 0x58;
  putLittle<std::uint16_t>(image, optional, 0x10B);
  putLittle<std::uint32_t>(image, optional + 16, 0x1000);    // entry point
  putLittle<std::uint32_t>(image, optional + 28, 0x400000);  // image base
  putLittle<std::uint32_t>(image, optional + 32, 0x1000);    // section alignment
  putLittle<std::uint32_t>(image, optional + 36, 0x200);     // file alignment
  putLittle<std::uint32_t>(image, optional + 56, 0x2000);    // image size
  putLittle<std::uint32_t>(image, optional + 60, 0x200);     // headers size
  putLittle<std::uint16_t>(image, optional + 68, 3);         // console
  putLittle<std::uint32_t>(image, optional + 92, 16);        // directories
  const std::size_t section = optional + 0xE0;
  put(image, section, ".text");
  putLittle<std::uint32_t>(image, section + 8, 0x10);
  putLittle<std::uint32_t>(image, section + 12, 0x1000);
  putLittle<std::uint32_t>(image, section + 16, 0x200);
  putLittle<std::uint32_t>(image, section + 20, 0x200);
  putLittle<std::uint32_t>(image, section + 36, 0x60000020);
  return image;
}

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// name -> content; every file exercises some rule, most of them near a block border.
std::map<std::string, std::string> corpus() {
  std::map<std::string, std::string> files;
  files["empty"] = "";
  files["small.txt"] = "hello world";
  files["credentials.txt"] = "login: USER name=x; pass=y\nuser=admin123;\n";
  files["pe-small.exe"] = portableExecutable(0x400);
  std::string peLarge = portableExecutable(kBlock + 3 * kMiB);
  put(peLarge, kBlock + 2 * kMiB, "overlay data");
  files["pe-overlay.exe"] = peLarge;

  std::string later(kBlock + kMiB, 'a');
  putLittle<std::uint32_t>(later, kBlock + 16, 0xDEADBEEF);
  put(later, kBlock + 1000, "LATER-BLOCK-MARK");
  files["later-block.bin"] = later;

  std::string border(2 * kBlock + kMiB, 'b');
  put(border, kBlock - 5, "BORDERSTRING");
  put(border, 2 * kBlock - 1, "AB");  // uint16be across the second border
  put(border, 100, "CNT!");
  put(border, kBlock - 100, "CNT!");  // inside the overlap of two blocks: counted once
  put(border, kBlock + 5000, "CNT!");
  files["border.bin"] = border;

  std::string fourCounts = border;
  put(fourCounts, 2 * kBlock + 10, "CNT!");
  files["four-counts.bin"] = fourCounts;

  files["random.bin"] = randomBytes(kMiB, 7);
  files["zeros.bin"] = std::string(kBlock + 2 * kMiB, '\0');
  return files;
}

std::string rules() {
  const std::string zeros(kBlock + 2 * kMiB, '\0');
  return R"(import "pe"
import "elf"
import "hash"
import "math"

global rule nonempty { condition: filesize > 0 }
private rule mz { condition: uint16(0) == 0x5A4D }

rule first_block_read { condition: mz }
rule small_mz { condition: mz and filesize < 4096 }
rule later_block_read { condition: filesize > 8388624 and uint32(8 * 1048576 + 16) == 0xDEADBEEF }
rule border_read { condition: filesize > 16777216 and uint16be(16777215) == 0x4142 }
rule later_string { strings: $a = "LATER-BLOCK-MARK" condition: $a and @a[1] > 8388608 }
rule later_range { strings: $a = "LATER-BLOCK-MARK" condition: $a in (8388608..8390000) }
rule border_string { strings: $a = "BORDERSTRING" condition: $a at 8388603 }
rule counted_three { strings: $a = "CNT!" condition: #a == 3 }
rule counted_four { strings: $a = "CNT!" condition: #a == 4 }
rule regex { strings: $r = /user=[a-z]+[0-9]{2,4};/ condition: $r }
rule hex_jump { strings: $h = { 55 53 45 52 [2-30] 70 61 73 73 } condition: $h }
rule pe_one_section { condition: pe.is_pe and pe.number_of_sections == 1 }
rule pe_overlay { condition: pe.overlay.size > 8000000 }
rule elf_shared { condition: elf.type == elf.ET_DYN }
rule elf_executable { condition: elf.type == elf.ET_EXEC }
rule elf_text { condition: for any i in (0..elf.number_of_sections - 1): (elf.sections[i].name == ".text") }
rule elf_many_sections { condition: elf.number_of_sections > 30 }
rule elf_symbols { condition: for any i in (0..elf.symtab_entries - 1): (elf.symtab[i].name == "main") }
rule elf_dynamic { condition: elf.dynsym_entries > 2000 }
rule zeros_sha256 { condition: hash.sha256(0, filesize) == ")" +
         digestHex(EVP_sha256(), zeros) + R"(" }
rule border_md5 { condition: hash.md5(8388600, 100) == ")" + digestHex(EVP_md5(), std::string(100, '\0')) + R"(" }
rule high_entropy { condition: math.entropy(0, filesize) > 7.9 }
rule later_mean { condition: filesize > 9000000 and math.mean(8388608, 4096) < 1.0 }
rule tiny { condition: filesize < 20 }
)";
}

// Real ELF files: a sample of shared objects and programs, and every one larger
// than a block, whose section tables lie beyond the first block.
std::vector<std::string> systemElfFiles() {
  std::vector<std::string> picked;
  std::size_t small = 0;
  for (const char* folder : {"/usr/lib/x86_64-linux-gnu", "/usr/bin"}) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (!entry.is_regular_file(error) || entry.is_symlink(error)) continue;
      const auto size = entry.file_size(error);
      if (error || size < 64 || size > 160 * kMiB) continue;
      std::ifstream stream(entry.path(), std::ios::binary);
      char magic[4] = {};
      stream.read(magic, 4);
      if (std::string(magic, 4) != "\x7f" "ELF") continue;
      if (size > kBlock || small++ < 60) picked.push_back(entry.path().string());
    }
  }
  return picked;
}

Verdicts yaraToolVerdicts(const fs::path& rulesFile, const std::vector<std::string>& files, const fs::path& work) {
  const fs::path list = work / "scan-list.txt";
  {
    std::ofstream out(list);
    for (const auto& file : files) out << file << '\n';
  }
  const std::string command = "yara -w --scan-list '" + rulesFile.string() + "' '" + list.string() + "' 2>&1";
  Verdicts verdicts;
  FILE* pipe = ::popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  if (pipe == nullptr) return verdicts;
  char line[8192];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const auto blank = text.find(' ');
    EXPECT_NE(blank, std::string::npos) << "unexpected yara output: " << text;
    if (blank != std::string::npos) verdicts[text.substr(blank + 1)].insert(text.substr(0, blank));
  }
  EXPECT_EQ(::pclose(pipe), 0) << "the yara tool failed";
  return verdicts;
}

class QeldaYaraParity : public QeldaEngine {
 protected:
  Verdicts engineVerdicts(const std::vector<std::string>& files) {
    Verdicts verdicts;
    for (const auto& file : files) {
      Recorder recorder;
      EXPECT_EQ(scanFile(file, recorder), 0) << file;
      for (const auto& message : recorder.messages) {
        if (message.code == AVM_DETECTION) verdicts[file].insert(message.text);
        if (message.code == AVM_SCAN_ERROR) ADD_FAILURE() << file << ": scan error " << message.second;
      }
    }
    return verdicts;
  }
};

TEST_F(QeldaYaraParity, SameRulesFlagSameFilesAsTheYaraTool) {
  ASSERT_EQ(std::system("command -v yara >/dev/null"), 0) << "the yara tool is needed (Debian package yara)";
  const fs::path data = dir / "data";
  fs::create_directories(data / "corpus");
  std::ofstream(data / "scan.yar") << rules();
  std::ofstream(data / "names.dat") << "version 1 0\n* 3 1\n";
  std::ofstream(data / "clean.dat") << "* none\n";
  ASSERT_EQ(start(false, "names.dat", data.string()), 0);

  std::vector<std::string> files;
  for (const auto& [name, content] : corpus()) {
    const fs::path path = data / "corpus" / name;
    std::ofstream(path, std::ios::binary) << content;
    files.push_back(path.string());
  }
  const std::size_t made = files.size();
  const auto system = systemElfFiles();
  files.insert(files.end(), system.begin(), system.end());

  const Verdicts expected = yaraToolVerdicts(data / "scan.yar", files, dir);
  const Verdicts actual = engineVerdicts(files);
  for (const auto& file : files) {
    const auto want = expected.count(file) != 0 ? expected.at(file) : std::set<std::string>{};
    const auto got = actual.count(file) != 0 ? actual.at(file) : std::set<std::string>{};
    EXPECT_EQ(got, want) << file;
  }
  // The made files are built so that every rule but one flags some file: a rule
  // that flags nothing under either scanner would test nothing.
  std::set<std::string> flagged;
  for (std::size_t i = 0; i < made; ++i) {
    if (expected.count(files[i]) != 0) flagged.insert(expected.at(files[i]).begin(), expected.at(files[i]).end());
  }
  for (const char* rule : {"first_block_read", "small_mz", "later_block_read", "border_read", "later_string",
                           "later_range", "border_string", "counted_three", "counted_four", "regex", "hex_jump",
                           "pe_one_section", "pe_overlay", "zeros_sha256", "border_md5", "high_entropy",
                           "later_mean", "tiny"}) {
    EXPECT_EQ(flagged.count(rule), 1u) << rule << " flags none of the made files";
  }
}

}  // namespace
