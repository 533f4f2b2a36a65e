#include "platform/FileVersion.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/FileVersionNote.h"
#include "platform/UniqueFileDescriptor.h"

namespace platform {

namespace {

// A real executable has a handful of program headers and small note segments;
// anything beyond these limits is not read.
constexpr std::uint16_t kMostProgramHeaders = 512;
constexpr std::uint64_t kLargestNoteSegment = 64 * 1024;

// Reads exactly `count` bytes at `offset`; false on a short file or an error.
bool readAt(int fd, void* buffer, std::size_t count, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool fitsIn(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool isOurOwner(const unsigned char* name, std::uint32_t nameSize) {
  return nameSize == sizeof kFileVersionNoteOwner &&
         std::memcmp(name, kFileVersionNoteOwner, sizeof kFileVersionNoteOwner) == 0;
}

// Walks the notes of one segment. 0 with the version, 1627 for a version note
// that is no valid record, 1813 when the segment has none.
std::uint32_t findVersionNote(const std::vector<unsigned char>& segment, std::uint64_t alignment,
                              ModuleVersionRecord& version) {
  std::uint64_t at = 0;
  while (segment.size() - at >= sizeof(Elf64_Nhdr)) {
    Elf64_Nhdr header;
    std::memcpy(&header, segment.data() + at, sizeof header);
    const std::uint64_t nameAt = at + sizeof header;
    const std::uint64_t descriptorAt = nameAt + alignUp(header.n_namesz, alignment);
    const std::uint64_t next = descriptorAt + alignUp(header.n_descsz, alignment);
    if (!fitsIn(nameAt, header.n_namesz, segment.size()) ||
        !fitsIn(descriptorAt, header.n_descsz, segment.size())) {
      return kErrorResourceTypeNotFound;  // a damaged list ends the search
    }
    if (header.n_type == kFileVersionNoteType && isOurOwner(segment.data() + nameAt, header.n_namesz)) {
      if (header.n_descsz != sizeof(ModuleVersionRecord)) return kErrorFunctionFailed;
      ModuleVersionRecord record;
      std::memcpy(&record, segment.data() + descriptorAt, sizeof record);
      if (record.signature != kModuleVersionSignature) return kErrorFunctionFailed;
      version = record;
      return 0;
    }
    at = next;
  }
  return kErrorResourceTypeNotFound;
}

bool isLittleEndianElf64(const Elf64_Ehdr& header) {
  return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64 &&
         header.e_ident[EI_DATA] == ELFDATA2LSB && header.e_phentsize == sizeof(Elf64_Phdr);
}

std::uint32_t versionFromElf(int fd, std::uint64_t fileSize, ModuleVersionRecord& version) {
  Elf64_Ehdr header;
  if (fileSize < sizeof header || !readAt(fd, &header, sizeof header, 0) || !isLittleEndianElf64(header) ||
      header.e_phnum > kMostProgramHeaders ||
      !fitsIn(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr), fileSize)) {
    return kErrorResourceTypeNotFound;
  }
  std::vector<Elf64_Phdr> programHeaders(header.e_phnum);
  if (!readAt(fd, programHeaders.data(), programHeaders.size() * sizeof(Elf64_Phdr), header.e_phoff)) {
    return kErrorResourceTypeNotFound;
  }
  for (const Elf64_Phdr& segment : programHeaders) {
    if (segment.p_type != PT_NOTE || segment.p_filesz > kLargestNoteSegment ||
        !fitsIn(segment.p_offset, segment.p_filesz, fileSize)) {
      continue;
    }
    std::vector<unsigned char> notes(segment.p_filesz);
    if (!readAt(fd, notes.data(), notes.size(), segment.p_offset)) continue;
    // Notes are 4-byte aligned unless the segment asks for 8 (GNU property notes).
    const std::uint64_t alignment = segment.p_align == 8 ? 8 : 4;
    const std::uint32_t error = findVersionNote(notes, alignment, version);
    if (error != kErrorResourceTypeNotFound) return error;
  }
  return kErrorResourceTypeNotFound;
}

}  // namespace

std::uint32_t fileVersion(const std::string& path, ModuleVersionRecord& version) {
  if (path.empty()) return kErrorInvalidParameter;
  // Non-blocking, so that a named pipe put in the tool's place cannot hold us.
  UniqueFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return windowsErrorForPath(errno, path);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return lastWindowsError();
  if (!S_ISREG(status.st_mode)) return kErrorResourceTypeNotFound;
  return versionFromElf(fd.get(), static_cast<std::uint64_t>(status.st_size), version);
}

}  // namespace platform
