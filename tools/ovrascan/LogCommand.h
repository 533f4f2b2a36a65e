#pragma once
// LogCommand: the log commands of ovrascan. They read what the component's file
// log leaves behind for this program ("PartnerCustom" log of ovrascan) and touch
// nothing but what `log-settings set` writes: settings out of range are shown as
// the log would use them but not rewritten (the component does that when it
// next logs).
//
//   log-settings  the settings in force, the folder and the current log file;
//                 under a value, each stored value of that key the log does not
//                 use, with its file and why
//   log-settings set KEY VALUE [--global]
//                 stores VALUE enciphered in the log's own log.ini (--global: the
//                 global one), refusing a value outside the key's range
//   log           the newest lines as UTF-8, oldest first (like journalctl -n),
//                 from the current file and, when it holds fewer, the files
//                 before it in the rotation
//
// No symbolic link is followed on the way to the log files, and each file is
// read only up to a bound (the largest file the log can write, with room).
//
// Stateless; one thread.
#include <cstdint>
#include <string>

namespace LogCommand {

// Exit status 0, or 2 when nothing can be shown.
int showSettings();
// Exit status 0, or 2 for an unknown key, a value out of range (the range is
// named) or a file that cannot be written.
int setSetting(const std::string& key, std::uint32_t number, bool global);
int showLines(std::uint32_t count);

}  // namespace LogCommand
