#include "foundation/VxFileLogLocation.h"

#include <sys/stat.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/MachineFolder.h"
#include "platform/ModulePath.h"

namespace {

constexpr char kVendorFolder[] = "Vexora";
constexpr char kLogsFolder[] = "VXLOGS";
constexpr char kSettingsFile[] = "log.ini";
constexpr char kMutexSuffix[] = "CAD0E02E86CD4436B6318C111B9092AC";

std::string narrow(const std::wstring& text) { return VxNATypeConversion::wideBufferToAnsiString(text); }

// The machine folder itself is the administrator's choice and may be reached
// through links; it is made when missing, like the shell's common folders.
std::uint32_t openMachineFolder(const std::string& machine, bool create, platform::OpenFolder& folder) {
  std::uint32_t error = folder.open(machine);
  if (error == 0 || !create) return error;
  std::string level;
  for (std::size_t end = machine.find('/', 1);; end = machine.find('/', end + 1)) {
    level = machine.substr(0, end);
    if (!level.empty()) {
      const std::uint32_t made = platform::createFolder(level);
      if (made != 0 && made != ERROR_ALREADY_EXISTS) return made;
    }
    if (end == std::string::npos) break;
  }
  return folder.open(machine);
}

std::uint32_t openBelow(const std::string& machine, const std::vector<std::string>& levels, bool create,
                        platform::OpenFolder& folder) {
  platform::OpenFolder current;
  if (const std::uint32_t error = openMachineFolder(machine, create, current); error != 0) return error;
  for (const std::string& level : levels) {
    if (level.empty() || level == "." || level == "..") return ERROR_INVALID_PARAMETER;
    platform::OpenFolder next;
    const std::uint32_t error = create ? current.openOrCreateChild(level, next) : current.openChild(level, next);
    if (error != 0) return error;
    current = std::move(next);
  }
  folder = std::move(current);
  return 0;
}

}  // namespace

namespace {

bool modifiedTime(const platform::OpenFolder& folder, const std::string& name, timespec& time) {
  platform::UniqueFileDescriptor fd;
  if (folder.openChildFileForReading(name, fd) != 0) return false;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return false;
  time = status.st_mtim;
  return true;
}

}  // namespace

bool VxFileLogLocation::fileModifiedAfter(const platform::OpenFolder& folder, std::uint32_t later,
                                          std::uint32_t earlier) const {
  timespec laterTime{};
  timespec earlierTime{};
  if (!modifiedTime(folder, logFileName(later), laterTime) || !modifiedTime(folder, logFileName(earlier), earlierTime)) {
    return false;
  }
  return std::tie(laterTime.tv_sec, laterTime.tv_nsec) > std::tie(earlierTime.tv_sec, earlierTime.tv_nsec);
}

std::uint32_t VxFileLogLocation::newestFileFrom(const platform::OpenFolder& folder, std::uint32_t index,
                                                std::uint32_t entries) const {
  for (std::uint32_t step = 1; step < entries; ++step) {
    const std::uint32_t next = index + 1 < entries ? index + 1 : 0;
    if (!fileModifiedAfter(folder, next, index)) break;
    index = next;
  }
  return index;
}

std::string VxFileLogLocation::logFileName(std::uint32_t index) const {
  char number[16];
  std::snprintf(number, sizeof number, "%03u", index);
  return fileStem + number + ".log";
}

std::uint32_t VxFileLogLocation::openBaseFolder(bool create, platform::OpenFolder& folder) const {
  return openBelow(machineFolder, {kVendorFolder, kLogsFolder}, create, folder);
}

std::uint32_t VxFileLogLocation::openLogFolder(bool create, platform::OpenFolder& folder) const {
  std::vector<std::string> levels = {kVendorFolder, kLogsFolder};
  // F below B, one level per name component.
  const std::string relative = logFolder.substr(baseFolder.size() + 1);
  for (std::size_t start = 0; start <= relative.size();) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    if (end > start) levels.push_back(relative.substr(start, end - start));
    start = end + 1;
  }
  return openBelow(machineFolder, levels, create, folder);
}

std::wstring vxHostProgramName() {
  std::string path;
  if (platform::hostExecutablePath(path) != 0) return L"";
  std::string name = path.substr(path.rfind('/') + 1);
  if (const std::size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  return VxNATypeConversion::ansiBufferToWideString(name);
}

VxFileLogLocation makeFileLogLocation(const std::wstring& logName, const std::wstring& suffix,
                                      const std::wstring& programName) {
  VxFileLogLocation location;
  location.programName = programName;
  location.machineFolder = platform::machineFolder();
  const std::string program = narrow(programName);
  location.baseFolder = location.machineFolder + "/" + kVendorFolder + "/" + kLogsFolder;
  location.logFolder = logName.empty() ? location.baseFolder + "/" + program
                                       : location.baseFolder + "/" + narrow(logName) + "/" + program;
  location.globalSettingsFile = location.baseFolder + "/" + kSettingsFile;
  location.logSettingsFile = location.logFolder + "/" + kSettingsFile;
  location.fileStem = suffix.empty() ? program : program + "_" + narrow(suffix);
  location.mutexName = program + "_" + kMutexSuffix;
  return location;
}
