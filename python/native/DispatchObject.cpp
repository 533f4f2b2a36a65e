#include "native/DispatchObject.h"

#include <stdexcept>
#include <vector>

#include "native/VariantConversion.h"
#include "platform/automation/UniqueVariant.h"

namespace py = pybind11;

namespace vexora {
namespace {

// The arguments of one call, last first as DISPPARAMS wants them; cleared when
// the call is over.
class Arguments {
 public:
  Arguments(const py::args& arguments, const std::wstring& member) : values_(arguments.size()) {
    for (VARIANT& value : values_) VariantInit(&value);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      try {
        toVariant(arguments[i], values_[arguments.size() - 1 - i]);
      } catch (const std::overflow_error& error) {
        raiseAutomationError(DISP_E_OVERFLOW, member, argumentText(i, error));
      } catch (const std::invalid_argument& error) {
        raiseAutomationError(DISP_E_TYPEMISMATCH, member, argumentText(i, error));
      } catch (const std::bad_alloc&) {
        raiseAutomationError(E_OUTOFMEMORY, member);
      }
    }
  }
  ~Arguments() {
    for (VARIANT& value : values_) VariantClear(&value);
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  DISPPARAMS parameters() {
    return DISPPARAMS{values_.data(), nullptr, static_cast<UINT>(values_.size()), 0};
  }

 private:
  static std::wstring argumentText(std::size_t index, const std::exception& error) {
    const std::string what = error.what();
    return L"argument " + std::to_wstring(index + 1) + L" is " + std::wstring(what.begin(), what.end());
  }

  std::vector<VARIANT> values_;
};

std::wstring takeDescription(EXCEPINFO& exception) {
  std::wstring description;
  if (exception.bstrDescription != nullptr) description = exception.bstrDescription;
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return description;
}

}  // namespace

void raiseAutomationError(HRESULT hr, const std::wstring& member, const std::wstring& description) {
  const py::object type = py::module_::import("vexora._errors").attr("AutomationError");
  const py::object error = type(static_cast<std::uint32_t>(hr), member, description);
  PyErr_SetObject(type.ptr(), error.ptr());
  throw py::error_already_set();
}

py::object DispatchObject::invoke(const std::wstring& member, const py::args& arguments) {
  if (!object_) raiseAutomationError(RPC_E_DISCONNECTED, member, L"the object was released");
  Arguments values(arguments, member);
  DISPPARAMS parameters = values.parameters();
  platform::automation::UniqueVariant result;
  EXCEPINFO exception{};
  HRESULT hr = S_OK;
  {
    // Without the GIL: the component may call this interpreter back meanwhile.
    const py::gil_scoped_release released;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member.c_str());
    hr = object_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_SYSTEM_DEFAULT, &id);
    if (SUCCEEDED(hr)) {
      UINT badArgument = 0;
      hr = object_->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &parameters,
                           result.put(), &exception, &badArgument);
    }
  }
  const std::wstring description = takeDescription(exception);
  if (hr == DISP_E_EXCEPTION && exception.scode != 0) hr = exception.scode;
  if (FAILED(hr)) raiseAutomationError(hr, member, description);
  try {
    return fromVariant(*result.get());
  } catch (const std::invalid_argument& error) {
    raiseAutomationError(DISP_E_BADVARTYPE, member, L"the result cannot be shown in Python");
  }
}

std::uintptr_t DispatchObject::identity() const {
  if (!object_) return 0;
  return reinterpret_cast<std::uintptr_t>(object_.try_query<IUnknown>(IID_IUnknown).get());
}

void DispatchObject::release() {
  if (!object_) return;
  if (PyGILState_Check() == 0) {
    object_.reset();
    return;
  }
  const py::gil_scoped_release released;
  object_.reset();
}

}  // namespace vexora
