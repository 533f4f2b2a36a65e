#include <utility>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "process/CreateProcessHelper.h"
#include "process/VxTask.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxTask";

}  // namespace

CVxExeTask::CVxExeTask(std::wstring path, std::wstring arguments, bool wait, bool validate)
    : path_(std::move(path)), arguments_(std::move(arguments)), wait_(wait), validate_(validate) {}

bool CVxExeTask::validateSignature(const std::wstring&) {
  // No signature verifier is built in yet: every file fails the test, so a
  // task that asks for the test never starts an unverified file.
  return false;
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
  if (validate_) {
    VX_LOG(VX_LOG_NORMAL, kFunction) << L"Validating the process for signature ... ";
    if (!validateSignature(path_)) {
      VX_LOG(VX_LOG_ERROR, kFunction) << L"Vexora process validation FAILED :- " << path_;
      return VxNAFail(ERROR_FILE_CORRUPT);
    }
  }
  return runProcess(path_, arguments_, wait_, runInUserSession_);
}

VxNAResult<std::uint32_t> CVxExeTask::runProcess(const std::wstring& path,
                                                 const std::wstring& arguments, bool wait,
                                                 bool inUserSession) {
  constexpr const wchar_t* kFunction = L"CVxExeTask::runProcess";
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxExeTask::runProcess.......Starting: Path:" << path;
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxExeTask::runProcess.......Starting: CMD:" << arguments;

  CCPHelper helper;
  helper.setPriorityClass(getPriority());
  std::uint32_t error = 0;
  CVxChildProcess child =
      helper.RunProcess(path, arguments, error, inUserSession, false, nullptr, nullptr);
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
