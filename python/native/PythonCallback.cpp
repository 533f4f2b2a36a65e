#include "native/PythonCallback.h"

#include <algorithm>
#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "native/VariantConversion.h"
#include "platform/automation/ScriptObject.h"

namespace py = pybind11;

namespace vexora {
namespace {

// The wrapped Python object; the last owner may be any thread.
struct PythonTarget {
  py::object object;

  ~PythonTarget() {
    if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
      // Too late to give the reference back; the process is ending.
      static_cast<void>(object.release());
      return;
    }
    const py::gil_scoped_acquire gil;
    object = py::object();
  }
};

py::object orNone(const py::object& value) { return value ? value : py::none(); }

void logCallbackException(const std::wstring& method, py::error_already_set& error) {
  try {
    const py::object logger = py::module_::import("logging").attr("getLogger")("vexora");
    const py::tuple details = py::make_tuple(orNone(error.type()), orNone(error.value()), orNone(error.trace()));
    logger.attr("error")("callback %s raised an exception", method, py::arg("exc_info") = details);
  } catch (py::error_already_set& logging) {
    logging.discard_as_unraisable("vexora callback logging");
  } catch (const std::exception&) {
    // Nothing is left to tell it with.
  }
}

HRESULT callPython(const std::shared_ptr<PythonTarget>& target, const std::wstring& method,
                   std::span<const VARIANT> arguments, VARIANT* result) {
  if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) return E_UNEXPECTED;
  const py::gil_scoped_acquire gil;
  try {
    py::tuple values(arguments.size());
    for (std::size_t i = 0; i < arguments.size(); ++i) values[i] = fromVariant(arguments[i]);
    const py::object returned = target->object.attr(py::cast(method))(*values);
    // A script's return value matters to nobody here but is passed on when it
    // fits a VARIANT.
    if (py::isinstance<py::bool_>(returned) || py::isinstance<py::int_>(returned) ||
        py::isinstance<py::str>(returned)) {
      try {
        toVariant(returned, *result);
      } catch (const std::exception&) {
        VariantClear(result);
      }
    }
    return S_OK;
  } catch (py::error_already_set& error) {
    logCallbackException(method, error);
    return DISP_E_EXCEPTION;
  } catch (const std::exception&) {
    return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace

platform::automation::com_ptr<IDispatch> wrapPythonObject(const py::object& object) {
  auto target = std::make_shared<PythonTarget>();
  target->object = object;
  std::vector<platform::automation::ScriptMethod> methods;
  const py::list names = py::reinterpret_steal<py::list>(PyObject_Dir(object.ptr()));
  if (!names) throw py::error_already_set();
  for (const py::handle& entry : names) {
    const std::string name = py::str(entry);
    if (name.empty() || name.front() == '_') continue;
    if (!py::hasattr(object, name.c_str()) || !PyCallable_Check(object.attr(name.c_str()).ptr())) continue;
    const std::wstring method = entry.cast<std::wstring>();
    methods.push_back({method, [target, method](std::span<const VARIANT> arguments, VARIANT* result) {
                         return callPython(target, method, arguments, result);
                       }});
  }
  return platform::automation::makeScriptObject(std::move(methods));
}

}  // namespace vexora
