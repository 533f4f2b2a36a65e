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
// Exit statuses: 0 nothing found, 1 something found (cleaned or not), 2 an error,
// 130 interrupted with Ctrl-C.
//
// Thread-safety: run() belongs to one thread; it starts and joins the threads it
// needs (the Ctrl-C watcher) and copes with the callbacks the component makes on
// its own threads.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "component/OvrascanLib.h"
#include "platform/automation/ComPtr.h"
#include "tools/ovrascan/CommandLine.h"
#include "tools/ovrascan/ComponentModule.h"
#include "tools/ovrascan/OperationMonitor.h"
#include "tools/ovrascan/ProgressDisplay.h"

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
    bool interrupted = false;
    std::uint32_t detections = 0;  // from the progress events
    double seconds = 0;
  };

  bool open();
  int close(int exitCode);

  int version();
  int scan(const CommandLine& line);
  int cleanFile(const CommandLine& line);

  // Registers a monitor, hands over the configuration, starts the operation with
  // `start` (which calls Scan or CleanFile and returns its HRESULT and status) and
  // waits for its end, cancelling it on Ctrl-C. False when the operation could not
  // run; its failure has been reported then.
  bool runOperation(const std::string& name, const std::wstring& configuration, ProgressDisplay::Mode mode,
                    const std::function<HRESULT(unsigned int*)>& start, OperationResult& result);
  void cancel(ProgressDisplay& display);
  // GetReport of `type` into `report`; false (failure reported) when it cannot.
  bool fetchReport(unsigned int type, std::wstring& text);
  bool loadReport(unsigned int type, ScanReport& report);

  ComponentModule module_;
  platform::automation::com_ptr<IVxVirusScan> object_;
};
