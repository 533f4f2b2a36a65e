#pragma once
// FileSystem: the file and folder operations of the operating system that the
// component's file helpers build on. Paths are narrow byte strings exactly as the
// kernel takes them; every failure is a Windows error code (platform/ErrorCodes.h),
// 0 is success.
//
// Symbolic links: status queries say whether they follow a link; removal never
// follows one (a link is removed as a link). OpenFolder walks a tree through
// descriptors (openat/fstatat/unlinkat), so an entry that is or becomes a link
// inside the tree can never lead a walk out of it.
//
// Thread-safety: the free functions are safe from any thread. ReadableFile and
// OpenFolder objects have one owner at a time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/UniqueFileDescriptor.h"

namespace platform {

// Longest path, in bytes and without its terminator, that the system accepts.
std::size_t maximumPathLength();

enum class FileKind { Missing, Regular, Folder, SymbolicLink, Other };
enum class LinkPolicy { Follow, DoNotFollow };

struct FileStatus {
  // 0 when the entry exists; 2 or 3 when it does not (kind Missing); any other
  // code when it could not be examined.
  std::uint32_t error = 0;
  FileKind kind = FileKind::Missing;
  std::uint64_t size = 0;
};

FileStatus fileStatus(const std::string& path, LinkPolicy links);

// Creates one folder (mode 0777 less the umask). An existing entry gives 183.
std::uint32_t createFolder(const std::string& path);
// Removes a non-folder entry; a symbolic link is removed, never its target.
std::uint32_t removeFile(const std::string& path);
// Removes an empty folder; a symbolic link to a folder is refused (267).
std::uint32_t removeEmptyFolder(const std::string& path);
std::uint32_t currentFolder(std::string& folder);

// Reads a small file whole (lists, settings); for large files use ReadableFile.
std::uint32_t readTextFile(const std::string& path, std::string& content);
// Appends `bytes` with one write to a file opened for appending (created 0644 if
// missing), so that concurrent appenders never interleave within one record.
std::uint32_t appendToFile(const std::string& path, const std::string& bytes);
// Replaces a file's content atomically: a crash leaves the old or the new one.
std::uint32_t replaceFile(const std::string& path, const std::string& bytes);

// A regular file open for reading (links followed, as for any reader).
class ReadableFile {
 public:
  // Anything but a regular file (folder, device, pipe, socket) is refused with
  // 2, like a name that cannot be opened; opening never blocks on a pipe.
  std::uint32_t open(const std::string& path);
  std::uint64_t size() const { return size_; }
  // Reads up to `count` bytes, fewer only at the end of the file.
  std::uint32_t read(void* buffer, std::size_t count, std::size_t& got);

 private:
  UniqueFileDescriptor fd_;
  std::uint64_t size_ = 0;
};

struct FolderEntry {
  std::string name;
  FileKind kind = FileKind::Other;  // of the entry itself, links not followed
};

// A folder held open by descriptor for walking and emptying it.
class OpenFolder {
 public:
  // Opens `path` as a folder; a symbolic link in the last component is refused.
  std::uint32_t open(const std::string& path);
  // Opens the entry `name` of this folder the same way.
  std::uint32_t openChild(const std::string& name, OpenFolder& child) const;
  // Creates the folder `name` (mode 0755) unless it exists, then opens it the
  // same way: an entry of that name that is a link or no folder is refused
  // (1921, 267) and left alone.
  std::uint32_t openOrCreateChild(const std::string& name, OpenFolder& child) const;
  // Opens the regular file `name` of this folder for reading and writing,
  // creating it (0644) when missing, emptying it when `truncate`; a link (1921)
  // or anything but a regular file (5) is refused. Never blocks on a pipe.
  std::uint32_t openChildFile(const std::string& name, bool truncate, UniqueFileDescriptor& file) const;
  // Opens the regular file `name` of this folder for reading only, on the same
  // terms (missing: 2).
  std::uint32_t openChildFileForReading(const std::string& name, UniqueFileDescriptor& file) const;
  // Every entry except "." and "..".
  std::uint32_t list(std::vector<FolderEntry>& entries) const;
  // Removes the entry `name` (asFolder: an empty folder; else any non-folder,
  // links as links). When this folder denies the removal, it is made writable
  // for its owner and the removal tried once more.
  std::uint32_t removeEntry(const std::string& name, bool asFolder) const;
  // True when this is the root of the file system.
  bool isFileSystemRoot() const;
  // True when `path` (links followed) names this very folder.
  bool isSameFolderAs(const std::string& path) const;

 private:
  std::uint32_t makeWritable() const;

  UniqueFileDescriptor fd_;
};

}  // namespace platform
