#pragma once
// CVxAVScanObject: one object to scan, queued for the scan threads. The kernel may
// still hold an object while a worker reads it, so each object has its own lock.
#include <cstdint>
#include <mutex>
#include <string>

#include "kernel/VxNAEventInfoBaseObj.h"

// Kinds of scan object.
inline constexpr std::uint32_t VX_SCAN_OBJECT_FILE = 0;

class CVxAVScanObject : public VxNAEventInfoBaseObj {
 public:
  CVxAVScanObject() = default;
  CVxAVScanObject(std::uint32_t objectType, const std::wstring& path);

  // Stores the path case-folded as the platform compares paths.
  void setPath(const std::wstring& path);
  std::wstring getPath() const;
  // Where the engine reads the object when that is not its path (a process
  // module reached through the kernel's handle); the path names it in reports.
  void setContentPath(const std::wstring& contentPath);
  // The content path, or the path when none was set.
  std::wstring getContentPath() const;
  // The same as narrow text, as the engine takes it.
  std::string getNarrowContentPath() const;
  void setObjectType(std::uint32_t type);
  std::uint32_t getObjectType() const;

  // The narrow name under which the object scanner records this object's result
  // and under which the scan thread looks it up; one function so the two never
  // drift apart. Made once, with the path: the object scanner and the scan thread
  // both ask for it for every object.
  std::string getResultKey() const;

 private:
  mutable std::mutex lock_;
  std::uint32_t objectType_ = VX_SCAN_OBJECT_FILE;
  std::wstring path_;
  std::string resultKey_;
  std::wstring contentPath_;
  std::string narrowContentPath_;
};
