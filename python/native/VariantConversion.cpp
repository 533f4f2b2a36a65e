#include "native/VariantConversion.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "native/DispatchObject.h"
#include "native/PythonCallback.h"

namespace py = pybind11;

namespace vexora {

void toVariant(const py::handle& value, VARIANT& target) {
  if (value.is_none()) return;
  if (py::isinstance<py::bool_>(value)) {
    target.vt = VT_BOOL;
    target.boolVal = value.cast<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
    return;
  }
  if (py::isinstance<py::int_>(value)) {
    // Python's int has no bounds; automation's integers have.
    const long long number = value.cast<long long>();
    if (number >= std::numeric_limits<LONG>::min() && number <= std::numeric_limits<LONG>::max()) {
      target.vt = VT_I4;
      target.lVal = static_cast<LONG>(number);
    } else if (number >= 0 && number <= std::numeric_limits<ULONG>::max()) {
      target.vt = VT_UI4;
      target.ulVal = static_cast<ULONG>(number);
    } else {
      throw std::overflow_error("an integer beyond 32 bits");
    }
    return;
  }
  if (py::isinstance<py::str>(value)) {
    const std::wstring text = value.cast<std::wstring>();
    target.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (target.bstrVal == nullptr) throw std::bad_alloc();
    target.vt = VT_BSTR;
    return;
  }
  if (py::isinstance<DispatchObject>(value)) {
    IDispatch* object = value.cast<DispatchObject&>().get();
    if (object == nullptr) throw std::invalid_argument("a released automation object");
    object->AddRef();
    target.vt = VT_DISPATCH;
    target.pdispVal = object;
    return;
  }
  if (py::isinstance<py::float_>(value) || py::isinstance<py::bytes>(value)) {
    throw std::invalid_argument("a value automation cannot carry");
  }
  target.pdispVal = wrapPythonObject(py::reinterpret_borrow<py::object>(value)).detach();
  if (target.pdispVal == nullptr) throw std::bad_alloc();
  target.vt = VT_DISPATCH;
}

py::object fromVariant(const VARIANT& value) {
  const bool byReference = (value.vt & VT_BYREF) != 0;
  const VARTYPE type = value.vt & ~VT_BYREF;
  if (byReference && value.byref == nullptr) return py::none();
  // The field itself, or what a VT_BYREF value points at.
  const auto read = [&]<class Field>(Field VARIANT::*field) {
    return byReference ? *static_cast<const Field*>(value.byref) : value.*field;
  };
  switch (type) {
    case VT_EMPTY:
    case VT_NULL:
      return py::none();
    case VT_BOOL:
      return py::bool_(read(&VARIANT::boolVal) != VARIANT_FALSE);
    case VT_I2:
      return py::int_(read(&VARIANT::iVal));
    case VT_I4:
      return py::int_(read(&VARIANT::lVal));
    case VT_INT:
      return py::int_(read(&VARIANT::intVal));
    case VT_UI1:
      return py::int_(read(&VARIANT::bVal));
    case VT_UI2:
      return py::int_(read(&VARIANT::uiVal));
    case VT_UI4:
      return py::int_(read(&VARIANT::ulVal));
    case VT_UINT:
      return py::int_(read(&VARIANT::uintVal));
    case VT_ERROR:
      return py::int_(read(&VARIANT::lVal));
    case VT_BSTR: {
      const BSTR text = read(&VARIANT::bstrVal);
      return py::str(py::cast(text == nullptr ? std::wstring() : std::wstring(text, SysStringLen(text))));
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IUnknown* unknown = type == VT_DISPATCH
                              ? static_cast<IUnknown*>(read(&VARIANT::pdispVal))
                              : read(&VARIANT::punkVal);
      if (unknown == nullptr) return py::none();
      platform::automation::com_ptr<IDispatch> object;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, object.put_void()))) return py::none();
      return py::cast(DispatchObject(std::move(object)));
    }
    case VT_VARIANT:
      if (byReference) return fromVariant(*static_cast<const VARIANT*>(value.byref));
      break;
    default:
      break;
  }
  throw std::invalid_argument("a VARIANT of type " + std::to_string(value.vt));
}

}  // namespace vexora
