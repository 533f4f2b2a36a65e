#include "platform/ModulePath.h"

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/ErrorCodes.h"

namespace platform {

namespace {

constexpr std::uint32_t kModuleNotFound = 126;

// Resolves a path the loader may have recorded relative to the working folder.
std::string absolutePath(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> resolved(realpath(path.c_str(), nullptr), &::free);
  return resolved ? std::string(resolved.get()) : path;
}

}  // namespace

std::uint32_t hostExecutablePath(std::string& path) {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return windowsErrorFromErrno(errno);
    if (static_cast<std::size_t>(length) < buffer.size()) {
      path.assign(buffer.data(), static_cast<std::size_t>(length));
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::uint32_t hostExecutableFolder(std::string& folder) {
  // A host that is not installed in the product folder (an interpreter running
  // a script) names the product folder instead.
  if (const char* named = std::getenv(kHostFolderVariable); named != nullptr && named[0] == '/') {
    folder = named;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return 0;
  }
  std::string path;
  const std::uint32_t error = hostExecutablePath(path);
  if (error != 0) return error;
  folder = folderOfPath(path);
  return 0;
}

std::uint32_t modulePathOf(const void* address, std::string& path) {
  Dl_info info{};
  link_map* module = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) == 0 ||
      module == nullptr) {
    return kModuleNotFound;
  }
  // The loader names the main program "" in its map; its path is the executable's.
  if (module->l_name == nullptr || module->l_name[0] == '\0') return hostExecutablePath(path);
  path = absolutePath(module->l_name);
  return 0;
}

const void* moduleHandleOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return nullptr;
  return info.dli_fbase;
}

std::uint32_t moduleFolderOf(const void* address, std::string& folder) {
  std::string path;
  const std::uint32_t error = modulePathOf(address, path);
  if (error != 0) return error;
  folder = folderOfPath(path);
  return 0;
}

std::string folderOfPath(const std::string& path) {
  const std::size_t separator = path.rfind('/');
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

}  // namespace platform
