#pragma once
// Where a file log keeps its files. Below the machine folder M
// (platform/MachineFolder.h):
//
//   base folder   B = M/Vexora/VXLOGS            global settings  B/log.ini
//   log folder    F = B/<log name>/<program>     its settings     F/log.ini
//   log files     F/<program>[_<suffix>]NNN.log  NNN = 000, 001, ...
//   named mutex   <program>_CAD0E02E86CD4436B6318C111B9092AC, lock file in B
//
// The program is the host executable's file name without its extension, so all
// processes of one program share a folder, a rotation and a mutex.
//
// Folders below M are made and opened one level at a time through descriptors,
// never following a symbolic link: M/Vexora or any level below that is a link
// (or no folder) makes the log folder unusable instead of leading elsewhere.
//
// A value type; the functions are stateless and safe from any thread.
#include <cstdint>
#include <string>

#include "platform/FileSystem.h"

struct VxFileLogLocation {
  std::wstring programName;
  std::string machineFolder;
  std::string baseFolder;          // B, without a trailing "/"
  std::string logFolder;           // F
  std::string globalSettingsFile;  // B/log.ini
  std::string logSettingsFile;     // F/log.ini
  std::string fileStem;            // <program>[_<suffix>]
  std::string mutexName;

  // The name of log file `index` in F ("ovrascan000.log").
  std::string logFileName(std::uint32_t index) const;
  std::string logFilePath(std::uint32_t index) const { return logFolder + "/" + logFileName(index); }

  // Opens F, creating the levels below M that are missing when `create`.
  // 0, or the code of the level that failed (1921 for a link, 267 for no folder).
  std::uint32_t openLogFolder(bool create, platform::OpenFolder& folder) const;
  // Opens B the same way.
  std::uint32_t openBaseFolder(bool create, platform::OpenFolder& folder) const;

  // Whether log file `later` of F (`folder`) was modified after log file
  // `earlier`; false when either is missing or cannot be examined.
  bool fileModifiedAfter(const platform::OpenFolder& folder, std::uint32_t later, std::uint32_t earlier) const;
  // The file of a rotation of `entries` files that holds its newest lines,
  // starting from `index` (below `entries`): while the next file of the rotation
  // was modified after the one at hand, its lines are the newer ones (the index
  // was not stored when it became current) and it is taken instead, for at most
  // entries - 1 steps.
  std::uint32_t newestFileFrom(const platform::OpenFolder& folder, std::uint32_t index, std::uint32_t entries) const;
};

// The program name of this process: its executable's base name without extension.
std::wstring vxHostProgramName();

// Builds the location of log `logName` (with `suffix`, which may be empty) of
// `programName` under the machine folder in force now.
VxFileLogLocation makeFileLogLocation(const std::wstring& logName, const std::wstring& suffix,
                                      const std::wstring& programName);
