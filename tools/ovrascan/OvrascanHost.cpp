#include "tools/ovrascan/OvrascanHost.h"

#include "platform/Registry.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "foundation/VxErrorCodes.h"
#include "platform/Registry.h"
#include "platform/Utf8.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/UniqueVariant.h"
#include "tools/ovrascan/DataSetFiles.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/InterruptWatcher.h"
#include "tools/ovrascan/LogCommand.h"
#include "tools/ovrascan/ScanReport.h"

using platform::automation::com_ptr;
using platform::automation::UniqueBstr;
using platform::automation::UniqueVariant;

namespace {

constexpr unsigned int kVersionTypes = 3;

std::string utf8(const std::wstring& text) { return platform::encodeUtf8(text.data(), text.size()); }

// True when the call worked; otherwise its failure is reported. Make the call
// first: an argument list does not order the call before the read of its status.
bool succeeded(const std::string& what, HRESULT hr, unsigned int status, const std::string& concerning = {}) {
  if (FAILED(hr)) {
    Diagnostics::hresultFailure(what, hr, concerning);
    return false;
  }
  if (status != 0) {
    Diagnostics::statusFailure(what, status, concerning);
    return false;
  }
  return true;
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT: return "Ctrl-C";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

}  // namespace

int OvrascanHost::run(const CommandLine& line) {
  if (line.command == CommandLine::Command::Help) {
    std::fputs(CommandLine::usage(line.helpTopic).c_str(), stdout);
    return kNothingFound;
  }
  // The log commands work on the log's files only: the component is not loaded for them.
  if (line.command == CommandLine::Command::LogSettings) {
    return line.logSettingKey.empty()
               ? LogCommand::showSettings()
               : LogCommand::setSetting(line.logSettingKey, line.logSettingValue, line.logSettingGlobal);
  }
  if (line.command == CommandLine::Command::Log) return LogCommand::showLines(line.logLines);
  // A reader that closed stdout, or a file size limit, must cost the output, not
  // the report: their writes then fail with EPIPE or EFBIG, which are reported.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Before the module exists: its threads must inherit the blocked signals.
  if (line.command != CommandLine::Command::Version) InterruptWatcher::blockInterrupts();
  if (line.command == CommandLine::Command::Register || line.command == CommandLine::Command::Unregister) {
    return registration(line.command == CommandLine::Command::Register);
  }
  if (!open(line.command != CommandLine::Command::Collect, line.activate)) return close(kError);
  switch (line.command) {
    case CommandLine::Command::Version: return close(version());
    case CommandLine::Command::Scan: return close(scan(line));
    case CommandLine::Command::CleanFile: return close(cleanFile(line));
    case CommandLine::Command::SessionCount: return close(sessionCount(line));
    case CommandLine::Command::Collect: return close(collect(line));
    case CommandLine::Command::Help:
    case CommandLine::Command::Register:
    case CommandLine::Command::Unregister:
    case CommandLine::Command::LogSettings:
    case CommandLine::Command::Log: break;
  }
  return close(kError);
}

int OvrascanHost::registration(bool registering) {
  if (const std::string failure = module_.load(); !failure.empty()) {
    Diagnostics::error(failure);
    return kError;
  }
  const char* entry = registering ? "DllRegisterServer" : "DllUnregisterServer";
  if (const HRESULT hr = module_.registerServer(registering); FAILED(hr)) {
    Diagnostics::hresultFailure(entry, hr);
    return kError;
  }
  std::printf("%s %s\nRegistry: %s\n", registering ? "Registered" : "Unregistered", module_.path().c_str(),
              platform::Registry::machineDatabasePath().c_str());
  return kNothingFound;
}

bool OvrascanHost::open(bool virusScan, bool activate) {
  if (const std::string failure = activate ? module_.activate() : module_.load(); !failure.empty()) {
    Diagnostics::error(failure);
    return false;
  }
  if (!virusScan) return true;
  std::string step;
  if (const HRESULT hr = module_.createVirusScan(object_, step); FAILED(hr)) {
    Diagnostics::hresultFailure(step, hr);
    return false;
  }
  return true;
}

int OvrascanHost::close(int exitCode) {
  int status = exitCode;
  if (object_) {
    unsigned int uninitialized = 0;
    const HRESULT hr = object_->Uninitialize(VARIANT_TRUE, &uninitialized);
    // An object that never started a kernel has nothing to stop; that is no failure.
    if (!succeeded("Uninitialize", hr, uninitialized == VX_E_NOT_INITIALIZED ? 0 : uninitialized)) status = kError;
    object_.reset();
  }
  if (const HRESULT canUnload = module_.canUnloadNow(); canUnload != S_OK) {
    Diagnostics::error("the component module is still in use after its object was released (DllCanUnloadNow returned " +
                       Diagnostics::codeText(static_cast<std::uint32_t>(canUnload)) + ")");
    if (status == kNothingFound || status == kFound) status = kError;
  }
  std::fflush(stdout);
  return status;
}

int OvrascanHost::version() {
  static constexpr const char* kLabels[kVersionTypes] = {"Component", "Engine", "Data set"};
  for (unsigned int type = 0; type < kVersionTypes; ++type) {
    UniqueBstr text;
    if (const HRESULT hr = object_->GetVersion(type, text.put()); FAILED(hr)) {
      Diagnostics::hresultFailure("GetVersion(" + std::to_string(type) + ")", hr);
      return kError;
    }
    std::printf("%-10s %s\n", (std::string(kLabels[type]) + ":").c_str(), utf8(std::wstring(text.view())).c_str());
  }
  return kNothingFound;
}

int OvrascanHost::OperationResult::cancelledStatus() const {
  return signal != 0 ? InterruptWatcher::exitStatusFor(signal) : kInterrupted;
}

std::string OvrascanHost::concerning(std::uint32_t code, const std::string& configurationName) const {
  const std::string& module = module_.path();
  const std::string folder = module.substr(0, module.rfind('/'));
  if (std::string files = DataSetFiles::concerned(folder, code); !files.empty()) return files;
  return configurationName.empty() ? std::string() : "configuration " + configurationName;
}

bool OvrascanHost::runOperation(const std::string& name, const std::wstring& configuration,
                                const std::string& configurationName, ProgressDisplay::Mode mode,
                                const std::function<HRESULT(unsigned int*)>& start, OperationResult& result,
                                const std::function<bool()>& accepted) {
  auto display = std::make_shared<ProgressDisplay>(mode, stdout);
  OperationMonitor monitor(display);
  const com_ptr<IDispatch> callbacks = monitor.callbackObject();
  if (!callbacks) {
    Diagnostics::error("cannot make the callback object: out of memory");
    return false;
  }
  UniqueVariant sink;
  sink->vt = VT_DISPATCH;
  sink->pdispVal = com_ptr<IDispatch>(callbacks).detach();
  unsigned int status = 0;
  HRESULT hr = object_->Register(*sink.get(), &status);
  if (!succeeded("Register", hr, status)) return false;

  const UniqueBstr text(configuration);
  if (!text.copied()) {
    Diagnostics::error("cannot pass the configuration: out of memory");
    return false;
  }
  status = 0;
  hr = object_->SetConfig(text.get(), &status);
  if (!succeeded("SetConfig", hr, status, concerning(status, configurationName))) return false;
  if (accepted && !accepted()) return false;

  // Runs on the watcher thread while this one waits. It must not touch stdout's
  // buffer: a progress line may be stuck there on a full pipe, holding its lock.
  // The note comes after the Cancel, so a reader of stderr knows the object had
  // the request when it sees it.
  std::atomic<int> firstSignal{0};
  InterruptWatcher watcher([&](int signal, unsigned count) {
    int none = 0;
    firstSignal.compare_exchange_strong(none, signal);
    if (count > 1) {
      display->note(std::string(signalName(signal)) + " again; exiting without waiting for the cancel");
      std::_Exit(InterruptWatcher::exitStatusFor(firstSignal.load()));
    }
    if (monitor.interrupt() && cancel(*display)) {
      display->note(std::string(signalName(signal)) + ": cancelling (another one exits at once)");
    }
  });
  if (!watcher.failure().empty()) Diagnostics::error(watcher.failure() + "; they will end ovrascan at once");

  const auto begin = std::chrono::steady_clock::now();
  status = 0;
  hr = start(&status);
  if (!succeeded(name, hr, status, concerning(status, configurationName))) return false;
  if (monitor.started() && cancel(*display)) {
    display->note(std::string(signalName(firstSignal.load())) + ": cancelling (another one exits at once)");
  }
  result.outcome = monitor.wait();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  display->finish();
  result.detections = monitor.detections();
  if (result.outcome.kind == OperationMonitor::Outcome::Kind::Failed) {
    const std::string subject = concerning(result.outcome.error, configurationName);
    Diagnostics::error((subject.empty() ? "" : subject + ": ") + name + " ended with error " +
                       Diagnostics::codeText(result.outcome.error));
    return false;
  }
  // Read once the watcher has stopped: nothing changes it any more.
  result.signal = firstSignal.load();
  return true;
}

bool OvrascanHost::cancel(ProgressDisplay& display) {
  unsigned int status = 0;
  const HRESULT hr = object_->Cancel(&status);
  if (SUCCEEDED(hr) && status == 0) return true;
  // The operation may have ended between the signal and the Cancel.
  if (SUCCEEDED(hr) && status == VX_E_NOTHING_TO_CANCEL) return false;
  const std::uint32_t code = FAILED(hr) ? static_cast<std::uint32_t>(hr) : status;
  display.note(std::string("Cancel failed with ") + (FAILED(hr) ? "HRESULT " : "status ") +
               Diagnostics::codeText(code) + "; the operation goes on");
  return false;
}

bool OvrascanHost::fetchReport(unsigned int type, UniqueBstr& report) {
  if (const HRESULT hr = object_->GetReport(type, report.put()); FAILED(hr)) {
    Diagnostics::hresultFailure("GetReport(" + std::to_string(type) + ")", hr);
    return false;
  }
  return true;
}

bool OvrascanHost::loadReport(unsigned int type, ScanReport& report) {
  // Read where the component put it: a report is several megabytes of text.
  UniqueBstr text;
  if (!fetchReport(type, text)) return false;
  if (const std::string failure = report.load(text.view()); !failure.empty()) {
    Diagnostics::error("GetReport(" + std::to_string(type) + "): " + failure);
    return false;
  }
  return true;
}
