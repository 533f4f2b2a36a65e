#include "tools/ovrascan/OperationMonitor.h"

#include <condition_variable>
#include <mutex>
#include <span>
#include <string>

#include "kernel/IVxAVScanner_Callback.h"
#include "platform/automation/ScriptObject.h"
#include "platform/automation/UniqueVariant.h"
#include "tools/ovrascan/ProgressDisplay.h"

using platform::automation::com_ptr;
using platform::automation::ScriptMethod;
using platform::automation::UniqueVariant;

struct OperationMonitor::State {
  explicit State(std::shared_ptr<ProgressDisplay> display) : display(std::move(display)) {}

  void finish(Outcome outcome) {
    {
      std::lock_guard guard(lock);
      if (finished) return;
      finished = true;
      result = outcome;
    }
    ended.notify_all();
  }

  const std::shared_ptr<ProgressDisplay> display;
  mutable std::mutex lock;
  mutable std::condition_variable ended;
  bool finished = false;
  Outcome result;
  bool running = false;
  bool interruptRequested = false;
  bool cancelSent = false;
  std::uint32_t detections = 0;
};

namespace {

// The argument as an unsigned number, whichever integer type the caller chose.
std::uint32_t unsignedArgument(std::span<const VARIANT> arguments, std::size_t index) {
  if (index >= arguments.size()) return 0;
  UniqueVariant converted;
  if (FAILED(VariantChangeType(converted.get(), &arguments[index], 0, VT_UI4))) return 0;
  return converted->ulVal;
}

std::wstring textArgument(std::span<const VARIANT> arguments, std::size_t index) {
  if (index >= arguments.size() || arguments[index].vt != VT_BSTR || arguments[index].bstrVal == nullptr) return {};
  return std::wstring(arguments[index].bstrVal, SysStringLen(arguments[index].bstrVal));
}

}  // namespace

OperationMonitor::OperationMonitor(std::shared_ptr<ProgressDisplay> display)
    : state_(std::make_shared<State>(std::move(display))) {}

com_ptr<IDispatch> OperationMonitor::callbackObject() const {
  // Each function holds the state, not the monitor: the component may call after
  // the monitor is gone.
  std::shared_ptr<State> state = state_;
  std::vector<ScriptMethod> methods;
  // Progress(opType, name, status, percent)
  methods.push_back({L"Progress", [state](std::span<const VARIANT> arguments, VARIANT*) {
                       const std::uint32_t status = unsignedArgument(arguments, 2);
                       if (status == AV_OBJECT_STATUS_INFECTED || status == AV_OBJECT_STATUS_CLEANED) {
                         std::lock_guard guard(state->lock);
                         ++state->detections;
                       }
                       state->display->objectDone(textArgument(arguments, 1), status,
                                                  unsignedArgument(arguments, 3));
                       return S_OK;
                     }});
  // OnError(code)
  methods.push_back({L"OnError", [state](std::span<const VARIANT> arguments, VARIANT*) {
                       state->finish({Outcome::Kind::Failed, unsignedArgument(arguments, 0)});
                       return S_OK;
                     }});
  // OnComplete(opType, result)
  methods.push_back({L"OnComplete", [state](std::span<const VARIANT> arguments, VARIANT*) {
                       const bool cancelled = unsignedArgument(arguments, 1) == AV_OPERATION_RESULT_CANCELLED;
                       state->finish({cancelled ? Outcome::Kind::Cancelled : Outcome::Kind::Completed, 0});
                       return S_OK;
                     }});
  return platform::automation::makeScriptObject(std::move(methods));
}

bool OperationMonitor::started() {
  std::lock_guard guard(state_->lock);
  state_->running = !state_->finished;
  if (!state_->running || !state_->interruptRequested || state_->cancelSent) return false;
  state_->cancelSent = true;
  return true;
}

bool OperationMonitor::interrupt() {
  std::lock_guard guard(state_->lock);
  // The operation is over, complete or not: a late Ctrl-C changes nothing of it.
  if (state_->finished) return false;
  state_->interruptRequested = true;
  if (!state_->running || state_->cancelSent) return false;
  state_->cancelSent = true;
  return true;
}

bool OperationMonitor::interrupted() const {
  std::lock_guard guard(state_->lock);
  return state_->interruptRequested;
}

OperationMonitor::Outcome OperationMonitor::wait() const {
  std::unique_lock guard(state_->lock);
  state_->ended.wait(guard, [this] { return state_->finished; });
  return state_->result;
}

std::uint32_t OperationMonitor::detections() const {
  std::lock_guard guard(state_->lock);
  return state_->detections;
}
