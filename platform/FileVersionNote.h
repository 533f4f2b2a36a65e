#pragma once
// The file version of a product executable, readable from the file on disk
// without running or loading it (platform/FileVersion.h reads it). The version
// travels as an ELF note in the executable's PT_NOTE segment: owner "Vexora",
// type kFileVersionNoteType, and the fixed file-version record as descriptor.
//
// An executable declares its version once, at namespace scope:
//   VX_FILE_VERSION_NOTE(1, 2, 3, 4)
#include <cstdint>

#include "platform/ModuleVersion.h"

namespace platform {

inline constexpr char kFileVersionNoteOwner[] = "Vexora";
inline constexpr std::uint32_t kFileVersionNoteType = 1;

// The note exactly as it lies in the file (all words little-endian on x86-64;
// the owner padded to 4 bytes).
struct FileVersionNote {
  std::uint32_t ownerSize;
  std::uint32_t descriptorSize;
  std::uint32_t type;
  char owner[8];
  ModuleVersionRecord version;
};
static_assert(sizeof(FileVersionNote) == 32);

constexpr FileVersionNote makeFileVersionNote(std::uint16_t major, std::uint16_t minor,
                                              std::uint16_t build, std::uint16_t revision) {
  return FileVersionNote{sizeof kFileVersionNoteOwner,
                         sizeof(ModuleVersionRecord),
                         kFileVersionNoteType,
                         {'V', 'e', 'x', 'o', 'r', 'a', '\0', '\0'},
                         {kModuleVersionSignature, std::uint32_t{major} << 16 | minor,
                          std::uint32_t{build} << 16 | revision}};
}

}  // namespace platform

// extern gives the constant external linkage, so that it is emitted once and kept.
#define VX_FILE_VERSION_NOTE(major, minor, build, revision)                          \
  [[gnu::section(".note.vexora.version"), gnu::used, gnu::aligned(4)]] extern const \
      platform::FileVersionNote vx_file_version_note =                             \
          platform::makeFileVersionNote(major, minor, build, revision)
