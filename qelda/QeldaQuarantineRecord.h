/*
 * The record kept beside a quarantined file ("<id>.qrec" beside "<id>.qdata"):
 * what it was, where it lived and whose it was, so that it can be put back
 * exactly.
 *
 * Text, one field a line, in this order and nothing else:
 *   qelda-quarantine 2
 *   path=<original absolute path, or the name a kept module was reported under>
 *   restorable=<1, or 0 for a copy kept only for analysis>
 *   detection=<detection name>
 *   time=<seconds since the epoch when quarantined>
 *   sha256=<64 lower-case hexadecimal digits of the content>
 *   size=<bytes>
 *   uid=<owner>  gid=<group>  mode=<permission bits, octal>   (each a line of its own)
 *   parent_device=<st_dev of the folder that held it>
 *   parent_inode=<st_ino of that folder>
 * Text fields are percent-escaped: "%", and every byte outside 0x20..0x7E, is
 * written as "%" and two upper-case hexadecimal digits, so a file name holding a
 * newline (or any other byte) can never add or end a line. Parsing is strict: a
 * record that differs in any way from this form is refused whole. Records of
 * version 1, written before kept copies existed, have no restorable line and
 * are all restorable.
 *
 * A copy kept for analysis is the content of a module read through the kernel's
 * handle to its mapped inode (deleted, memfd, replaced): nothing was taken off
 * the disk, so there is nothing to put back, and its path is the name the
 * module was reported under ("memfd:x [pid 42]"), which need not be a path.
 * Restoring one is refused before its path is looked at.
 *
 * Pure functions over values; safe from any thread.
 */
#ifndef QELDA_QUARANTINE_RECORD_H
#define QELDA_QUARANTINE_RECORD_H

#include "qelda/QeldaSha256.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qelda {

struct QuarantineRecord {
  std::string path;
  bool restorable = true;
  std::string detection;
  std::int64_t time = 0;
  Sha256Digest sha256{};
  std::uint64_t size = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t mode = 0;  // permission bits only (07777)
  std::uint64_t parentDevice = 0;
  std::uint64_t parentInode = 0;
};

// Records larger than this are refused unread.
inline constexpr std::size_t kMaxRecordBytes = 64 * 1024;

std::string escapeField(std::string_view text);
// False for a malformed escape or a byte that should have been escaped.
bool unescapeField(std::string_view text, std::string& out);

std::string formatRecord(const QuarantineRecord& record);
// False, leaving `record` unspecified, unless `text` is exactly a record of the form above
// with an absolute path (any non-empty one for a record that is not restorable).
bool parseRecord(std::string_view text, QuarantineRecord& record);

}  // namespace qelda

#endif
