#pragma once
// A script's callback object for tests: an IDispatch (made with makeScriptObject)
// whose methods record the calls they receive, so tests can wait for them and check
// their arguments. Optional hooks let a test act from inside a callback, as a script
// would (for example call the object back).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/automation/Automation.h"
#include "platform/automation/ComPtr.h"
#include "platform/automation/ScriptObject.h"
#include "platform/automation/VariantOf.h"

namespace vxtest {

// One argument as the script saw it.
struct ScriptArgument {
  VARTYPE vt = VT_EMPTY;
  std::uint32_t number = 0;  // VT_I4 / VT_UI4
  std::wstring text;         // VT_BSTR
  bool operator==(const ScriptArgument&) const = default;
};

struct ScriptCall {
  std::wstring method;
  std::vector<ScriptArgument> arguments;
};

inline ScriptArgument ui4(std::uint32_t value) { return {VT_UI4, value, {}}; }
inline ScriptArgument i4(std::uint32_t value) { return {VT_I4, value, {}}; }
inline ScriptArgument bstr(std::wstring text) { return {VT_BSTR, 0, std::move(text)}; }

class ScriptRecorder {
 public:
  using Hook = std::function<void(const ScriptCall&)>;

  // The script object answers the named methods only (a script that lacks one
  // simply does not define it).
  explicit ScriptRecorder(std::vector<std::wstring> methods = {L"Progress", L"OnError", L"OnComplete"}) {
    std::vector<platform::automation::ScriptMethod> table;
    for (const auto& name : methods) {
      table.push_back({name, [this, name](std::span<const VARIANT> arguments, VARIANT*) {
                         record(name, arguments);
                         return S_OK;
                       }});
    }
    object_ = platform::automation::makeScriptObject(std::move(table));
  }

  IDispatch* dispatch() const { return object_.get(); }
  VARIANT asVariant() const { return platform::automation::variantOfDispatch(object_.get()); }

  // Runs inside the named callback, after the call is recorded.
  void onCall(const std::wstring& method, Hook hook) {
    std::lock_guard guard(lock_);
    hooks_[method] = std::move(hook);
  }

  bool waitFor(const std::wstring& method, std::size_t times = 1,
               std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, deadline, [&] { return countLocked(method) >= times; });
  }
  std::size_t count(const std::wstring& method) {
    std::lock_guard guard(lock_);
    return countLocked(method);
  }
  std::vector<ScriptCall> calls(const std::wstring& method) {
    std::lock_guard guard(lock_);
    std::vector<ScriptCall> found;
    for (const auto& call : calls_) {
      if (call.method == method) found.push_back(call);
    }
    return found;
  }

 private:
  void record(const std::wstring& method, std::span<const VARIANT> arguments) {
    ScriptCall call{method, {}};
    for (const VARIANT& v : arguments) {
      ScriptArgument argument{v.vt, 0, {}};
      if (v.vt == VT_BSTR) {
        argument.text.assign(v.bstrVal == nullptr ? L"" : v.bstrVal, SysStringLen(v.bstrVal));
      } else {
        argument.number = v.ulVal;
      }
      call.arguments.push_back(std::move(argument));
    }
    Hook hook;
    {
      std::lock_guard guard(lock_);
      calls_.push_back(call);
      if (auto found = hooks_.find(method); found != hooks_.end()) hook = found->second;
    }
    changed_.notify_all();
    if (hook) hook(call);
  }
  std::size_t countLocked(const std::wstring& method) const {
    std::size_t n = 0;
    for (const auto& call : calls_) n += call.method == method ? 1 : 0;
    return n;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<ScriptCall> calls_;
  std::map<std::wstring, Hook> hooks_;
  platform::automation::com_ptr<IDispatch> object_;
};

}  // namespace vxtest
