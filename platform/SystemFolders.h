#pragma once
// SystemFolders: the folders a tree deletion must never take away, whoever asks.
// The product runs as root, and a configuration or a caller's mistake that names
// /usr or /home would otherwise empty it. Protected are:
//   - the root and the top-level folders of the file system hierarchy (/bin,
//     /boot, /dev, /etc, /home, /lib*, /media, /mnt, /opt, /proc, /root, /run,
//     /sbin, /srv, /sys, /tmp, /usr, /var, ...);
//   - the standard folders below /usr, /usr/local and /var (/usr/lib,
//     /var/lib, /var/tmp, /var/log, ...);
//   - every user's home folder (a folder directly under /home);
//   - the temporary folder (platform/TempFolder.h) and the machine folder
//     (platform/MachineFolder.h), which hold other programs' files and ours.
// Folders below those (a session folder under /tmp) are not protected.
//
// A path is compared in its lexical normal form (platform/LexicalPath.h), so
// "/usr/", "//usr" and "/usr/share/.." are /usr. A folder held open is compared
// by identity (device and inode), which also catches another name for a
// protected folder (a link on the way, a bind mount).
//
// Stateless; safe from any thread (reads the environment only).
#include <string>

namespace platform {

class OpenFolder;

// `absolute` is an absolute path, in any form.
bool isSystemFolder(const std::string& absolute);
// True when `folder` is one of the protected folders under any name.
bool isSystemFolder(const OpenFolder& folder);

}  // namespace platform
