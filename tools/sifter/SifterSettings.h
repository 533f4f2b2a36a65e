#pragma once
// The tool's settings file, "Sifter.ini" in the folder of the program itself
// (/proc/self/exe), and the defaults a collection uses without one:
//
//   [Scan]
//   WritableFolders=/tmp:/var/tmp:/dev/shm      folders anybody may write to
//   ProgramFolders=/usr/bin:/usr/sbin:/usr/local/bin:/usr/local/sbin:/bin:/sbin:/opt
//   MaxDepth=16              folder levels below a root that are walked
//   MaxEntries=200000        entries examined per root
//   MaxFileSize=67108864     larger files are listed but not archived
//   MaxTotalSize=536870912   archived bytes in all
//   RecentDays=7             set-uid/set-gid files changed this recently count
//   Processes=1              0 leaves running processes out
//   [Upload]
//   Address=https://host/path   where --upload sends the archive (https only)
//   CAFile=/path/ca.pem         the CA the server's certificate must chain to;
//                               empty: the system's trusted CAs
//
// A root that is itself a symbolic link is not walked, like any link: on systems
// with a merged /usr, /bin and /sbin are links to folders the list already holds.
//
// Names compare without regard to ASCII case; blanks around names and values are
// dropped and a value in matching quotes loses them; lines starting with ';' or
// '#' are comments; the first line of a key wins; unknown keys are ignored.
//
// The file decides where collected files go and which server is trusted, so it is
// read only when it is a regular file reached without a symbolic link, owned by
// root or by the effective user, and not writable by group or others; the CA file
// must pass the same test and is read once, by the descriptor that was checked.
// Any other file, an unreadable one, one above 64 KiB or an invalid number refuses
// the whole file. A missing file gives the defaults.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>
#include <vector>

namespace sifter {

struct ScanSettings {
  std::vector<std::string> writableFolders{"/tmp", "/var/tmp", "/dev/shm"};
  std::vector<std::string> programFolders{"/usr/bin",  "/usr/sbin", "/usr/local/bin", "/usr/local/sbin",
                                          "/bin",      "/sbin",     "/opt"};
  unsigned maxDepth = 16;
  std::uint64_t maxEntries = 200000;
  std::uint64_t maxFileSize = std::uint64_t{64} << 20;
  std::uint64_t maxTotalSize = std::uint64_t{512} << 20;
  unsigned recentDays = 7;
  bool processes = true;
};

struct UploadSettings {
  std::string address;  // empty: none configured
  std::string caFile;   // path as written, for messages
  std::string caPem;    // the CA file's content; empty: the system store
};

struct Settings {
  ScanSettings scan;
  UploadSettings upload;
};

struct SettingsLoad {
  bool ok = false;
  std::string problem;  // why the file was refused
  Settings settings;
};

// Reads the settings file at path (a missing one gives the defaults).
SettingsLoad loadSettings(const std::string& path);
// The settings file of the running program: Sifter.ini beside /proc/self/exe.
std::string settingsPathOfProgram();

// Opens a file that decides what the tool trusts and reads it whole, under the
// rules above. Returns "" and fills content, or the reason for refusing it;
// missing is set (and the reason filled) when there is no such file.
std::string readTrustedFile(const std::string& path, std::size_t maximumSize, std::string& content,
                            bool& missing);

}  // namespace sifter
