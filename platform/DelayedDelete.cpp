#include "platform/DelayedDelete.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <set>
#include <string_view>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/MachineFolder.h"
#include "platform/UniqueFileDescriptor.h"

namespace platform {
namespace {

std::string productFolder() { return machineFolder() + "/Vexora"; }
std::string lockPath() { return productFolder() + "/PendingDelete.lock"; }

// Holds the list's lock for its life. The lock lives in a file of its own: the
// list is replaced by renaming, and a lock on a replaced file would guard nothing.
class ListLock {
 public:
  std::uint32_t acquire() {
    const std::uint32_t made = createFolder(productFolder());
    if (made != 0 && made != kErrorAlreadyExists) return made;
    UniqueFileDescriptor fd(::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) return lastWindowsError();
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return lastWindowsError();
    }
    fd_ = std::move(fd);  // closing the descriptor releases the lock
    return 0;
  }

 private:
  UniqueFileDescriptor fd_;
};

std::string escape(const std::string& path) {
  std::string line;
  line.reserve(path.size() + 1);
  for (const char c : path) {
    if (c == '\\') {
      line += "\\\\";
    } else if (c == '\n') {
      line += "\\n";
    } else {
      line.push_back(c);
    }
  }
  line.push_back('\n');
  return line;
}

std::string unescape(const std::string& line) {
  std::string path;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == 'n')) {
      path.push_back(line[i + 1] == 'n' ? '\n' : '\\');
      ++i;
    } else {
      path.push_back(line[i]);
    }
  }
  return path;
}

// The list up to its last line feed. A line without one was cut short by a
// writer that died: it names a shorter path than the one recorded (perhaps a
// parent folder), so it is dropped, never acted on.
std::string_view completeRecords(std::string_view content) {
  const std::size_t lastEnd = content.rfind('\n');
  return lastEnd == std::string_view::npos ? std::string_view() : content.substr(0, lastEnd + 1);
}

// The recorded paths in order, each once (a path may have been scheduled again).
std::vector<std::string> parse(std::string_view content) {
  std::vector<std::string> paths;
  std::set<std::string> seen;
  std::size_t start = 0;
  content = completeRecords(content);
  while (start < content.size()) {
    const std::size_t end = content.find('\n', start);
    std::string path = unescape(std::string(content.substr(start, end - start)));
    start = end + 1;
    if (!path.empty() && seen.insert(path).second) paths.push_back(std::move(path));
  }
  return paths;
}

// True when the entry is gone afterwards.
bool removeNow(const std::string& path) {
  const FileStatus status = fileStatus(path, LinkPolicy::DoNotFollow);
  if (status.kind == FileKind::Missing) {
    return status.error == kErrorFileNotFound || status.error == kErrorPathNotFound ||
           status.error == kErrorDirectory;
  }
  const std::uint32_t error =
      status.kind == FileKind::Folder ? removeEmptyFolder(path) : removeFile(path);
  return error == 0 || error == kErrorFileNotFound || error == kErrorPathNotFound;
}

// Takes a cut record off the end of the list, so that the next record starts a
// line of its own instead of completing the fragment into a wrong path. Called
// with the list's lock held.
std::uint32_t dropCutRecord() {
  const std::string listPath = scheduledDeleteListPath();
  std::string content;
  if (const std::uint32_t error = readTextFile(listPath, content); error != 0) {
    return error == kErrorFileNotFound ? 0 : error;
  }
  if (content.empty() || content.back() == '\n') return 0;
  return replaceFile(listPath, std::string(completeRecords(content)));
}

}  // namespace

std::string scheduledDeleteListPath() { return productFolder() + "/PendingDelete.list"; }

std::uint32_t scheduleDelete(const std::string& absolutePath) {
  if (absolutePath.empty() || absolutePath.front() != '/') return kErrorInvalidParameter;
  ListLock lock;
  if (const std::uint32_t error = lock.acquire(); error != 0) return error;
  if (const std::uint32_t error = dropCutRecord(); error != 0) return error;
  return appendToFile(scheduledDeleteListPath(), escape(absolutePath));
}

DelayedDeleteOutcome retryScheduledDeletes() {
  DelayedDeleteOutcome outcome;
  const std::string listPath = scheduledDeleteListPath();
  // Nothing was ever scheduled: leave the machine folder alone.
  if (fileStatus(listPath, LinkPolicy::DoNotFollow).kind == FileKind::Missing) return outcome;
  ListLock lock;
  if ((outcome.error = lock.acquire()) != 0) return outcome;
  std::string content;
  if (const std::uint32_t error = readTextFile(listPath, content); error != 0) {
    if (error != kErrorFileNotFound) outcome.error = error;
    return outcome;
  }
  std::string remaining;
  for (const std::string& path : parse(content)) {
    if (removeNow(path)) {
      ++outcome.removed;
    } else {
      ++outcome.pending;
      remaining += escape(path);
    }
  }
  outcome.error = remaining.empty() ? removeFile(listPath) : replaceFile(listPath, remaining);
  return outcome;
}

}  // namespace platform
