#include "process/ProcessSpawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <linux/openat2.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "foundation/VxLogStream.h"
#include "platform/ErrorCodes.h"
#include "platform/TrustedFile.h"
#include "platform/Utf8.h"

extern char** environ;

namespace vxprocess {
namespace {

constexpr wchar_t kLogSource[] = L"ProcessSpawn";

// What the child writes on the report pipe: the step and its errno. A start
// step ends the child; a priority step is a warning and the child goes on.
// Exec closes the pipe, so the parent reads notes until the end of the pipe.
enum class ChildStep : int { Priority = 1, Start = 2 };
struct ChildNote {
  ChildStep step;
  int error;
};

std::wstring wide(const std::string& text) { return platform::decodeUtf8(text.data(), text.size()); }

std::vector<char*> pointersOf(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

void writeNote(int report, ChildStep step, int error) {
  const ChildNote note{step, error};
  ssize_t written = 0;
  do {
    written = write(report, &note, sizeof note);
  } while (written < 0 && errno == EINTR);
}

// The descriptor number an entry of /proc/self/fd names; -1 for "." and "..".
int descriptorOfName(const char* name) {
  if (*name == '\0') return -1;
  int value = 0;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9' || value > (1 << 30) / 10) return -1;
    value = value * 10 + (*name - '0');
  }
  return value;
}

// Marks each descriptor listed in /proc/self/fd above 2 close-on-exec, with
// no allocation (getdents64 into a buffer on the stack).
int markListedDescriptors() {
  const int folder = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return errno;
  alignas(dirent64) char buffer[4096];
  int result = 0;
  for (;;) {
    const long got = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
    if (got < 0) {
      result = errno;
      break;
    }
    if (got == 0) break;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const int descriptor = descriptorOfName(entry->d_name);
      if (descriptor <= 2 || descriptor == folder) continue;
      // A descriptor closed since the listing (EBADF) is no longer inherited.
      if (fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0 && errno != EBADF) result = errno;
    }
  }
  close(folder);
  return result;
}

// The child's side: nothing but async-signal-safe calls. Reports errno of the
// failing step on the pipe and ends.
[[noreturn]] void runChild(int executable, int report, const CVxSpawnRequest& request,
                           char* const* argv, char* const* envp) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  if (setpriority(PRIO_PROCESS, 0, request.nice) != 0) writeNote(report, ChildStep::Priority, errno);
  // Before the identity changes: a process that gave up root may no longer
  // read its own /proc/self/fd.
  int error = markDescriptorsCloseOnExec();
  if (error == 0 && request.token != nullptr) {
    const CVxUserToken& token = *request.token;
    if (setgroups(token.groups.size(), token.groups.data()) != 0 || setgid(token.gid) != 0 ||
        setuid(token.uid) != 0) {
      error = errno;
    }
  }
  // With the new identity, so that the folder is entered with its rights.
  if (error == 0 && request.workingFolder >= 0 && fchdir(request.workingFolder) != 0) error = errno;
  if (error == 0) {
    syscall(SYS_execveat, executable, "", argv, envp, AT_EMPTY_PATH);
    error = errno;
  }
  writeNote(report, ChildStep::Start, error);
  _exit(127);
}

// Reads the child's notes until exec closes the pipe. 0, or the errno of the
// step that ended the child.
int readChildNotes(int reader, pid_t pid, int nice) {
  for (;;) {
    ChildNote note{};
    ssize_t got = 0;
    do {
      got = read(reader, &note, sizeof note);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return 0;
    if (got != static_cast<ssize_t>(sizeof note)) return EIO;
    if (note.step != ChildStep::Priority) return note.error;
    VX_LOG(VX_LOG_WARNING, L"vxprocess::spawnProcess")
        << L"Could not give process " << pid << L" the nice value " << nice
        << L"; it runs at the priority it inherited. ErrorCode: "
        << platform::windowsErrorFromErrno(note.error);
  }
}

}  // namespace

