#include "foundation/VxAVScanObject.h"

#include "foundation/VxNATypeConversion.h"
#include "platform/PathCase.h"

CVxAVScanObject::CVxAVScanObject(std::uint32_t objectType, const std::wstring& path) {
  setObjectType(objectType);
  setPath(path);
}

void CVxAVScanObject::setPath(const std::wstring& path) {
  std::wstring folded = platform::foldPathCase(path);
  std::string key =
      VxNATypeConversion::wideBufferToAnsiString(folded.data(), static_cast<std::uint32_t>(folded.size()));
  std::lock_guard guard(lock_);
  path_ = std::move(folded);
  resultKey_ = std::move(key);
}

std::wstring CVxAVScanObject::getPath() const {
  std::lock_guard guard(lock_);
  return path_;
}

void CVxAVScanObject::setContentPath(const std::wstring& contentPath) {
  std::string narrow =
      VxNATypeConversion::wideBufferToAnsiString(contentPath.data(), static_cast<std::uint32_t>(contentPath.size()));
  std::lock_guard guard(lock_);
  contentPath_ = contentPath;
  narrowContentPath_ = std::move(narrow);
}

std::wstring CVxAVScanObject::getContentPath() const {
  std::lock_guard guard(lock_);
  return contentPath_.empty() ? path_ : contentPath_;
}

std::wstring CVxAVScanObject::getOwnContentPath() const {
  std::lock_guard guard(lock_);
  return contentPath_;
}

std::string CVxAVScanObject::getNarrowContentPath() const {
  std::lock_guard guard(lock_);
  return contentPath_.empty() ? resultKey_ : narrowContentPath_;
}

void CVxAVScanObject::setObjectType(std::uint32_t type) {
  std::lock_guard guard(lock_);
  objectType_ = type;
}

std::uint32_t CVxAVScanObject::getObjectType() const {
  std::lock_guard guard(lock_);
  return objectType_;
}

std::string CVxAVScanObject::getResultKey() const {
  std::lock_guard guard(lock_);
  return resultKey_;
}

void CVxAVScanObject::setIdentity(VxScanObjectIdentity identity) {
  std::lock_guard guard(lock_);
  identity_ = std::move(identity);
}

VxScanObjectIdentity CVxAVScanObject::getIdentity() const {
  std::lock_guard guard(lock_);
  return identity_;
}
