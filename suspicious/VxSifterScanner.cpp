#include "suspicious/VxSifterScanner.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <cstdio>
#include <mutex>
#include <new>
#include <string_view>

#include <pugixml.hpp>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "kernel/VxNAEvent.h"
#include "platform/FileVersion.h"
#include "platform/automation/ComPtr.h"
#include "process/ChildProcess.h"
#include "process/CommandLine.h"
#include "process/VxTask.h"
#include "suspicious/SifterSessionFolder.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxSuspiciousScan";

constexpr wchar_t kThreadName[] = L"VxSifterScannerThread";
constexpr wchar_t kDefaultToolPath[] = L"./Sifter.exe";
constexpr wchar_t kScanArguments[] = L"--silent --offline --zippath=";
constexpr wchar_t kUploadArguments[] = L"--upload=";
constexpr wchar_t kReportFile[] = L"/Logs/Files.xml";
constexpr wchar_t kPreferencesFile[] = L"/Sifter.xml";
constexpr char kZipPathXPath[] = "Sifter/Preferences/Zip-Path";
constexpr char kZipPathAttribute[] = "value";
// The preferences document is a few lines; the tool is not trusted to keep it so.
constexpr std::uint32_t kMaxPreferencesSize = 1u << 20;

std::unique_ptr<CVxExeTask> makeTask(const std::wstring& tool, const std::wstring& arguments) {
  try {
    return std::make_unique<CVxExeTask>(tool, arguments, true, true);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

using IVxSuspiciousCallbackPtr = platform::automation::com_ptr<IVxSuspiciousCallback>;

struct CVxSifterScanner::State {
  VxNAEvent terminateRequest{platform::Event::ResetPolicy::Manual};
  VxNAEvent scanRequest{platform::Event::ResetPolicy::Manual};
  VxNAEvent uploadRequest{platform::Event::ResetPolicy::Manual};

  // Held for a whole tool run (see the header).
  std::recursive_mutex runLock;

  // Guards toolPath only, so that reading the version never waits for a run.
  std::mutex toolLock;
  std::wstring toolPath = kDefaultToolPath;

  // Never held by a tool run; held by a delivery.
  std::recursive_mutex callbackLock;
  IVxSuspiciousCallbackPtr callback;
  // Set by TerminateMyThread: nothing is delivered any more.
  std::atomic<bool> terminating{false};

  // Guards session only; TerminateMyThread reads it without the run lock.
  std::mutex sessionLock;
  std::wstring session;

  CVxSifterSessionFolder sessionFolders;
};

std::shared_ptr<CVxSifterScanner> CVxSifterScanner::create() {
  try {
    // The constructor is protected; the derived shell only opens it to make_shared.
    struct Shell final : CVxSifterScanner {};
    return std::make_shared<Shell>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

CVxSifterScanner::CVxSifterScanner() : CVxNAThread(true), state_(std::make_unique<State>()) {}

CVxSifterScanner::~CVxSifterScanner() {
  CleanSession();
  std::lock_guard guard(state_->callbackLock);
  state_->callback.reset();
}

std::uint32_t CVxSifterScanner::startWorker() { return Start(kThreadName, shared_from_this()); }

void CVxSifterScanner::ThreadProc() {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::ThreadProc";
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner: wait Thread started........";
  platform::Event* const events[] = {&state_->terminateRequest.get(), &state_->scanRequest.get(),
                                     &state_->uploadRequest.get()};
  for (;;) {
    const std::size_t signalled = platform::Event::waitAny(events);
    if (signalled == 0) {
      VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner: Thread Exited........";
      return;
    }
    // The request is reset once its run is over and before its outcome is
    // delivered: requests made during the run are absorbed by it, one made by
    // the delivery asks for a new run.
    if (signalled == 1) {
      const std::uint32_t code = scan();
      state_->scanRequest.reset();
      deliver(&IVxSuspiciousCallback::ScanCompleted, code);
    } else if (signalled == 2) {
      const std::uint32_t code = upload();
      state_->uploadRequest.reset();
      deliver(&IVxSuspiciousCallback::UploadCompleted, code);
    } else {
      VX_LOG(VX_LOG_ERROR, kFunction) << L"Task Executer: Wait failed " << ERROR_INVALID_PARAMETER;
      return;
    }
  }
}

void CVxSifterScanner::deliver(HRESULT (STDMETHODCALLTYPE IVxSuspiciousCallback::*completed)(ULONG),
                               std::uint32_t code) {
  std::lock_guard guard(state_->callbackLock);
  if (state_->terminating.load()) {
    state_->callback.reset();
    return;
  }
  // A reference of our own: the callback may replace or clear the member while
  // it is being called.
  const IVxSuspiciousCallbackPtr target = state_->callback;
  if (target) (target.get()->*completed)(code);
  // TerminateMyThread could not drop the callback while this delivery ran.
  if (state_->terminating.load()) state_->callback.reset();
}

void CVxSifterScanner::TerminateMyThread() {
  VX_LOG(VX_LOG_NORMAL, L"CVxSifterScanner::TerminateMyThread")
      << L"CVxSifterScanner: Trigger Terminate Thread....";
  state_->terminating.store(true);
  deleteSessionFolder();
  // The private folder goes now, not with the runner: the worker may destroy
  // the runner only after the host process has exited, which would leave the
  // folder behind. A tool still running loses its session folder.
  state_->sessionFolders.close();
  state_->terminateRequest.set();
  // Never waits: a delivery in progress on another thread drops the callback
  // itself when it ends (see deliver).
  std::unique_lock guard(state_->callbackLock, std::try_to_lock);
  if (guard.owns_lock()) state_->callback.reset();
}

std::uint32_t CVxSifterScanner::scan() {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::scan";
  std::lock_guard run(state_->runLock);
  if (const std::uint32_t error = prepareSifter(); error != 0) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CVxSifterScanner::scan() - Preparation for scanning failed, ERROR:" << error;
    return ERROR_INTERNAL_ERROR;
  }
  const std::wstring arguments = kScanArguments + vxprocess::quoteArgument(getSessionFolder());
  std::unique_ptr<CVxExeTask> task = makeTask(toolPath(), arguments);
  if (task == nullptr) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"CVxSifterScanner::scan() - Not Enough memory";
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  task->setPriority(vxprocess::IDLE_PRIORITY_CLASS);
  VX_LOG(VX_LOG_NORMAL, kFunction)
      << L"CVxSifterScanner::scan() - Sifter scan Priority set to:IDLE_PRIORITY_CLASS";

  const auto started = std::chrono::steady_clock::now();
  const VxNAResult<std::uint32_t> outcome = task->run();
  if (!outcome.ok) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"CVxSifterScanner::scan() - Failed to launch Sifter --SCAN";
    return outcome.error;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::scan() - Sifter scan return code:"
                                   << outcome.value;
  VX_LOG(VX_LOG_NORMAL, kFunction)
      << L"CVxSifterScanner::scan() - Sifter scan Total Time Taken(InSec):"
      << static_cast<std::uint32_t>(elapsed.count()) / 1000u;
  return outcome.value;
}

std::uint32_t CVxSifterScanner::upload() {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::upload";
  std::lock_guard run(state_->runLock);
  const std::wstring zip = getUploadZipPath();
  if (zip.empty()) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"CVxSifterScanner::upload() - Cant upload zip file empty";
    return ERROR_INVALID_ENVIRONMENT;
  }
  std::unique_ptr<CVxExeTask> task = makeTask(toolPath(), kUploadArguments + vxprocess::quoteArgument(zip));
  if (task == nullptr) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"CVxSifterScanner::upload() - Not Enough memory";
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  const VxNAResult<std::uint32_t> outcome = task->run();
  if (!outcome.ok) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CVxSifterScanner::upload() - Failed to lauch Sifter to upload files, Errorcode:"
        << outcome.error;
    return outcome.error;
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::upload() - Sifter --UPLOAD return code:"
                                   << outcome.value;
  return outcome.value;
}

std::uint32_t CVxSifterScanner::prepareSifter() {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::prepareSifter";
  std::lock_guard run(state_->runLock);
  const std::wstring folder = getSessionFolder();
  deleteDir(folder);
  std::uint32_t error = ERROR_INVALID_PARAMETER;
  if (!folder.empty()) error = state_->sessionFolders.create(folder);
  if (error == 0 || error == ERROR_ALREADY_EXISTS) {
    VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::prepareSifter: Session folder created:"
                                     << folder;
    return 0;
  }
  VX_LOG(VX_LOG_ERROR, kFunction)
      << L"CVxSifterScanner::prepareSifter - Failed to create session folder , Error:" << error;
  return error;
}

std::wstring CVxSifterScanner::getSessionFolder() {
  std::lock_guard run(state_->runLock);
  std::lock_guard guard(state_->sessionLock);
  if (!state_->session.empty()) return state_->session;
  std::wstring folder = state_->sessionFolders.newSessionPath();
  if (folder.empty()) return state_->session;
  state_->session = folder;
  VX_LOG(VX_LOG_NORMAL, L"CVxSifterScanner::getSessionFolder")
      << L"CVxSifterScanner::getLogLocation() - returned" << folder;
  return folder;
}

std::wstring CVxSifterScanner::getReportPath() {
  const std::wstring folder = getSessionFolder();
  return folder.empty() ? folder : folder + kReportFile;
}

std::wstring CVxSifterScanner::getPreferencesPath() {
  const std::wstring folder = getSessionFolder();
  return folder.empty() ? folder : folder + kPreferencesFile;
}

std::wstring CVxSifterScanner::getUploadZipPath() {
  std::lock_guard run(state_->runLock);
  const std::wstring path = getPreferencesPath();
  CVxFileUtil::Buffer bytes;
  std::uint32_t size = 0;
  pugi::xml_document document;
  if (path.empty() || CVxFileUtil::Read(path, bytes, size, kMaxPreferencesSize) != 0 ||
      !document.load_buffer(bytes.get(), size)) {
    VX_LOG(VX_LOG_ERROR, L"CVxSifterScanner::getUploadZipPath")
        << L"CVxSifterScanner::getUploadZipPath() - Failed load xml from path:" << path;
    return std::wstring();
  }
  try {
    const pugi::xml_node node = document.select_node(kZipPathXPath).node();
    return VxNATypeConversion::ansiBufferToWideString(node.attribute(kZipPathAttribute).value());
  } catch (const std::exception&) {
    // Only memory can run out here; the query itself is fixed and valid.
    return std::wstring();
  }
}

std::uint32_t CVxSifterScanner::deleteDir(const std::wstring& folder) {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::deleteDir";
  if (folder.empty()) return ERROR_INVALID_PARAMETER;
  // Only a session folder of this runner is ever deleted; a link in its place
  // is not a folder and is left for prepareSifter to replace.
  if (!state_->sessionFolders.isFolder(folder)) return 0;
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::cleanAndDeleteDir Cleaning the folder now... :"
                                   << folder;
  const std::uint32_t removed = state_->sessionFolders.remove(folder) ? 1 : 0;
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::cleanAndDeleteDir, errorcode:" << removed;
  return 0;
}

std::uint32_t CVxSifterScanner::setToolPath(const std::wstring& path) {
  std::lock_guard run(state_->runLock);
  if (path.empty() || path.rfind(L".exe") == std::wstring::npos) return ERROR_INVALID_PARAMETER;
  std::lock_guard guard(state_->toolLock);
  state_->toolPath = path;
  return 0;
}

std::wstring CVxSifterScanner::toolPath() {
  std::lock_guard guard(state_->toolLock);
  return state_->toolPath;
}

std::uint32_t CVxSifterScanner::startScan(IVxSuspiciousCallback* callback) {
  replaceCallback(callback);
  state_->scanRequest.set();
  return 0;
}

std::uint32_t CVxSifterScanner::startUpload(IVxSuspiciousCallback* callback) {
  replaceCallback(callback);
  state_->uploadRequest.set();
  return 0;
}

std::uint32_t CVxSifterScanner::clearCallback() {
  replaceCallback(nullptr);
  return 0;
}

void CVxSifterScanner::replaceCallback(IVxSuspiciousCallback* callback) {
  // The new reference is taken before the old one goes.
  IVxSuspiciousCallbackPtr replacement(callback);
  std::lock_guard guard(state_->callbackLock);
  state_->callback.swap(replacement);
}

std::uint32_t CVxSifterScanner::ReadFileScanReport(CVxFileUtil::Buffer& buffer) {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::ReadFileScanReport";
  std::lock_guard run(state_->runLock);
  const std::wstring path = getReportPath();
  if (path.empty()) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CVxSifterScanner::ReadFileScanReport - Failed to read the File path";
    return ERROR_FILE_NOT_FOUND;
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::ReadFileScanReport- Report file path:"
                                   << path;
  std::uint32_t size = 0;
  return CVxFileUtil::Read(path, buffer, size, kMaxReportSize);
}

std::uint32_t CVxSifterScanner::GetVersion(std::wstring& version) {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::GetVersion";
  std::wstring path = toolPath();
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  // The file the task would start: "./" against the host's folder, one %VAR%.
  {
    CVxExeTask resolver(path, std::wstring(), true, true);
    resolver.parseModulePath(path);
    resolver.parseEnvironmentPath(path);
  }
  platform::ModuleVersionRecord record{};
  const std::uint32_t error =
      platform::fileVersion(VxNATypeConversion::wideBufferToAnsiString(path), record);
  if (error != 0) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"CVxSifterScanner::GetVersion - module version fetch, error:"
                                    << error;
    return ERROR_INTERNAL_ERROR;
  }
  wchar_t text[64];
  std::swprintf(text, std::size(text), L"%d.%d.%d.%d", static_cast<int>(record.fileVersionMS >> 16),
                static_cast<int>(record.fileVersionMS & 0xFFFF),
                static_cast<int>(record.fileVersionLS >> 16),
                static_cast<int>(record.fileVersionLS & 0xFFFF));
  version = text;
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::GetVersion - Sifter module version:"
                                   << version;
  return 0;
}

std::uint32_t CVxSifterScanner::CleanSession() {
  constexpr const wchar_t* kFunction = L"CVxSifterScanner::CleanSession";
  deleteSessionFolder();
  std::lock_guard run(state_->runLock);
  {
    std::lock_guard guard(state_->sessionLock);
    state_->session.clear();
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"CVxSifterScanner::CleanSession - Cleaned session data";
  return 0;
}

void CVxSifterScanner::deleteSessionFolder() {
  std::wstring folder;
  {
    std::lock_guard guard(state_->sessionLock);
    folder = state_->session;
  }
  if (folder.empty()) return;
  VX_LOG(VX_LOG_NORMAL, L"CVxSifterScanner::CleanSession")
      << L"CVxSifterScanner::CleanSession - Deleting session folder";
  deleteDir(folder);
}
