#include "tools/ovrascan/Diagnostics.h"

#include <cstdio>

#include "engine/VxAVEngineABI.h"
#include "foundation/VxErrorCodes.h"
#include "platform/Registry.h"

namespace {

// "scan engine: scan data file (av_scan): missing" for AV_STATUS_DATA_FILE codes.
std::string dataFileMeaning(std::uint32_t status) {
  static const char* const kFiles[] = {nullptr, "names data file (av_names)", "scan data file (av_scan)",
                                       "clean data file (av_clean)", "settings file (AVScanner.ini)"};
  static const char* const kReasons[] = {nullptr,
                                         "missing",
                                         "unreadable",
                                         "not a regular file (a folder, link, FIFO or device)",
                                         "larger than the engine reads",
                                         "empty",
                                         "holds no reportable (non-private) rule",
                                         "names no virus type for a rule's detection (add a line \"* <type> <detect>\")",
                                         "writable by others (the file or a folder above it)",
                                         "owned by another user (the file or a folder above it)"};
  const std::uint32_t file = (status >> 4) & 0xF;
  const std::uint32_t reason = status & 0xF;
  if ((status & ~0xFFu) != AV_STATUS_DATA_FILE_BASE || file == 0 || file > 4 || reason == 0 ||
      reason >= sizeof kReasons / sizeof kReasons[0]) {
    return {};
  }
  return std::string("scan engine: ") + kFiles[file] + ": " + kReasons[reason];
}

// The component reports a status of the scan engine as 0x42032F10 + status.
std::string engineMeaning(std::uint32_t code) {
  constexpr std::uint32_t kLastEngineCode = 0x4203FFFFu;
  if (code < VX_E_ENGINE_STATUS_BASE || code > kLastEngineCode) return {};
  const std::uint32_t status = code - VX_E_ENGINE_STATUS_BASE;
  if (std::string dataFile = dataFileMeaning(status); !dataFile.empty()) return dataFile;
  const std::uint32_t line = status & AV_STATUS_MALFORMED_LINE_MAX;
  switch (status & ~AV_STATUS_MALFORMED_LINE_MAX) {
    case AV_STATUS_NAMES_MALFORMED: return "scan engine: names data file malformed at line " + std::to_string(line);
    case AV_STATUS_SCAN_MALFORMED: return "scan engine: scan data file malformed at line " + std::to_string(line);
    case AV_STATUS_CLEAN_MALFORMED: return "scan engine: clean data file malformed at line " + std::to_string(line);
    default: break;
  }
  switch (status) {
    case AV_STATUS_BAD_PARAMETERS: return "scan engine: bad parameters";
    case AV_STATUS_DATA_MISSING: return "scan engine: a data file is missing or unreadable";
    case AV_STATUS_OUT_OF_MEMORY: return "scan engine: out of memory";
    case AV_STATUS_BAD_HANDLE: return "scan engine: unknown engine handle";
    case AV_STATUS_NOT_SUPPORTED: return "scan engine: object kind not supported";
    case AV_STATUS_ENGINE_FAILURE: return "scan engine: the rule library could not be started";
    default: return "scan engine status " + std::to_string(status);
  }
}

const char* meaningOf(std::uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return "file not found";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_NOT_ENOUGH_MEMORY: return "not enough memory";
    case ERROR_INVALID_DATA: return "invalid data (a missing or unusable configuration, or nothing initialised)";
    case ERROR_INVALID_PARAMETER: return "invalid parameter (an empty or malformed document)";
    case ERROR_MOD_NOT_FOUND: return "module not found";
    case ERROR_PROC_NOT_FOUND: return "entry point not found";
    case ERROR_BUSY: return "another operation is running";
    case ERROR_ALREADY_INITIALIZED: return "already initialised";
    case ERROR_FUNCTION_FAILED: return "function failed";
    case VX_E_NOT_SUPPORTED: return "not supported (folder macro sources)";
    case VX_E_NOT_INITIALIZED: return "not initialised";
    case VX_E_TYPE_NOT_RECOGNIZED: return "unrecognised detection keyword or source type";
    case VX_E_SCAN_CANCELLED: return "cancelled";
    case VX_E_CIPHER_SETUP: return "the protected-value cipher could not be set up (no MD5 from OpenSSL)";
    case VX_E_NOTHING_TO_CANCEL: return "nothing to cancel";
    case static_cast<std::uint32_t>(E_FAIL): return "unspecified failure";
    case static_cast<std::uint32_t>(E_INVALIDARG): return "invalid argument";
    case static_cast<std::uint32_t>(E_OUTOFMEMORY): return "out of memory";
    case static_cast<std::uint32_t>(E_NOINTERFACE): return "interface not supported";
    case static_cast<std::uint32_t>(CLASS_E_CLASSNOTAVAILABLE): return "class not available";
    case static_cast<std::uint32_t>(REGDB_E_CLASSNOTREG): return "class not registered";
    case static_cast<std::uint32_t>(CO_E_CLASSSTRING): return "ProgID not registered";
    case static_cast<std::uint32_t>(CO_E_ERRORINDLL): return "the registered module is no component server";
    case static_cast<std::uint32_t>(TYPE_E_REGISTRYACCESS): return "the type library is not registered";
    case static_cast<std::uint32_t>(E_ACCESSDENIED): return "access denied";
    default: return nullptr;
  }
}

