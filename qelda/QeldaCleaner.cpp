#include "qelda/QeldaCleaner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace qelda {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The open parent directory of path, provided that its entry still names the
// scanned file itself.
int openParentOfScanned(const std::string& path, const struct stat& scanned, Fd& parent) {
  if (!parent.valid()) return errno;
  struct stat now {};
  if (::fstatat(parent.get(), baseOf(path).c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISREG(now.st_mode) || now.st_dev != scanned.st_dev || now.st_ino != scanned.st_ino) {
    return ESTALE;
  }
  return 0;
}

int makeFolder(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  }
  return errno;
}

int copyContent(int from, int to) {
  std::vector<char> buffer(1 << 16);
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(from, buffer.data(), buffer.size(), offset);
    if (got < 0) return errno;
    if (got == 0) return 0;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0) return errno;
      done += put;
    }
    offset += got;
  }
}

std::string newId() {
  static std::atomic<unsigned> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::ostringstream id;
  id << now.tv_sec << '-' << now.tv_nsec << '-' << ::getpid() << '-' << counter++;
  return id.str();
}

int writeRecord(int folder, const std::string& name, const QuarantineEntry& entry) {
  Fd file(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600));
  if (!file.valid()) return errno;
  std::ostringstream text;
  text << "path=" << entry.originalPath << "\ndetection=" << entry.detection
       << "\ntime=" << std::time(nullptr) << "\nsha256=" << entry.sha256Hex << "\n";
  const std::string content = text.str();
  if (::write(file.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    return errno != 0 ? errno : EIO;
  }
  return ::fsync(file.get()) == 0 ? 0 : errno;
}

std::map<std::string, std::string> readRecord(const std::string& recordPath) {
  std::map<std::string, std::string> fields;
  std::ifstream stream(recordPath);
  std::string line;
  while (std::getline(stream, line)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

}  // namespace

std::string quarantineFolder() {
  const char* machine = std::getenv("VX_MACHINE_DIR");
  const std::string root = (machine != nullptr && *machine != '\0') ? machine : "/var/lib";
  return root + "/Vexora/Quarantine";
}

int deleteScannedFile(const std::string& path, const struct stat& scanned) {
  Fd parent(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (const int error = openParentOfScanned(path, scanned, parent)) return error;
  return ::unlinkat(parent.get(), baseOf(path).c_str(), 0) == 0 ? 0 : errno;
}

int quarantineScannedFile(const std::string& path, int fileFd, const struct stat& scanned,
                          const QuarantineEntry& entry) {
  const std::string folder = quarantineFolder();
  const std::string vexora = parentOf(folder);
  if (const int error = makeFolder(parentOf(vexora), 0755)) return error;
  if (const int error = makeFolder(vexora, 0755)) return error;
  if (const int error = makeFolder(folder, 0700)) return error;
  Fd quarantine(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!quarantine.valid()) return errno;
  ::fchmod(quarantine.get(), 0700);

  Fd parent(::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (const int error = openParentOfScanned(path, scanned, parent)) return error;

  const std::string id = newId();
  const std::string dataName = id + ".qdata";
  // Copied from the descriptor that was scanned, so the quarantined bytes are the
  // detected ones even across file systems; the original goes only once the copy
  // and its record are safely written.
  Fd copy(::openat(quarantine.get(), dataName.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!copy.valid()) return errno;
  int error = copyContent(fileFd, copy.get());
  if (error == 0 && ::fsync(copy.get()) != 0) error = errno;
  if (error == 0) error = writeRecord(quarantine.get(), id + ".qrec", entry);
  if (error == 0 && ::unlinkat(parent.get(), baseOf(path).c_str(), 0) != 0) error = errno;
  if (error != 0) {
    ::unlinkat(quarantine.get(), dataName.c_str(), 0);
    ::unlinkat(quarantine.get(), (id + ".qrec").c_str(), 0);
  }
  return error;
}

int restoreQuarantined(const std::string& recordPath) {
  const auto fields = readRecord(recordPath);
  const auto original = fields.find("path");
  if (original == fields.end() || original->second.empty()) return EINVAL;
  const std::string suffix = ".qrec";
  if (recordPath.size() <= suffix.size() ||
      recordPath.compare(recordPath.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return EINVAL;
  }
  const std::string dataPath = recordPath.substr(0, recordPath.size() - suffix.size()) + ".qdata";
  Fd data(::open(dataPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!data.valid()) return errno;
  Fd parent(::open(parentOf(original->second).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid()) return errno;
  const std::string base = baseOf(original->second);
  Fd target(::openat(parent.get(), base.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!target.valid()) return errno;
  if (const int error = copyContent(data.get(), target.get())) {
    ::unlinkat(parent.get(), base.c_str(), 0);
    return error;
  }
  ::unlink(dataPath.c_str());
  ::unlink(recordPath.c_str());
  return 0;
}

}  // namespace qelda
