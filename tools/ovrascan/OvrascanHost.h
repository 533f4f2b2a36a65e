#pragma once
// OvrascanHost: runs one ovrascan command against the virus-scan object, reached
// the way any automation client reaches it: the component module is loaded at run
// time, the object comes from its class object and is called through its
// IVxVirusScan vtable, and its events come back to a callback object registered
// with Register.
//
// Every command ends the same way: Uninitialize with the callbacks cleared, the
// object released, and the module asked whether it can be unloaded; a module that
// still has live objects then is a fault and makes the command fail.
//
// Each command's runner lives in a file of its own (OvrascanScan.cpp,
// OvrascanCleanFile.cpp, OvrascanSessionCount.cpp); what they share is here and
// in OvrascanHost.cpp.
//
// Signals: Ctrl-C, SIGTERM and SIGHUP cancel a running operation (InterruptWatcher);
// one that comes after the operation ended changes nothing of its result. SIGPIPE
// and SIGXFSZ are ignored, so that a closed stdout or a file size limit becomes a
// failed write that the host reports, not a death before the report is written.
//
// Exit statuses: 0 nothing found, 1 something found (cleaned or not), 2 an error,
// 128 + the signal when a signal cancelled the operation (130 Ctrl-C, 143 SIGTERM,
// 129 SIGHUP).
//
// Thread-safety: run() belongs to one thread; it starts and joins the threads it
// needs (the signal watcher) and copes with the callbacks the component makes on
// its own threads.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "component/OvrascanLib.h"
#include "platform/automation/ComPtr.h"
#include "platform/automation/UniqueBstr.h"
#include "tools/ovrascan/CommandLine.h"
#include "tools/ovrascan/ComponentModule.h"
#include "tools/ovrascan/OperationMonitor.h"
#include "tools/ovrascan/ProgressDisplay.h"

class CollectorCompletions;
class ScanReport;

class OvrascanHost {
 public:
  static constexpr int kNothingFound = 0;
  static constexpr int kFound = 1;
  static constexpr int kError = 2;
  static constexpr int kInterrupted = 130;

  int run(const CommandLine& line);

 private:
  struct OperationResult {
    OperationMonitor::Outcome outcome;
    int signal = 0;                // the first signal that came while it ran
    std::uint32_t detections = 0;  // from the progress events
    double seconds = 0;

    bool cancelled() const { return outcome.kind == OperationMonitor::Outcome::Kind::Cancelled; }
    // The exit status of a cancelled operation.
    int cancelledStatus() const;
  };

  // Loads the module and, when asked, makes the virus-scan object.
  bool open(bool virusScan, bool activate);
  // ovrascan register / unregister.
  int registration(bool registering);
  int close(int exitCode);

  int version();
  int scan(const CommandLine& line);
  int cleanFile(const CommandLine& line);
  int sessionCount(const CommandLine& line);
  int collect(const CommandLine& line);
  // The collection with the script object registered: scan, report, then what
  // the command line asks for. Returns the exit status.
  int runCollection(IVxSuspiciousScan& object, IDispatch* script, CollectorCompletions& completions,
                    const CommandLine& line);
  // Reports that a signal ended the wait for the collector; its exit status.
  static int interrupted(int signal);

  // Registers a monitor, hands over the configuration, starts the operation with
  // `start` (which calls Scan or CleanFile and returns its HRESULT and status) and
  // waits for its end, cancelling it on a signal. False when the operation could
  // not run; its failure has been reported then, led by `configurationName` (the
  // configuration file; empty for the built-in one) or the data set files the
  // failure concerns. `accepted`, when given, runs once the object has taken the
  // configuration (so its own parse errors come first) and may still refuse it:
  // false, with its failure reported, ends the run.
  bool runOperation(const std::string& name, const std::wstring& configuration,
                    const std::string& configurationName, ProgressDisplay::Mode mode,
                    const std::function<HRESULT(unsigned int*)>& start, OperationResult& result,
                    const std::function<bool()>& accepted = {});
  // True when the object took the Cancel.
  bool cancel(ProgressDisplay& display);
  // What an error line about `code` should name: the data set files an engine
  // status concerns, else the configuration file.
  std::string concerning(std::uint32_t code, const std::string& configurationName) const;
  // GetReport of `type` into `report`; false (failure reported) when it cannot.
  bool fetchReport(unsigned int type, platform::automation::UniqueBstr& report);
  bool loadReport(unsigned int type, ScanReport& report);

  static constexpr unsigned int kScanOnly = 1;
  static constexpr unsigned int kScanAndClean = 2;
  static constexpr unsigned int kCompleteReport = 1;
  static constexpr unsigned int kDetectionsReport = 2;

  ComponentModule module_;
  platform::automation::com_ptr<IVxVirusScan> object_;
};