const char* scanErrorMeaning(std::uint32_t scanError) {
  switch (scanError) {
    case AV_SCAN_ERROR_NOT_FOUND: return "it vanished or was never there";
    case AV_SCAN_ERROR_ACCESS_DENIED: return "permission to open or read it was denied";
    case AV_SCAN_ERROR_CHANGED: return "it changed while it was read";
    case AV_SCAN_ERROR_READ_FAULT: return "reading it failed";
    case AV_SCAN_ERROR_TOO_LARGE: return "it is larger than the engine scans";
    case AV_SCAN_ERROR_NOT_REGULAR: return "it is not a regular file";
    case AV_SCAN_ERROR_TIMEOUT: return "the rules took longer than the engine allows";
    case AV_SCAN_ERROR_OUT_OF_MEMORY: return "the engine ran out of memory";
    case AV_REPAIR_ERROR_NONE_POSSIBLE: return "no repair is possible";
    case AV_REPAIR_ERROR_CANCELLED: return "the repair was stopped";
    case AV_REPAIR_ERROR_DISK_FULL: return "the quarantine would leave too little free space";
    case AV_REPAIR_ERROR_STILL_REACHABLE:
      return "its content is still reachable through another hard link or a mount over the name";
    default: return "the engine reported an error";
  }
}

}  // namespace

namespace Diagnostics {

std::string notScannedReason(std::uint32_t scanError, std::uint32_t objectSummary) {
  if (scanError != 0) return std::string(scanErrorMeaning(scanError)) + " (scan error " + std::to_string(scanError) + ")";
  if (objectSummary == AV_SUMMARY_NOT_SCANNED) return "the engine left its content unscanned";
  return "the engine reported no scan of it (object summary " + std::to_string(objectSummary) + ")";
}

std::string repairFailure(std::uint32_t repairError) {
  return std::string(scanErrorMeaning(repairError)) + " (repair error " + std::to_string(repairError) + ")";
}

std::string codeText(std::uint32_t code) {
  char text[64];
  std::snprintf(text, sizeof text, "%u (0x%08X)", code, code);
  std::string result = text;
  if (code == platform::kErrorBadDatabase ||
      code == static_cast<std::uint32_t>(HRESULT_FROM_WIN32(platform::kErrorBadDatabase))) {
    result += ": registry database damaged: " + platform::Registry::machineDatabasePath();
  } else if (const char* meaning = meaningOf(code)) {
    result += std::string(": ") + meaning;
  } else if (const std::string engine = engineMeaning(code); !engine.empty()) {
    result += ": " + engine;
  }
  return result;
}

void error(const std::string& message) {
  const std::string line = "ovrascan: " + message + "\n";
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
}

void statusFailure(const std::string& what, std::uint32_t status, const std::string& concerning) {
  error((concerning.empty() ? "" : concerning + ": ") + what + " failed with status " + codeText(status));
}

void hresultFailure(const std::string& what, HRESULT hr, const std::string& concerning) {
  error((concerning.empty() ? "" : concerning + ": ") + what + " failed with HRESULT " +
        codeText(static_cast<std::uint32_t>(hr)));
}

}  // namespace Diagnostics
