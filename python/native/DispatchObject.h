#pragma once
// DispatchObject: a Python-side reference to an automation object. Members are
// found by name with GetIDsOfNames and called with Invoke (as a method or a
// property get), so any member of the object's type library works without code
// of its own here. Failures raise vexora.AutomationError.
//
// Invoke runs without the GIL: the component calls scripts back on its own
// threads, and those calls need it.
//
// Thread-safety: may be used from any Python thread; the object's own contract
// applies to concurrent calls.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "platform/automation/Automation.h"
#include "platform/automation/ComPtr.h"

namespace vexora {

class DispatchObject {
 public:
  explicit DispatchObject(platform::automation::com_ptr<IDispatch> object) : object_(std::move(object)) {}
  // The last reference of a component object may end a run whose threads wait
  // for the GIL to deliver a callback: it is given back without the GIL.
  ~DispatchObject() { release(); }
  DispatchObject(const DispatchObject&) = default;
  DispatchObject(DispatchObject&&) noexcept = default;
  DispatchObject& operator=(const DispatchObject&) = delete;

  pybind11::object invoke(const std::wstring& member, const pybind11::args& arguments);
  IDispatch* get() const { return object_.get(); }
  // The object's identity: the address of its IUnknown, equal for every
  // reference to the same object; 0 once released.
  std::uintptr_t identity() const;
  // Gives the reference back at once instead of when Python collects this.
  void release();

 private:
  platform::automation::com_ptr<IDispatch> object_;
};

// Raises vexora.AutomationError(hresult, member, description).
[[noreturn]] void raiseAutomationError(HRESULT hr, const std::wstring& member, const std::wstring& description = {});

}  // namespace vexora
