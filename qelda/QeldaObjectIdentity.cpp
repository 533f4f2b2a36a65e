#include "qelda/QeldaObjectIdentity.h"

#include "qelda/QeldaProcessHandle.h"

#include <sys/sysmacros.h>

#include <cstring>

namespace qelda {
namespace {

std::string boundedText(std::uint64_t address) {
  if (address == 0) return {};
  const char* text = AV_U64_TO_PTR(const char*, address);
  return std::string(text, strnlen(text, kLongestIdentityText));
}

}  // namespace

bool readObjectIdentity(const AV_SINGLEPARAMETER& parameter, ObjectIdentity& identity) {
  const auto* record = AV_U64_TO_PTR(const AV_OBJECTIDENTITY*, parameter.value);
  if (record == nullptr || parameter.length != sizeof(AV_OBJECTIDENTITY) || record->size != sizeof(AV_OBJECTIDENTITY)) {
    return false;
  }
  identity.deviceMajor = record->deviceMajor;
  identity.deviceMinor = record->deviceMinor;
  identity.inode = record->inode;
  identity.fallbackPath = boundedText(record->fallbackPath);
  identity.reportName = boundedText(record->reportName);
  return true;
}

bool hasUsableFallback(const ObjectIdentity& identity) { return isMappedFileHandle(identity.fallbackPath); }

bool isRecordedFile(const ObjectIdentity& identity, const struct stat& info) {
  return major(info.st_dev) == identity.deviceMajor && minor(info.st_dev) == identity.deviceMinor &&
         static_cast<std::uint64_t>(info.st_ino) == identity.inode;
}

IdentityMatch matchIdentity(const ObjectIdentity& identity, const std::string& path, const struct stat& located) {
  if (isRecordedFile(identity, located)) return IdentityMatch::Same;
  // The handle itself leads to the mapped range's file, whatever it is now: it
  // cannot vouch for itself.
  if (!hasUsableFallback(identity) || identity.fallbackPath == path) return IdentityMatch::Changed;
  // The one link followed on purpose: a magic link of /proc to the mapped inode.
  struct stat mapped {};
  if (::stat(identity.fallbackPath.c_str(), &mapped) != 0) return IdentityMatch::Changed;
  if (mapped.st_dev == located.st_dev && mapped.st_ino == located.st_ino) return IdentityMatch::Same;
  return IdentityMatch::Replaced;
}

}  // namespace qelda
