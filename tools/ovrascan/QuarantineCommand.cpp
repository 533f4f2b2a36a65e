#include "tools/ovrascan/QuarantineCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qelda/QeldaCleaner.h"
#include "tools/ovrascan/Diagnostics.h"

namespace {

std::string utcTime(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "?";
  if (::gmtime_r(&time, &parts) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string restoreFailure(int error) {
  switch (error) {
    case EINVAL: return "not a quarantine id";
    case ENOENT: return "no such quarantine entry, or its original folder is gone";
    case EEXIST: return "a file already exists at the original path; it is left as it is";
    case ESTALE: return "the original folder is no longer the one the file was quarantined from";
    case ELOOP: return "the original path passes through a symbolic link";
    case EBADMSG: return "the quarantine entry is damaged";
    case EPERM: return "the quarantine folder is not safe (owner or permissions)";
    case ENOTSUP: return "kept for analysis only: the module had no file of its own to put back";
    default: return std::strerror(error);
  }
}

}  // namespace

int QuarantineCommand::run(const std::vector<std::string>& arguments) {
  const bool isList = arguments.size() == 1 && arguments[0] == "list";
  const bool isRestore = arguments.size() == 2 && arguments[0] == "restore" && !arguments[1].empty();
  if (!isList && !isRestore) {
    Diagnostics::error("quarantine needs 'list' or 'restore ID' (see ovrascan --help)");
    return kError;
  }
  if (::geteuid() != 0) {
    Diagnostics::error("the quarantine commands need root");
    return kError;
  }
  return isList ? list() : restore(arguments[1]);
}

int QuarantineCommand::list() {
  std::vector<qelda::QuarantinedItem> items;
  std::size_t damaged = 0;
  if (const int error = qelda::listQuarantine(items, {}, &damaged)) {
    Diagnostics::error("cannot read the quarantine " + qelda::quarantineFolder() + ": " + std::strerror(error));
    return kError;
  }
  for (const auto& item : items) {
    std::printf("%s  %s  %s  %s\n", item.id.c_str(), utcTime(item.record.time).c_str(),
                qelda::escapeField(item.record.detection).c_str(), qelda::escapeField(item.record.path).c_str());
  }
  if (items.empty()) std::printf("The quarantine is empty.\n");
  if (damaged != 0) Diagnostics::error(std::to_string(damaged) + " damaged quarantine record(s) left out");
  return kDone;
}

int QuarantineCommand::restore(const std::string& id) {
  // The path is read first: a successful restore removes the record.
  std::vector<qelda::QuarantinedItem> items;
  std::string path;
  if (qelda::listQuarantine(items) == 0) {
    for (const auto& item : items) {
      if (item.id == id) path = item.record.path;
    }
  }
  if (const int error = qelda::restoreFromQuarantine(id)) {
    Diagnostics::error("cannot restore " + qelda::escapeField(id) + ": " + restoreFailure(error));
    return kError;
  }
  std::printf("Restored %s\n", qelda::escapeField(path).c_str());
  return kDone;
}
