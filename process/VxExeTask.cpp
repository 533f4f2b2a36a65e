#include <string>
#include <utility>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "platform/UniqueFileDescriptor.h"
#include "platform/Utf8.h"
#include "process/CodeSignature.h"
#include "process/CreateProcessHelper.h"
#include "process/PathText.h"
#include "process/ProcessSpawn.h"
#include "process/VxTask.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxTask";

std::string narrow(const std::wstring& text) { return platform::encodeUtf8(text.data(), text.size()); }

}  // namespace

CVxExeTask::CVxExeTask(std::wstring path, std::wstring arguments, bool wait, bool validate)
    : path_(std::move(path)), arguments_(std::move(arguments)), wait_(wait), validate_(validate) {}

bool CVxExeTask::validateSignature(const std::wstring& path) {
  platform::UniqueFileDescriptor file;
  if (path.empty() || !vxprocess::isProgramPath(path) ||
      vxprocess::openExecutable(narrow(path), file) != 0) {
    return false;
  }
  return validateOpenExecutable(file.get(), path);
}

bool CVxExeTask::validateOpenExecutable(int executable, const std::wstring&) {
  return vxprocess::verifyCodeSignature(executable);
}

void CVxExeTask::setRunInUserSession(bool inUserSession) { runInUserSession_ = inUserSession; }

void CVxExeTask::setPriority(std::uint32_t priorityClass) { priority_ = priorityClass; }

std::uint32_t CVxExeTask::getPriority() { return priority_; }

VxNAResult<std::uint32_t> CVxExeTask::execute() {
  constexpr const wchar_t* kFunction = L"CVxExeTask::execute";
  if (parseModulePath(path_) == 0) {
    VX_LOG(VX_LOG_WARNING, kFunction) << L"Module Parse Path: " << path_;
  }
  if (parseEnvironmentPath(path_) == 0) {
    VX_LOG(VX_LOG_WARNING, kFunction) << L"Environment Parse Path:: " << path_;
  }
  // Checked on the path as it will be opened, after both expansions.
  if (!vxprocess::isProgramPath(path_)) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"Refused the program path (a quotation mark or a NUL in it) :- "
        << vxprocess::printable(path_) << L". ErrorCode: " << ERROR_INVALID_PARAMETER;
    return VxNAFail(ERROR_INVALID_PARAMETER);
  }
  if (!validate_) return runProcess(path_, arguments_, wait_, runInUserSession_);

  VX_LOG(VX_LOG_NORMAL, kFunction) << L"Validating the process for signature ... ";
  // The trust rule comes first: a file that others could have written is
  // refused before its signature is read.
  platform::UniqueFileDescriptor file;
  if (const std::uint32_t error = vxprocess::openExecutable(narrow(path_), file); error != 0) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"Vexora process validation FAILED :- " << path_
                                    << L". ErrorCode: " << error;
    return VxNAFail(error);
  }
  if (!validateOpenExecutable(file.get(), path_)) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"Vexora process validation FAILED :- " << path_;
    return VxNAFail(ERROR_FILE_CORRUPT);
  }
  return startProcess(path_, arguments_, wait_, runInUserSession_, file.get());
}

VxNAResult<std::uint32_t> CVxExeTask::runProcess(const std::wstring& path,
                                                 const std::wstring& arguments, bool wait,
                                                 bool inUserSession) {
  return startProcess(path, arguments, wait, inUserSession, -1);
}

VxNAResult<std::uint32_t> CVxExeTask::startProcess(const std::wstring& path,
                                                   const std::wstring& arguments, bool wait,
                                                   bool inUserSession, int executable) {
  constexpr const wchar_t* kFunction = L"CVxExeTask::runProcess";
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxExeTask::runProcess.......Starting: Path:" << path;
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxExeTask::runProcess.......Starting: CMD:" << arguments;

  CCPHelper helper;
  helper.setPriorityClass(getPriority());
  helper.setDetached(!wait);
  std::uint32_t error = 0;
  CVxChildProcess child =
      helper.RunProcess(path, arguments, error, inUserSession, false, nullptr, nullptr, executable);
  if (!child) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CVxExeTask::runProcess()- ERROR:" << error << L", Path:" << path;
    return VxNAFail(error);
  }
  if (const std::uint32_t priorityError = child.setPriorityClass(getPriority());
      priorityError != 0) {
    VX_LOG(VX_LOG_WARNING, kFunction) << L"CVxExeTask::runProcess()- SetPriorityClass("
                                      << getPriority() << L") - Failed ErrorCode:"
                                      << priorityError;
  }
  std::uint32_t exitCode = 0;
  if (!wait) {
    VX_LOG(VX_LOG_NORMAL, kFunction)
        << L"CVxExeTask::runProcess(): ASYNC: Not Waiting for process to  close....... ";
  } else if (const std::uint32_t waitError = child.wait(); waitError != 0) {
    exitCode = waitError;
  } else if (const std::uint32_t codeError = child.exitCode(exitCode); codeError != 0) {
    exitCode = codeError;
  }
  return VxNAResult<std::uint32_t>(exitCode);
}
