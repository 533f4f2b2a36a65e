#include "platform/SystemFolders.h"

#include <array>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/LexicalPath.h"
#include "platform/MachineFolder.h"
#include "platform/TempFolder.h"

namespace platform {
namespace {

constexpr std::string_view kFixedFolders[] = {
    "/",           "/bin",          "/boot",       "/dev",          "/etc",
    "/home",       "/lib",          "/lib32",      "/lib64",        "/libx32",
    "/lost+found", "/media",        "/mnt",        "/opt",          "/proc",
    "/root",       "/run",          "/sbin",       "/snap",         "/srv",
    "/sys",        "/tmp",          "/usr",        "/usr/bin",      "/usr/games",
    "/usr/include", "/usr/lib",     "/usr/lib32",  "/usr/lib64",    "/usr/libexec",
    "/usr/libx32", "/usr/local",    "/usr/local/bin", "/usr/local/etc", "/usr/local/lib",
    "/usr/local/sbin", "/usr/local/share", "/usr/sbin", "/usr/share", "/usr/src",
    "/var",        "/var/backups",  "/var/cache",  "/var/lib",      "/var/local",
    "/var/lock",   "/var/log",      "/var/mail",   "/var/opt",      "/var/run",
    "/var/spool",  "/var/tmp",      "/etc/opt",    "/usr/local/src",
};

// The folders that depend on the environment, normalised.
std::array<std::string, 2> changingFolders() {
  return {lexicallyNormalPath(temporaryFolder()), lexicallyNormalPath(machineFolder())};
}

bool isHomeFolder(std::string_view normal) {
  constexpr std::string_view kHome = "/home/";
  return normal.starts_with(kHome) && normal.size() > kHome.size() &&
         normal.find('/', kHome.size()) == std::string_view::npos;
}

}  // namespace

bool isSystemFolder(const std::string& absolute) {
  const std::string normal = lexicallyNormalPath(absolute);
  for (const std::string_view folder : kFixedFolders) {
    if (normal == folder) return true;
  }
  for (const std::string& folder : changingFolders()) {
    if (normal == folder) return true;
  }
  return isHomeFolder(normal);
}

bool isSystemFolder(const OpenFolder& folder) {
  for (const std::string_view fixed : kFixedFolders) {
    if (folder.isSameFolderAs(std::string(fixed))) return true;
  }
  for (const std::string& changing : changingFolders()) {
    if (folder.isSameFolderAs(changing)) return true;
  }
  return false;
}

}  // namespace platform
