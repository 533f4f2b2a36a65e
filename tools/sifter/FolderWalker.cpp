#include "tools/sifter/FolderWalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace sifter {

namespace {

struct FolderCloser {
  void operator()(DIR* folder) const { closedir(folder); }
};
using FolderStream = std::unique_ptr<DIR, FolderCloser>;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Opens a folder by descriptor and checks that it is the entry examined before.
platform::UniqueFileDescriptor openFolderAt(int parentFd, const std::string& name, struct stat& status) {
  platform::UniqueFileDescriptor fd(openat(parentFd, name.c_str(), kFolderFlags));
  struct stat opened {};
  if (!fd.valid() || fstat(fd.get(), &opened) != 0 || !S_ISDIR(opened.st_mode)) return {};
  if (parentFd != AT_FDCWD && identityOf(opened) != identityOf(status)) return {};
  status = opened;
  return fd;
}

}  // namespace

WalkCounts FolderWalker::walk(const std::string& root, const std::function<void(const WalkedFile&)>& visit) {
  WalkCounts counts;
  struct stat status {};
  auto fd = openFolderAt(AT_FDCWD, root, status);
  if (!fd.valid() || !visited_.insert(identityOf(status)).second) return counts;
  walkFolder(fd.release(), root == "/" ? std::string() : root, 0, visit, counts);
  return counts;
}

void FolderWalker::walkFolder(int folderFd, const std::string& path, unsigned depth,
                              const std::function<void(const WalkedFile&)>& visit, WalkCounts& counts) {
  // The stream owns folderFd from here on.
  FolderStream stream(fdopendir(folderFd));
  if (!stream) {
    close(folderFd);
    return;
  }
  // The listing finishes before the walk descends; the descriptors open at any
  // time are one per level, bounded by the depth limit.
  std::vector<std::string> subfolders;
  while (const dirent* entry = readdir(stream.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (++counts.entries > maxEntries_) {
      counts.truncated = true;
      break;
    }
    struct stat status {};
    if (fstatat(dirfd(stream.get()), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const std::string childPath = path + "/" + name;
    if (S_ISREG(status.st_mode)) {
      ++counts.files;
      visit(WalkedFile{dirfd(stream.get()), name, childPath, status});
    } else if (S_ISDIR(status.st_mode)) {
      if (depth >= maxDepth_) {
        counts.truncated = true;
      } else {
        subfolders.push_back(name);
      }
    }
  }
  for (const auto& name : subfolders) {
    if (counts.truncated && counts.entries > maxEntries_) return;
    struct stat status {};
    if (fstatat(dirfd(stream.get()), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode)) {
      continue;
    }
    auto child = openFolderAt(dirfd(stream.get()), name, status);
    if (!child.valid() || (skip_ && skip_(name, status)) || !visited_.insert(identityOf(status)).second) continue;
    walkFolder(child.release(), path + "/" + name, depth + 1, visit, counts);
  }
}

}  // namespace sifter
