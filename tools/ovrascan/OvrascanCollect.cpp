// ovrascan collect: the suspicious-scan object as a script drives it. A script
// object registered with RegisterCallback hears OnScanComplete and
// OnUploadComplete; the collector tool shares ovrascan's terminal, so its own
// progress lines show while it runs.
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/Utf8.h"
#include "platform/automation/ScriptObject.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/UniqueVariant.h"
#include "platform/automation/VariantOf.h"
#include "tools/ovrascan/CollectorCompletions.h"
#include "tools/ovrascan/CollectorReport.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/InterruptWatcher.h"
#include "tools/ovrascan/OvrascanHost.h"

using platform::automation::com_ptr;
using platform::automation::UniqueBstr;
using platform::automation::UniqueVariant;

namespace {

com_ptr<IDispatch> makeScript(CollectorCompletions& completions) {
  auto hear = [&completions](CollectorCompletions::Kind kind) {
    return [&completions, kind](std::span<const VARIANT> arguments, VARIANT*) {
      if (arguments.size() != 1 || arguments[0].vt != VT_UI4) return DISP_E_BADPARAMCOUNT;
      completions.complete(kind, arguments[0].ulVal);
      return S_OK;
    };
  };
  return platform::automation::makeScriptObject({{L"OnScanComplete", hear(CollectorCompletions::Kind::Scan)},
                                                 {L"OnUploadComplete", hear(CollectorCompletions::Kind::Upload)}});
}

std::string utf8(std::wstring_view text) { return platform::encodeUtf8(text.data(), text.size()); }

// The status a method put into its result; false (reported) when it is not 0.
bool statusOk(const char* method, HRESULT hr, const UniqueVariant& result) {
  if (FAILED(hr)) {
    Diagnostics::hresultFailure(method, hr);
    return false;
  }
  if (result->vt != VT_I4 || result->lVal != 0) {
    Diagnostics::statusFailure(method, static_cast<std::uint32_t>(result->vt == VT_I4 ? result->lVal : -1));
    return false;
  }
  return true;
}

}  // namespace

int OvrascanHost::collect(const CommandLine& line) {
  com_ptr<IVxSuspiciousScan> object;
  std::string step;
  if (const HRESULT hr = module_.createSuspiciousScan(object, step); FAILED(hr)) {
    Diagnostics::hresultFailure(step, hr);
    return kError;
  }
  CollectorCompletions completions;
  const com_ptr<IDispatch> script = makeScript(completions);
  if (!script) {
    Diagnostics::error("out of memory");
    return kError;
  }
  int status = runCollection(*object, script.get(), completions, line);
  // The object's runner holds a reference to the object until Abort.
  UniqueVariant ignored;
  object->Abort(ignored.put());
  object->UnRegisterCallback(ignored.put());
  return status;
}

int OvrascanHost::runCollection(IVxSuspiciousScan& object, IDispatch* script, CollectorCompletions& completions,
                                const CommandLine& line) {
  UniqueVariant result;
  if (!statusOk("RegisterCallback", object.RegisterCallback(platform::automation::variantOfDispatch(script),
                                                            result.put()),
                result)) {
    return kError;
  }
  if (!line.toolPath.empty()) {
    const std::wstring path = platform::decodeUtf8(line.toolPath.data(), line.toolPath.size());
    UniqueBstr text(path);
    if (!statusOk("Configure", object.Configure(platform::automation::variantOfBstr(text.get()), result.put()),
                  result)) {
      return kError;
    }
  }
  if (SUCCEEDED(object.GetVersion(result.put())) && result->vt == VT_BSTR) {
    std::printf("Collector version %s\n", utf8(result->bstrVal).c_str());
    std::fflush(stdout);
  }

  InterruptWatcher watcher([&](int signal, unsigned count) {
    if (count > 1) std::_Exit(InterruptWatcher::exitStatusFor(signal));
    completions.interrupt(signal);
  });
  if (!watcher.failure().empty()) Diagnostics::error(watcher.failure() + "; they will end ovrascan at once");

  if (!statusOk("Scan", object.Scan(result.put()), result)) return kError;
  const std::optional<ULONG> scanned = completions.wait(CollectorCompletions::Kind::Scan);
  if (!scanned) return interrupted(completions.signal());
  if (*scanned != 0) {
    Diagnostics::error("the collection failed: " + CollectorFailure::describe(*scanned));
    return kError;
  }

  CollectorReport report;
  if (const HRESULT hr = object.GetReport(result.put()); FAILED(hr) || result->vt != VT_BSTR) {
    Diagnostics::statusFailure("GetReport", result->vt == VT_I4 ? static_cast<std::uint32_t>(result->lVal) : 0);
    return kError;
  }
  if (const std::string failure = report.parse(result->bstrVal); !failure.empty()) {
    Diagnostics::error("the collector's report: " + failure);
    return kError;
  }
  report.print(stdout);
  int status = report.files().empty() ? kNothingFound : kFound;

  if (!line.archiveFile.empty()) {
    if (const std::string failure = report.saveArchive(line.archiveFile); !failure.empty()) {
      Diagnostics::error(failure);
      status = kError;
    }
  }
  if (line.upload) {
    if (!statusOk("UploadReport", object.UploadReport(result.put()), result)) return kError;
    const std::optional<ULONG> uploaded = completions.wait(CollectorCompletions::Kind::Upload);
    if (!uploaded) return interrupted(completions.signal());
    if (*uploaded != 0) {
      Diagnostics::error("the upload failed: " + CollectorFailure::describe(*uploaded));
      return kError;
    }
    std::printf("Uploaded %s\n", report.archive().c_str());
  }
  if (line.cleanSession) {
    if (!statusOk("CleanSession", object.CleanSession(result.put()), result)) return kError;
    std::printf("Session folder deleted\n");
  }
  return status;
}

// ovrascan has no hold on the collector: the runner waits for it on a thread
// that ovrascan's exit ends, and nothing stops it. The collector runs in
// ovrascan's process group with its signals unblocked and catches none of these,
// so a signal sent to the whole group (a Ctrl-C typed at the terminal) ends it
// as well; one sent to ovrascan alone leaves it running. Releasing the
// suspicious-scan object on the way out deletes the session folder, whatever
// the collector is still doing in it.
int OvrascanHost::interrupted(int signal) {
  const std::string name = signal == SIGINT ? "Ctrl-C" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
  const std::string reach = signal == SIGINT
                                ? "a Ctrl-C typed at the terminal reaches the collector too and ends it; one sent to "
                                  "ovrascan alone leaves it running"
                                : "the collector ends too only if the signal went to ovrascan's whole process "
                                  "group, which the collector shares; otherwise it keeps running";
  Diagnostics::error(name + ": ovrascan exits without stopping the collector or waiting for it (" + reach +
                     ", unreported, while its session folder is deleted)");
  return InterruptWatcher::exitStatusFor(signal);
}
