/*
 * Whether a mount still serves a regular file whose last name was just removed.
 *
 * A file bind-mounted over another path (a container runtime does this to hand a
 * file into a container's root) stays readable under that mount point after its
 * own name is unlinked: st_nlink is 0, yet everyone in the mount's namespace
 * still reaches the content. Such a mount shows in mountinfo with a root that is
 * the unlinked entry's path followed by "//deleted". A name never holds a slash,
 * and the kernel prints no empty component otherwise, so no file name can forge
 * that suffix.
 *
 * confirmNoMountServes walks every distinct view of the mount tree that a
 * running task has (its mount namespace together with its root; this thread's
 * own view first), reads that task's mountinfo and, for each mount of the file's
 * file system whose root was deleted, opens the mount point inside the task's
 * root without following any link (openat2, RESOLVE_IN_ROOT |
 * RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS) and compares it with the held file
 * (device and inode).
 *
 * Its answer is 0 only when every view it could reach was examined and none
 * serves the file. EMLINK says a mount serves it, and is also the answer when
 * that cannot be told: /proc cannot be listed, a task's mountinfo cannot be
 * read (a task that ended, a zombie included, is no view and is skipped),
 * exceeds kMaxMountInfoBytes (or all of them kMaxMountReachBytes), a task kept
 * changing its namespace while it was read, or a candidate mount point cannot
 * be opened (a task's root refused to us, a path too long, a link put into it,
 * a mount gone meanwhile). Saying "still reachable" when it may not be costs a
 * repair error; saying "cleaned" when it is not would be a lie.
 *
 * A namespace's mountinfo needs no privilege; only the roots of other users'
 * tasks do. So without root the answer is 0 as long as no mount of the file's
 * file system with a deleted root exists anywhere, and EMLINK otherwise.
 *
 * Out of reach, and not examined: tasks /proc does not show (hidepid, another
 * PID namespace's /proc), namespaces in which no task lives (held only by a
 * descriptor or an nsfs mount), mounts below no task's root, and a deleted
 * file's mount that another mount covers (its mount point then opens the
 * covering mount, which is no longer the file).
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_MOUNT_REACH_H
#define QELDA_MOUNT_REACH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelda {


// One task's mountinfo; the kernel's own are far smaller, even on hosts with
// thousands of container mounts.
inline constexpr std::size_t kMaxMountInfoBytes = 16u << 20;
// All mountinfo read for one file together.
inline constexpr std::size_t kMaxMountReachBytes = 256u << 20;

// The fields of one mountinfo line the reach test needs. root and mountPoint are
// as the kernel prints them, with octal escapes.
struct MountInfoLine {
  std::uint64_t id = 0;
  unsigned major = 0;
  unsigned minor = 0;
  std::string_view root;
  std::string_view mountPoint;
};

// Parses one line (without its newline). False for a line not of the kernel's
// shape: it is then ignored.
bool parseMountInfoLine(std::string_view line, MountInfoLine& out);

// Undoes the kernel's escapes (a backslash and three octal digits: \040 for a
// space, \011, \012, \134 for a backslash). False for a backslash not followed by
// three octal digits, and for a NUL, escaped or not, which no path holds.
bool decodeMountInfoPath(std::string_view escaped, std::string& out);

// Whether a mount's root is an entry that has been unlinked since it was mounted.
inline bool rootWasDeleted(std::string_view root) { return root.ends_with("//deleted"); }

// 0 when no mount serves the regular file `fd` any more; EMLINK when one does or
// when that cannot be told (see above). Meant for a file whose st_nlink is 0.
int confirmNoMountServes(int fd);

}  // namespace qelda

#endif
