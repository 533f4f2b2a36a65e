#pragma once
// The exit codes of Sifter.exe, the one table that the program's --help text and
// the tests both use. The collector runner hands the code to the script as it is,
// so the values stay fixed once released.
//
// The failures sit in a block of their own (90..99), away from the small numbers
// that a failed start of the program gives the runner (2 file not found, 5 access
// denied, 8 out of memory) and from the conventional 64 for bad usage, so that a
// script can tell the tool's own answer from a launch failure.
//
// Constant data; safe from any thread.
#include <array>
#include <string_view>

namespace sifter {

enum class ExitCode : int {
  Success = 0,              // scan finished (whether or not it found anything) / upload accepted
  Usage = 64,               // unknown option, missing or repeated argument
  InternalFailure = 90,     // an unexpected failure inside the tool (memory, crypto, libraries)
  SettingsRefused = 91,     // Sifter.ini is unsafe (link, not regular, writable by others,
                            // foreign owner), unreadable or holds an invalid value
  FolderUnusable = 92,      // --zippath names no folder, a link, or one that others may write
  WritingFailed = 93,       // the archive or a report could not be written
  NoAddress = 94,           // no submission address in Sifter.ini
  ArchiveUnreadable = 95,   // the archive to upload is missing, not a regular file or unreadable
  ConnectionFailed = 96,    // connection refused, host unreachable or name not resolved
  CertificateUntrusted = 97,// the server's certificate failed verification
  HttpError = 98,           // the server answered with an HTTP status of 400 or above
  TransferFailed = 99,      // any other failure of the transfer
};

struct ExitCodeDescription {
  ExitCode code;
  std::string_view text;
};

inline constexpr std::array kExitCodeDescriptions{
    ExitCodeDescription{ExitCode::Success, "success (a scan that finds nothing succeeds too)"},
    ExitCodeDescription{ExitCode::Usage, "bad usage"},
    ExitCodeDescription{ExitCode::InternalFailure, "internal failure"},
    ExitCodeDescription{ExitCode::SettingsRefused, "settings file refused or invalid"},
    ExitCodeDescription{ExitCode::FolderUnusable, "output folder unusable"},
    ExitCodeDescription{ExitCode::WritingFailed, "archive or report could not be written"},
    ExitCodeDescription{ExitCode::NoAddress, "no submission address configured"},
    ExitCodeDescription{ExitCode::ArchiveUnreadable, "archive missing or unreadable"},
    ExitCodeDescription{ExitCode::ConnectionFailed, "connection refused or host unreachable"},
    ExitCodeDescription{ExitCode::CertificateUntrusted, "server certificate not trusted"},
    ExitCodeDescription{ExitCode::HttpError, "server answered an HTTP error"},
    ExitCodeDescription{ExitCode::TransferFailed, "other transfer failure"},
};

constexpr int toInt(ExitCode code) { return static_cast<int>(code); }

}  // namespace sifter
