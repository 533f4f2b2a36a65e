#include "process/VxTask.h"

#include <cstdlib>
#include <utility>

#include "foundation/VxLogStream.h"
#include "platform/ModulePath.h"
#include "platform/Utf8.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxTask";

}  // namespace

CVxTask::CVxTask()
    : completion_(platform::Event::ResetPolicy::Manual, platform::Event::InitialState::NotSignaled) {}

CVxTask::~CVxTask() {
  if (ownsEvent_) completion_.reset();
}

VxNAResult<std::uint32_t> CVxTask::run() {
  completion_.reset();
  outcome_ = execute();
  completion_.set();
  return outcome_;
}

std::uint32_t CVxTask::waitForCompletion() {
  completion_.wait();
  return 0;
}

VxNAResult<std::uint32_t> CVxTask::getResult() { return outcome_; }

std::uint32_t CVxTask::parseEnvironmentPath(std::wstring& path) {
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  const std::size_t open = path.find(L'%');
  if (open == std::wstring::npos) return ERROR_NOT_FOUND;
  const std::size_t close = path.find(L'%', open + 1);
  if (close == std::wstring::npos) return ERROR_INVALID_PARAMETER;
  try {
    const std::wstring name = path.substr(open + 1, close - open - 1);
    const std::string narrowName = platform::encodeUtf8(name.data(), name.size());
    const char* value = name.empty() ? nullptr : std::getenv(narrowName.c_str());
    // The variable's own text is what is replaced (not an earlier text that
    // happens to spell its name), and a "%" inside its value stays.
    std::wstring rest = path.substr(close + 1);
    std::erase(rest, L'%');
    std::wstring expanded = path.substr(0, open);
    if (value != nullptr) expanded += platform::decodeUtf8(value, std::char_traits<char>::length(value));
    expanded += rest;
    path = std::move(expanded);
    return 0;
  } catch (...) {
    return ERROR_INVALID_PARAMETER;
  }
}

std::uint32_t CVxTask::parseModulePath(std::wstring& path) {
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  if (path.rfind(L"./", 0) != 0) return ERROR_NOT_FOUND;
  std::wstring folder;
  if (getModuleDirectory(folder) != 0) return ERROR_NOT_FOUND;
  path = folder + L"/" + path.substr(2);
  return 0;
}

std::uint32_t CVxTask::getModuleDirectory(std::wstring& folder) {
  std::string narrowFolder;
  if (const std::uint32_t error = platform::hostExecutableFolder(narrowFolder); error != 0) {
    VX_LOG(VX_LOG_ERROR, L"CVxTask::getModuleDirectory")
        << L"getModuleDirectory:: Error in GetModuleFileName. Error:" << error;
    return error;
  }
  folder = platform::decodeUtf8(narrowFolder.data(), narrowFolder.size());
  return 0;
}
