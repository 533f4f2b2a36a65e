#include "tools/sifter/OutputFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "tools/sifter/PathText.h"

namespace sifter {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string absoluteForm(const std::string& path) {
  std::string absolute = path;
  if (absolute.front() != '/') {
    std::unique_ptr<char, decltype(&std::free)> current(getcwd(nullptr, 0), &std::free);
    if (!current) return {};
    absolute = std::string(current.get()) + "/" + absolute;
  }
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

}  // namespace

std::string OutputFolder::open(const std::string& path) {
  absolutePath_ = absoluteForm(path);
  if (absolutePath_.empty()) return "the current folder is unknown";
  if (!isXmlText(absolutePath_)) return "its path is not UTF-8 text";
  struct stat status {};
  if (lstat(absolutePath_.c_str(), &status) != 0) return std::strerror(errno);
  if (S_ISLNK(status.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(status.st_mode)) return "it is not a folder";
  fd_.reset(::open(absolutePath_.c_str(), kFolderFlags));
  struct stat opened {};
  if (!fd_.valid() || fstat(fd_.get(), &opened) != 0) return std::strerror(errno);
  if (identityOf(opened) != identityOf(status)) return "it changed while it was opened";
  if (opened.st_uid != geteuid()) return "it belongs to another user";
  if ((opened.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "group or others may write to it";
  identity_ = identityOf(opened);
  return {};
}

StagingFolder::~StagingFolder() {
  if (name_.empty()) return;
  if (DIR* listing = fd_.valid() ? fdopendir(dup(fd_.get())) : nullptr) {
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
    }
    closedir(listing);
    for (const auto& name : names) unlinkat(fd_.get(), name.c_str(), 0);
  }
  fd_.reset();
  unlinkat(parentFd_, name_.c_str(), AT_REMOVEDIR);
}

std::string StagingFolder::create(int parentFd) {
  std::string pattern = "/proc/self/fd/" + std::to_string(parentFd) + "/.staging-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::string("cannot create a staging folder: ") + std::strerror(errno);
  parentFd_ = parentFd;
  name_ = pattern.substr(pattern.rfind('/') + 1);
  fd_.reset(openat(parentFd, name_.c_str(), kFolderFlags));
  if (!fd_.valid()) return std::string("cannot open the staging folder: ") + std::strerror(errno);
  return {};
}

platform::UniqueFileDescriptor openOrCreateSubfolder(int parentFd, const std::string& name) {
  if (mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return platform::UniqueFileDescriptor(openat(parentFd, name.c_str(), kFolderFlags));
}

}  // namespace sifter
