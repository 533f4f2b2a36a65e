#include "process/ProcessSpawn.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ErrorCodes.h"

extern char** environ;

namespace vxprocess {
namespace {

std::vector<char*> pointersOf(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// The child's side: nothing but async-signal-safe calls. Reports errno of the
// failing step on the pipe and ends.
[[noreturn]] void runChild(int executable, int report, const CVxSpawnRequest& request,
                           char* const* argv, char* const* envp) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  bool ready = request.workingFolder.empty() || chdir(request.workingFolder.c_str()) == 0;
  ready = ready && setpriority(PRIO_PROCESS, 0, request.nice) == 0;
  if (ready && request.token != nullptr) {
    const CVxUserToken& token = *request.token;
    ready = setgroups(token.groups.size(), token.groups.data()) == 0 && setgid(token.gid) == 0 &&
            setuid(token.uid) == 0;
  }
  if (ready) syscall(SYS_execveat, executable, "", argv, envp, AT_EMPTY_PATH);
  const int error = errno;
  ssize_t written = write(report, &error, sizeof error);
  (void)written;
  _exit(127);
}

}  // namespace

std::uint32_t openExecutable(const std::string& path, platform::UniqueFileDescriptor& file) {
  open_how how{};
  how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd < 0) {
    return errno == ELOOP ? platform::kErrorCantResolveFilename
                          : platform::windowsErrorForPath(errno, path);
  }
  platform::UniqueFileDescriptor opened(static_cast<int>(fd));
  struct stat status {};
  if (fstat(opened.get(), &status) != 0) return platform::lastWindowsError();
  if (!S_ISREG(status.st_mode)) return platform::kErrorAccessDenied;
  file = std::move(opened);
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

  int childError = 0;
  ssize_t got = 0;
  do {
    got = read(reader.get(), &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof childError)) {
    int status = 0;
    while (!request.detached && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return platform::windowsErrorFromErrno(childError);
  }
  child = CVxChildProcess(started, request.detached);
  return 0;
}

}  // namespace vxprocess
