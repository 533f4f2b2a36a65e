#include "suspicious/SifterSessionFolder.h"

#include <optional>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/RandomSource.h"
#include "platform/TempFolder.h"
#include "tools/sifter/RunnerFolders.h"

namespace {

constexpr char kSessionPrefix[] = "siftertmp";
constexpr std::uint32_t kSessionRange = 100;

// The number rules of CVxNASysUtil::getRandomFolder: 1..range, 0 when the
// random source fails.
std::uint32_t sessionNumber() {
  const std::optional<std::uint32_t> draw = platform::secureRandom32();
  return draw ? *draw % kSessionRange + 1 : 0;
}

}  // namespace

CVxSifterSessionFolder::CVxSifterSessionFolder() = default;
CVxSifterSessionFolder::~CVxSifterSessionFolder() = default;

CVxSifterSessionFolder::Folder CVxSifterSessionFolder::privateFolder() {
  std::lock_guard guard(lock_);
  if (folder_ == nullptr && !closed_) {
    auto folder = std::make_shared<platform::PrivateFolder>();
    if (folder->create(platform::temporaryFolder(), std::string(sifter::kRunnerFolderPrefix)) != 0) {
      return nullptr;
    }
    folder_ = std::move(folder);
  }
  return folder_;
}

void CVxSifterSessionFolder::close() {
  Folder last;
  {
    std::lock_guard guard(lock_);
    closed_ = true;
    last = std::move(folder_);
  }
  // Unless a member still works on it, the folder goes here, outside the lock.
  last.reset();
}

std::wstring CVxSifterSessionFolder::newSessionPath() {
  const Folder folder = privateFolder();
  if (folder == nullptr) return std::wstring();
  return VxNATypeConversion::ansiBufferToWideString(folder->path() + "/" + kSessionPrefix +
                                                    std::to_string(sessionNumber()));
}

std::optional<std::string> CVxSifterSessionFolder::childName(const platform::PrivateFolder* folder,
                                                             const std::wstring& path) {
  if (folder == nullptr) return std::nullopt;
  const std::string narrow = VxNATypeConversion::wideBufferToAnsiString(path);
  const std::string prefix = folder->path() + "/";
  if (narrow.size() <= prefix.size() || narrow.compare(0, prefix.size(), prefix) != 0) {
    return std::nullopt;
  }
  std::string name = narrow.substr(prefix.size());
  if (name.find('/') != std::string::npos || name == "." || name == "..") return std::nullopt;
  return name;
}

bool CVxSifterSessionFolder::isFolder(const std::wstring& path) {
  const Folder folder = privateFolder();
  const std::optional<std::string> name = childName(folder.get(), path);
  return name && folder->childKind(*name) == platform::FileKind::Folder;
}

std::uint32_t CVxSifterSessionFolder::create(const std::wstring& path) {
  const Folder folder = privateFolder();
  const std::optional<std::string> name = childName(folder.get(), path);
  if (!name) return ERROR_INVALID_PARAMETER;
  const platform::FileKind kind = folder->childKind(*name);
  if (kind == platform::FileKind::Folder) return ERROR_ALREADY_EXISTS;
  if (kind != platform::FileKind::Missing) folder->removeChildTree(*name);
  return folder->createChildFolder(*name);
}

bool CVxSifterSessionFolder::remove(const std::wstring& path) {
  const Folder folder = privateFolder();
  const std::optional<std::string> name = childName(folder.get(), path);
  return name && folder->removeChildTree(*name);
}
