/*
 * The file a file object must be (AV_PARAM_OBJECT_IDENTITY): a process module as
 * the host found it mapped, by the device and inode the process map shows, with
 * the kernel's handle to the mapped inode (/proc/PID/map_files/...) to fall back
 * on and the name the host reports the module under.
 *
 * Between the host's look at the map and the scan, the module's path may come to
 * name another file (a rename or a mount over it). Scanning that other file would
 * report, clean or remember a verdict for the wrong file under the module's name.
 * So the entry located for the scan is compared with the identity first:
 *
 *   Same      the located file is the mapped one: the device numbers and inode
 *             equal the record's, or, where the path is not the handle itself,
 *             the handle leads to the located inode (overlayfs shows the
 *             underlying device in the map, and the overlay's through the path
 *             and the handle alike);
 *   Replaced  it is another file, and the handle is there to read the mapped one
 *             through;
 *   Changed   it is another file and nothing reaches the mapped one: there is no
 *             handle, it cannot be looked at, or the path is the handle itself,
 *             whose address range now maps something else.
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_OBJECT_IDENTITY_H
#define QELDA_OBJECT_IDENTITY_H

#include "engine/VxAVEngineABI.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace qelda {

struct ObjectIdentity {
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint64_t inode = 0;
  std::string fallbackPath;  // empty: none
  std::string reportName;    // empty: none
};

// Longest fallback path or report name read from the host's record; a longer
// text is cut there, as strnlen finds no end within it.
inline constexpr std::size_t kLongestIdentityText = 64 * 1024;

// Reads the parameter's record. False when the record is missing or not of its
// size.
bool readObjectIdentity(const AV_SINGLEPARAMETER& parameter, ObjectIdentity& identity);

enum class IdentityMatch { Same, Replaced, Changed };

// How the entry located at `path` (its fstat) relates to the identity.
IdentityMatch matchIdentity(const ObjectIdentity& identity, const std::string& path, const struct stat& located);

// The fallback is a kernel handle to a mapped file (QeldaProcessHandle.h); any
// other path is never followed nor read in place of the object.
bool hasUsableFallback(const ObjectIdentity& identity);

// The device numbers and inode of `info` are the record's.
bool isRecordedFile(const ObjectIdentity& identity, const struct stat& info);

}  // namespace qelda

#endif
