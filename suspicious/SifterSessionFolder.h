#pragma once
// CVxSifterSessionFolder: where the collector tool's session folders live. The
// shared temporary folder is open to everybody, so a session folder is never made
// there directly: the first use makes one private folder of this runner under it
// (platform/PrivateFolder.h: unpredictable name, owner-only, held open), and each
// session folder "siftertmp<N>" (N from 1 to 100, 0 when the random source
// fails) is a child of that folder, created and deleted through its descriptor.
// No link in the shared folder, nor one put in place of the private folder
// later, can redirect a creation or a deletion.
//
// Session folders are handed around as full paths (the tool is given one on its
// command line); only a path naming a direct child of the private folder is
// acted on.
//
// The private folder goes, with everything in it, when close() is called or the
// object is destroyed, whichever comes first; after close() none is made again.
// Its removal needs no more than its own descriptor and its name in the shared
// folder, which must still be this very folder (platform/PrivateFolder.h). A
// member working on the folder while close() runs keeps it until it returns,
// and the folder goes then.
//
// Thread-safety: every member may be called from any thread at once.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PrivateFolder.h"

class CVxSifterSessionFolder {
 public:
  CVxSifterSessionFolder();
  ~CVxSifterSessionFolder();
  CVxSifterSessionFolder(const CVxSifterSessionFolder&) = delete;
  CVxSifterSessionFolder& operator=(const CVxSifterSessionFolder&) = delete;

  // A fresh session folder path (nothing is created); empty when the private
  // folder cannot be had.
  std::wstring newSessionPath();
  // True when `path` is a session folder that exists as a folder (not a link).
  bool isFolder(const std::wstring& path);
  // Creates the session folder; 0, 183 when it already is a folder, 87 for a
  // path that is no session folder, else the system's code. Anything but a
  // folder in its place is removed first.
  std::uint32_t create(const std::wstring& path);
  // Deletes the session folder with everything in it; true when nothing is left.
  bool remove(const std::wstring& path);
  // Deletes the private folder with every session folder in it, now, and makes
  // no other: from then on there is no session folder to create or find.
  void close();

 private:
  using Folder = std::shared_ptr<const platform::PrivateFolder>;

  // The private folder, made on first use; null when it cannot be made or
  // after close().
  Folder privateFolder();
  // The child name of a session folder path, or nothing for any other path.
  static std::optional<std::string> childName(const platform::PrivateFolder* folder,
                                              const std::wstring& path);

  std::mutex lock_;  // guards folder_ and closed_
  Folder folder_;
  bool closed_ = false;
};
