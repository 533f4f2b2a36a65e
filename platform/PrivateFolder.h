#pragma once
// PrivateFolder: a scratch folder of this process under a shared folder such as
// /tmp, made with an unpredictable name, mode 0700, and held open by descriptor
// from the moment it is made. Everything inside it is created, examined and
// deleted relative to that descriptor with *at() calls that never follow a
// symbolic link, so neither a link planted in the shared folder nor one put in
// place of the folder's own name later can turn a write or a deletion elsewhere.
//
// create() checks what it opened: a folder owned by the effective user with no
// access for group or others; anything else is refused (5) and left alone. The
// folder and its contents are deleted by the destructor, and only when the entry
// of its name in the shared folder is still this very folder.
//
// Children are named by one path component (no "/", not "." or ".."); other
// names are refused with 87.
//
// Thread-safety: after create() the const members may be called from any thread
// at once; create() and the destructor need the object to themselves.
#include <cstdint>
#include <string>

#include "platform/FileSystem.h"
#include "platform/UniqueFileDescriptor.h"

namespace platform {

class PrivateFolder {
 public:
  PrivateFolder() = default;
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;

  // Makes <parent>/<prefix>XXXXXX; parent must end in "/". 0, or the Windows code.
  std::uint32_t create(const std::string& parent, const std::string& prefix);
  bool valid() const { return fd_.valid(); }
  // Full path of the folder (empty before create).
  const std::string& path() const { return path_; }

  // Makes the folder `name` (mode 0700). 0; 183 when an entry of that name exists.
  std::uint32_t createChildFolder(const std::string& name) const;
  // What the entry `name` is, links not followed.
  FileKind childKind(const std::string& name) const;
  // Deletes the entry `name`: a folder with all it holds, any other entry (a link
  // included) as itself; a link met anywhere is removed, never entered. True when
  // nothing of it is left.
  bool removeChildTree(const std::string& name) const;

 private:
  UniqueFileDescriptor fd_;
  std::string path_;
};

}  // namespace platform
