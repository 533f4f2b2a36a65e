#pragma once
// Why a file is in the report: fixed texts, so a reader can match them exactly.
// A file found for several reasons lists them joined by "; ".
//
// Constant data; safe from any thread.
namespace sifter::reason {

inline constexpr char kWritableFolderExecutable[] = "executable in world-writable folder";
inline constexpr char kDeletedExecutable[] = "process runs deleted executable";
inline constexpr char kProcessInWritableFolder[] = "process runs from world-writable folder";
inline constexpr char kRecentSetUid[] = "recently changed set-uid file";
inline constexpr char kRecentSetGid[] = "recently changed set-gid file";

}  // namespace sifter::reason
