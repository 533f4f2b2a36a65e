#pragma once
// Helpers for tests of the file log: a log of this test program under a
// machine folder of the test's own, its files read back as lines, and its
// "log.ini" files written through the protected INI store.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/VxFileLog.h"
#include "foundation/VxFileLogFactory.h"
#include "foundation/VxFileLogSettings.h"
#include "foundation/VxProtectedIniValue.h"
#include "platform/Utf16.h"
#include "tests/foundation/FileTestFolder.h"

namespace vxtest {

// Holds the one reference the factory hands out.
class FileLogHandle {
 public:
  FileLogHandle() = default;
  ~FileLogHandle() { reset(); }
  FileLogHandle(const FileLogHandle&) = delete;
  FileLogHandle& operator=(const FileLogHandle&) = delete;

  std::uint32_t create(const wchar_t* logName = L"PartnerCustom") {
    reset();
    IVxLogBackEnd* backEnd = nullptr;
    const std::uint32_t error = createFileLog(logName, nullptr, nullptr, &backEnd);
    log_ = static_cast<CVxFileLog*>(backEnd);
    return error;
  }
  void reset() {
    if (log_ != nullptr) log_->Release();
    log_ = nullptr;
  }
  CVxFileLog* operator->() const { return log_; }
  CVxFileLog* get() const { return log_; }

 private:
  CVxFileLog* log_ = nullptr;
};

inline std::string fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a log file, each without its "\r\n"; the byte-order mark must open it.
inline std::vector<std::wstring> logLines(const std::filesystem::path& path, bool* hasMark = nullptr) {
  const std::string bytes = fileBytes(path);
  if (hasMark != nullptr) *hasMark = bytes.starts_with("\xFF\xFE");
  const std::wstring text = bytes.size() >= 2 ? platform::decodeUtf16Le(bytes.data() + 2, bytes.size() - 2) : L"";
  std::vector<std::wstring> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

inline void writeSetting(const std::filesystem::path& file, const wchar_t* key, std::uint32_t value) {
  std::filesystem::create_directories(file.parent_path());
  CVxProtectedIniStore::writeNumber(file.string(), kVxLogSettingsSection, key, value);
}

// The number stored under key, or -1 when none can be read.
inline long long readSetting(const std::filesystem::path& file, const wchar_t* key) {
  const auto read = CVxProtectedIniStore::read(file.string(), kVxLogSettingsSection, key);
  return read.ok && read.value.isNumber() ? static_cast<long long>(read.value.number()) : -1;
}

}  // namespace vxtest
