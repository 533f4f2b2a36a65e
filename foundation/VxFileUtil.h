#pragma once
// File and folder helpers of the component: read a whole file into a shared
// buffer, test for a file or folder, create a folder with its parents, delete a
// folder tree, and put off a deletion that cannot be done now.
//
// Paths are wide strings, turned into the system's bytes by VxNATypeConversion
// (UTF-8, undecodable bytes kept). Failures are Windows error codes; nothing
// throws. A path is used exactly as given or not at all: one with a NUL or a
// character no file name can hold (a lone surrogate) is refused with 87, one
// longer than the system accepts with 206 (ERROR_FILENAME_EXCED_RANGE); Read
// reports both as a file it cannot open (2).
//
// Symbolic links: readers and existence tests follow them, as any program
// reading a file would; deletion never does. deleteFolderTree removes a link
// inside the tree as a link and leaves its target alone, and a link given as
// the folder itself is removed as a link.
//
// Deletion "at restart" (deleteOnReboot) has no system facility on Linux; the
// path is recorded in the machine's pending-delete list (platform/DelayedDelete.h)
// and removed by retryPendingDeletes, which every deleteFolderTree runs first.
//
// Stateless; every function is safe from any thread and from several processes
// at once (the pending-delete list is locked while it is used).
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/VxNAResult.h"

class CVxFileUtil {
 public:
  // A file's bytes, zero-terminated; shared by everyone who holds the handle.
  using Buffer = std::shared_ptr<std::uint8_t[]>;

  // Reads the whole regular file at `path`. On success `buffer` is replaced by a
  // new array of size + 1 bytes (the last one 0) and 0 is returned. Failures
  // leave `buffer` as it was:
  //   87   empty path
  //   2    the file cannot be opened (missing, denied, a folder, not a regular file)
  //   223  the file is 4 GiB or larger: its size would not fit `size`
  //   1392 memory for the buffer cannot be had, or reading fails
  static std::uint32_t Read(const std::wstring& path, Buffer& buffer, std::uint32_t& size);
  // As Read, for files that others write: one larger than maxSize bytes is
  // refused with 223 before anything is allocated.
  static std::uint32_t Read(const std::wstring& path, Buffer& buffer, std::uint32_t& size,
                            std::uint32_t maxSize);
};

// 0 when `path` names an existing folder (wantFolder) or non-folder (!wantFolder).
// A folder where a file was wanted gives 2, a file where a folder was wanted 3; a
// missing entry gives 2 (its folder exists) or 3 (it does not); empty path 87.
std::uint32_t pathExists(const std::wstring& path, bool wantFolder);

// Creates the folder `path` (relative to the current folder unless it starts
// with "/") and every missing parent. 183 when it already was a folder (callers
// treat 0 and 183 alike); 87 for an empty path; 206 when too long; 82
// (ERROR_CANNOT_MAKE) when any level cannot be made. A non-folder standing where
// a folder must go is deleted first. Folders shorter than 4 characters ("/", "/a")
// are never created.
std::uint32_t createFolderPath(const std::wstring& path);

// Deletes the contents of `folder` (subfolders only when `recurse`) and then the
// folder. Returns 1 when every entry and the folder itself were removed or
// recorded for later deletion, and when the folder did not exist; else 0. Paths
// shorter than 4 characters, the root folder and the system's folders
// (platform/SystemFolders.h) are never touched (0), under whatever name. ".."
// and "." are taken on the text, as Windows does, before anything is looked at.
std::uint32_t deleteFolderTree(const std::wstring& folder, bool recurse);

// Records `path` (made absolute) for deletion by a later retryPendingDeletes.
// 0 when recorded; 87 for an empty path; else the code of why not.
std::uint32_t deleteOnReboot(const std::wstring& path);

// Removes what it can of the recorded paths and keeps the rest recorded; the
// value is the number still recorded.
VxNAResult<std::uint32_t> retryPendingDeletes();