int markDescriptorsCloseOnExec(bool walkOnly) {
  if (!walkOnly) {
    if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return 0;
    // ENOSYS: no close_range; EINVAL: one without CLOSE_RANGE_CLOEXEC.
    if (errno != ENOSYS && errno != EINVAL) return errno;
  }
  return markListedDescriptors();
}

std::uint32_t openExecutable(const std::string& path, platform::UniqueFileDescriptor& file) {
  constexpr const wchar_t* kFunction = L"vxprocess::openExecutable";
  if (path.find('\0') != std::string::npos) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"Refused an executable path with a NUL in it. ErrorCode: "
                                    << platform::kErrorInvalidParameter;
    return platform::kErrorInvalidParameter;
  }
  platform::UniqueFileDescriptor opened;
  const platform::TrustCheck check = platform::openTrustedFile(path, O_RDONLY, 0, opened);
  if (!check.ok()) {
    const std::uint32_t error = check.windowsError();
    VX_LOG(VX_LOG_ERROR, kFunction) << L"Refused to start " << wide(path) << L": "
                                    << wide(check.describe()) << L". ErrorCode: " << error;
    return error;
  }
  file = std::move(opened);
  return 0;
}

std::uint32_t openFolder(const std::string& path, platform::UniqueFileDescriptor& folder) {
  if (path.find('\0') != std::string::npos) return platform::kErrorInvalidParameter;
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd < 0) {
    return errno == ENOENT ? platform::kErrorPathNotFound : platform::windowsErrorFromErrno(errno);
  }
  folder = platform::UniqueFileDescriptor(static_cast<int>(fd));
  return 0;
}

std::uint32_t spawnProcess(int executable, const CVxSpawnRequest& request, CVxChildProcess& child) {
  if (executable < 0 || request.arguments.empty()) return platform::kErrorInvalidParameter;
  std::vector<char*> argv = pointersOf(request.arguments);
  std::vector<char*> ownEnvironment;
  char* const* envp = environ;
  if (request.environment != nullptr) {
    ownEnvironment = pointersOf(*request.environment);
    envp = ownEnvironment.data();
  }
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return platform::lastWindowsError();
  platform::UniqueFileDescriptor reader(pipeEnds[0]);
  platform::UniqueFileDescriptor writer(pipeEnds[1]);
  int pidEnds[2] = {-1, -1};
  if (request.detached && pipe2(pidEnds, O_CLOEXEC) != 0) return platform::lastWindowsError();
  platform::UniqueFileDescriptor pidReader(pidEnds[0]);
  platform::UniqueFileDescriptor pidWriter(pidEnds[1]);

  const pid_t pid = fork();
  if (pid < 0) return platform::lastWindowsError();
  if (pid == 0) {
    if (!request.detached) runChild(executable, writer.get(), request, argv.data(), envp);
    // A detached child is started by an intermediate process that ends at
    // once, so that the child is adopted (and reaped) by init, not by us.
    const pid_t grandchild = fork();
    if (grandchild == 0) runChild(executable, writer.get(), request, argv.data(), envp);
    ssize_t written = write(pidWriter.get(), &grandchild, sizeof grandchild);
    (void)written;
    _exit(grandchild < 0 ? 1 : 0);
  }
  writer.reset();
  pidWriter.reset();
  pid_t started = pid;
  if (request.detached) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ssize_t got = 0;
    do {
      got = read(pidReader.get(), &started, sizeof started);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof started) || started <= 0) {
      return platform::kErrorNotEnoughMemory;  // the intermediate could not fork
    }
  }

  if (const int childError = readChildNotes(reader.get(), started, request.nice); childError != 0) {
    int status = 0;
    while (!request.detached && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return platform::windowsErrorFromErrno(childError);
  }
  child = CVxChildProcess(started, request.detached);
  return 0;
}

}  // namespace vxprocess
