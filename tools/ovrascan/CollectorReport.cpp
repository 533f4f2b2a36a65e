#include "tools/ovrascan/CollectorReport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <pugixml.hpp>

#include "foundation/VxErrorCodes.h"
#include "platform/ErrorCodes.h"
#include "platform/UniqueFileDescriptor.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/TextFile.h"
#include "tools/sifter/SifterExitCode.h"

namespace {

using CollectorFailure::Entry;
using CollectorFailure::Source;

constexpr std::uint32_t exitCode(sifter::ExitCode code) { return static_cast<std::uint32_t>(sifter::toInt(code)); }
constexpr std::uint32_t endedBySignal(int signal) { return 128u + static_cast<std::uint32_t>(signal); }
constexpr Entry collectorExit(sifter::ExitCode code, std::string_view sentence) {
  return {exitCode(code), exitCode(code), Source::Collector, sentence};
}
constexpr Entry signalled(int signal, std::string_view sentence) {
  return {endedBySignal(signal), endedBySignal(signal), Source::Signal, sentence};
}
constexpr Entry systemCode(std::uint32_t code, std::string_view sentence) {
  return {code, code, Source::System, sentence};
}

// Every code a collection or an upload ends with, other than 0:
// - the collector's exit codes;
// - the exit status of a collector ended by a signal (the child's status is
//   128 + the signal), a few signals by name and then all of them;
// - the runner's own failures (no session folder, no archive to upload, no
//   memory for the task);
// - a start that failed: the signature test (1392), the opening of the program
//   and of its folder under the trust rule, and the steps of the child between
//   fork and exec, whose errno arrives as its Windows code; a failed wait for
//   the child gives its code in place of an exit code.
// 170 could also be the status of a collector ended by signal 42, a real-time
// signal nothing sends it; a program file busy being written is far likelier.
constexpr std::array kFailures{
    collectorExit(sifter::ExitCode::Usage, "the collector refused its command line as bad usage"),
    collectorExit(sifter::ExitCode::InternalFailure,
              "the collector failed inside: out of memory, or a library it uses failed"),
    collectorExit(sifter::ExitCode::SettingsRefused,
              "the collector refused its settings file Sifter.ini: a link, not a regular file, writable by "
              "others, of a foreign owner, unreadable, or holding an invalid value"),
    collectorExit(sifter::ExitCode::FolderUnusable,
              "the collector could not use its session folder: missing, a link, or one that others may write"),
    collectorExit(sifter::ExitCode::WritingFailed,
              "the collector could not write its archive or report into its session folder"),
    collectorExit(sifter::ExitCode::NoAddress,
              "the collector's settings file Sifter.ini names no submission address in [Upload] Address="),
    collectorExit(sifter::ExitCode::ArchiveUnreadable,
              "the archive to upload is missing, not a regular file or unreadable"),
    collectorExit(sifter::ExitCode::ConnectionFailed,
              "the submission server could not be reached: connection refused, host unreachable or name not "
              "resolved"),
    collectorExit(sifter::ExitCode::CertificateUntrusted, "the submission server's certificate is not trusted"),
    collectorExit(sifter::ExitCode::HttpError, "the submission server answered with an HTTP error"),
    collectorExit(sifter::ExitCode::TransferFailed, "the transfer to the submission server failed"),
    systemCode(ERROR_BUSY, "the collector's program file is open for writing, so it cannot be run"),
    signalled(SIGINT, "the collector was interrupted"),
    signalled(SIGKILL, "the collector was killed, for example by the out-of-memory killer"),
    signalled(SIGSEGV, "the collector crashed"),
    signalled(SIGABRT, "the collector aborted"),
    signalled(SIGTERM, "the collector was told to terminate"),
    Entry{endedBySignal(1), endedBySignal(64), Source::Signal, "the collector was ended by a signal"},
    systemCode(ERROR_FILE_CORRUPT,
           "the collector's signature is not trusted, or the collector could not be opened to test it"),
    systemCode(ERROR_INTERNAL_ERROR, "no session folder could be made for the collector in the temporary folder"),
    systemCode(ERROR_INVALID_ENVIRONMENT, "there is no archive to upload: no collection of this session named one"),
    systemCode(ERROR_NOT_ENOUGH_MEMORY, "there was not enough memory to start the collector"),
    systemCode(ERROR_FILE_NOT_FOUND,
           "the collector, or something its start needs such as its folder or its program loader, is missing"),
    systemCode(ERROR_PATH_NOT_FOUND, "the collector's folder is missing"),
    systemCode(platform::kErrorTooManyOpenFiles, "too many files were open to start the collector"),
    systemCode(ERROR_ACCESS_DENIED,
           "starting the collector was refused: a symbolic link on its path, a file or folder of another user "
           "or that others may write, no execute permission, or a file system mounted noexec"),
    systemCode(platform::kErrorNotSupported, "this system cannot start a program from an open file: execveat is missing"),
    systemCode(ERROR_INVALID_PARAMETER,
           "the collector's path or start parameters are invalid: a quotation mark or a NUL in the path, or a "
           "bad priority"),
    systemCode(ERROR_FILENAME_EXCED_RANGE, "a path on the way to the collector is too long"),
    systemCode(ERROR_DIRECTORY, "a component of the collector's path is not a folder"),
    systemCode(platform::kErrorIoDevice, "a read error kept the collector from starting"),
    systemCode(platform::kErrorCantResolveFilename, "a symbolic link lies on the way to the collector's folder"),
    systemCode(ERROR_FUNCTION_FAILED,
           "the collector could not be started or waited for: the process limit reached, or a file the system "
           "cannot run"),
};

std::string signalName(int signal) {
  const char* abbreviation = ::sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

// The collector bounds what it archives; an archive beyond this is not its own.
constexpr off_t kMaxArchiveSize = off_t{1} << 30;

std::string systemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

std::string CollectorReport::parse(const std::wstring& text) {
  files_.clear();
  archive_.clear();
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(text.data(), text.size() * sizeof(wchar_t), pugi::parse_default, pugi::encoding_wchar);
  if (!parsed) return std::string("not well-formed XML (") + parsed.description() + ")";
  const pugi::xml_node root = document.document_element();
  if (!root) return "no root element";
  archive_ = root.attribute("archive").value();
  for (const pugi::xml_node file : root.children()) {
    if (file.type() != pugi::node_element || !file.attribute("path")) continue;
    files_.push_back(File{file.attribute("path").value(), file.attribute("reason").value(),
                          file.attribute("size").value(), file.attribute("archived").as_bool()});
  }
  return {};
}

void CollectorReport::print(std::FILE* out) const {
  for (const File& file : files_) {
    std::fprintf(out, "%s: %s (%s bytes%s)\n", file.reason.c_str(), file.path.c_str(), file.size.c_str(),
                 file.archived ? "" : ", not archived");
  }
  std::fprintf(out, "%zu suspicious file%s\n", files_.size(), files_.size() == 1 ? "" : "s");
  if (!archive_.empty()) std::fprintf(out, "Archive: %s\n", archive_.c_str());
  std::fflush(out);
}

std::string CollectorReport::saveArchive(const std::string& destination) const {
  if (archive_.empty()) return "the collector's report names no archive to save";
  // The archive lies in the runner's private session folder; still, only a
  // regular file is read, and never through a link.
  const platform::UniqueFileDescriptor file(::open(archive_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file.valid()) return systemError("cannot open the archive " + archive_, errno);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return systemError("cannot examine the archive " + archive_, errno);
  if (!S_ISREG(status.st_mode)) return "the archive " + archive_ + " is not a regular file";
  if (status.st_size > kMaxArchiveSize) return "the archive " + archive_ + " is larger than 1 GiB";
  std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(file.get(), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0 ? "the archive " + archive_ + " shrank while it was read"
                                  : systemError("cannot read the archive " + archive_, errno);
    done += static_cast<std::size_t>(got);
  }
  return TextFile::write(destination, bytes);
}

namespace CollectorFailure {

std::span<const Entry> table() { return kFailures; }

std::string describe(std::uint32_t code) {
  for (const Entry& entry : kFailures) {
    if (code < entry.first || code > entry.last) continue;
    std::string text(entry.sentence);
    switch (entry.source) {
      case Source::Collector: return text + " (exit code " + std::to_string(code) + ")";
      case Source::Signal:
        return text + " (" + signalName(static_cast<int>(code - 128)) + ", exit status " + std::to_string(code) + ")";
      case Source::System: {
        char number[48];
        std::snprintf(number, sizeof number, " (code %u, 0x%08X)", code, code);
        return text + number;
      }
    }
  }
  return "the collector ended with code " + Diagnostics::codeText(code);
}

}  // namespace CollectorFailure
