#include "platform/FileVersion.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>

#include "platform/FileVersionNote.h"
#include "tests/suspicious/SifterTestSupport.h"

namespace {

namespace fs = std::filesystem;

template <class T>
void put(std::string& bytes, std::size_t at, const T& value) {
  if (bytes.size() < at + sizeof value) bytes.resize(at + sizeof value);
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

// A minimal ELF64 file: header, one program header, the note segment at 0x100.
struct ElfImage {
  Elf64_Ehdr header{};
  Elf64_Phdr note{};
  std::string notes;

  ElfImage() {
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_EXEC;
    header.e_machine = EM_X86_64;
    header.e_phoff = sizeof(Elf64_Ehdr);
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = 1;
    note.p_type = PT_NOTE;
    note.p_offset = 0x100;
    note.p_align = 4;
    const platform::FileVersionNote version = platform::makeFileVersionNote(5, 6, 7, 8);
    notes.assign(reinterpret_cast<const char*>(&version), sizeof version);
  }

  std::string bytes() const {
    std::string out;
    put(out, 0, header);
    Elf64_Phdr segment = note;
    if (segment.p_filesz == 0) segment.p_filesz = notes.size();
    // A header that points past the end still has its table where it normally lies.
    put(out, header.e_phoff < 0x100 ? header.e_phoff : sizeof(Elf64_Ehdr), segment);
    out.resize(0x100);
    return out + notes;
  }
};

TEST(FileVersionTest, ReadsOnlyAWellFormedVersionNote) {
  vxtest::SifterScratch scratch;
  struct Case {
    const char* what;
    std::function<void(ElfImage&)> change;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"well formed", [](ElfImage&) {}, 0},
      {"another program note first",
       [](ElfImage& image) {
         std::string other(12, '\0');
         put(other, 0, std::uint32_t{4});
         put(other, 4, std::uint32_t{4});
         put(other, 8, std::uint32_t{1});
         other += std::string("GNU\0abcd", 8);
         image.notes = other + image.notes;
       },
       0},
      {"not ELF", [](ElfImage& image) { image.header.e_ident[1] = 'X'; }, 1813},
      {"32-bit class", [](ElfImage& image) { image.header.e_ident[EI_CLASS] = ELFCLASS32; }, 1813},
      {"program headers past the end", [](ElfImage& image) { image.header.e_phoff = 1u << 30; }, 1813},
      {"too many program headers", [](ElfImage& image) { image.header.e_phnum = 0xFFFF; }, 1813},
      {"note segment past the end", [](ElfImage& image) { image.note.p_filesz = 1u << 30; }, 1813},
      {"note sizes past the segment",
       [](ElfImage& image) { put(image.notes, 4, std::uint32_t{0x7FFFFFF0}); }, 1813},
      {"another owner", [](ElfImage& image) { image.notes[12] = 'W'; }, 1813},
      {"descriptor of the wrong size", [](ElfImage& image) { put(image.notes, 4, std::uint32_t{8}); },
       1627},
      {"record without its signature", [](ElfImage& image) { put(image.notes, 20, std::uint32_t{0}); },
       1627},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ElfImage image;
    c.change(image);
    const std::string path = scratch.file("image");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << image.bytes();
    platform::ModuleVersionRecord version{};
    EXPECT_EQ(platform::fileVersion(path, version), c.error);
    if (c.error == 0) {
      EXPECT_EQ(version.fileVersionMS, 5u << 16 | 6u);
      EXPECT_EQ(version.fileVersionLS, 7u << 16 | 8u);
    }
  }
}

// Only a regular file named directly is read; nothing blocks on a pipe.
TEST(FileVersionTest, RefusesWhatIsNoRegularFile) {
  vxtest::SifterScratch scratch;
  const std::string target = scratch.file("image");
  std::ofstream(target, std::ios::binary) << ElfImage().bytes();
  fs::create_symlink(target, scratch.file("link"));
  ::mkfifo(scratch.file("fifo").c_str(), 0600);
  fs::create_directory(scratch.file("folder"));
  struct Case {
    std::string path;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"", 87},
      {scratch.file("missing"), 2},
      {scratch.file("missing-folder/image"), 3},
      {scratch.file("link"), 1921},
      {scratch.file("fifo"), 1813},
      {scratch.file("folder"), 1813},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    platform::ModuleVersionRecord version{};
    EXPECT_EQ(platform::fileVersion(c.path, version), c.error);
  }
}

}  // namespace
