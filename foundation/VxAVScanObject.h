#pragma once
// CVxAVScanObject: one object to scan, queued for the scan threads. The kernel may
// still hold an object while a worker reads it, so each object has its own lock.
//
// A process module also carries its identity: the device and inode of the file
// the process maps, the process found holding it, and the kernel's handle to that
// mapping. Two objects are one only when their names and identities agree; the
// engine reads the object only when the file it opens is the identified one.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/VxNAEventInfoBaseObj.h"

// Kinds of scan object.
inline constexpr std::uint32_t VX_SCAN_OBJECT_FILE = 0;

// The file a process maps, as its map shows it. An identity with inode 0 is
// unknown (an object named by the host, not found in a process).
struct VxScanObjectIdentity {
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint64_t inode = 0;
  int pid = 0;  // the process it was found in; not part of the identity
  // /proc/<pid>/map_files/<range>, or null. Shared: an identity is copied from
  // the walk to the kernel and on to every pass, once per object each time.
  std::shared_ptr<const std::string> kernelHandle;

  bool known() const { return inode != 0; }
  bool sameFile(const VxScanObjectIdentity& other) const {
    return deviceMajor == other.deviceMajor && deviceMinor == other.deviceMinor && inode == other.inode;
  }
};

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
  // The content path only when one was set; empty otherwise.
  std::wstring getOwnContentPath() const;
  // The same as narrow text, as the engine takes it.
  std::string getNarrowContentPath() const;
  void setObjectType(std::uint32_t type);
  std::uint32_t getObjectType() const;
  void setIdentity(VxScanObjectIdentity identity);
  VxScanObjectIdentity getIdentity() const;

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
  VxScanObjectIdentity identity_;
};
