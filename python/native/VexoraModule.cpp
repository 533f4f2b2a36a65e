// The native part of the vexora package: activation, automation objects and
// their members, and the status codes scripts compare with.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "native/DispatchObject.h"
#include "platform/automation/Activation.h"

namespace py = pybind11;

namespace {

using vexora::DispatchObject;

// A CLSID text ("{...}") or a ProgID.
HRESULT classOf(const std::wstring& name, CLSID& clsid) {
  if (!name.empty() && name.front() == L'{') return CLSIDFromString(name.c_str(), &clsid);
  return CLSIDFromProgID(name.c_str(), &clsid);
}

DispatchObject create(const std::wstring& name) {
  CLSID clsid{};
  if (const HRESULT hr = classOf(name, clsid); FAILED(hr)) {
    vexora::raiseAutomationError(hr, name, L"no class is registered under this name");
  }
  platform::automation::com_ptr<IDispatch> object;
  HRESULT hr = S_OK;
  {
    const py::gil_scoped_release released;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void());
  }
  if (FAILED(hr)) vexora::raiseAutomationError(hr, name, L"the object could not be created");
  return DispatchObject(std::move(object));
}

// DllCanUnloadNow of the server registered for a class: 0 (S_OK) when nothing
// of it is alive.
int serverCanUnloadNow(const std::wstring& name) {
  CLSID clsid{};
  if (const HRESULT hr = classOf(name, clsid); FAILED(hr)) vexora::raiseAutomationError(hr, name);
  const py::gil_scoped_release released;
  return platform::automation::inprocServerCanUnloadNow(clsid);
}

}  // namespace

PYBIND11_MODULE(_vexora, module) {
  module.doc() = "Automation objects of the Vexora scan component (native part of vexora)";
  py::class_<DispatchObject>(module, "DispatchObject")
      .def("invoke", &DispatchObject::invoke, py::arg("member"))
      .def("identity", &DispatchObject::identity)
      .def("release", &DispatchObject::release);
  module.def("create", &create, py::arg("name"));
  module.def("server_can_unload_now", &serverCanUnloadNow, py::arg("name"));
  const std::pair<const char*, HRESULT> codes[] = {
      {"S_OK", S_OK},
      {"E_ACCESSDENIED", E_ACCESSDENIED},
      {"E_OUTOFMEMORY", E_OUTOFMEMORY},
      {"DISP_E_UNKNOWNNAME", DISP_E_UNKNOWNNAME},
      {"DISP_E_TYPEMISMATCH", DISP_E_TYPEMISMATCH},
      {"DISP_E_BADPARAMCOUNT", DISP_E_BADPARAMCOUNT},
      {"DISP_E_OVERFLOW", DISP_E_OVERFLOW},
      {"DISP_E_EXCEPTION", DISP_E_EXCEPTION},
      {"CO_E_CLASSSTRING", CO_E_CLASSSTRING},
      {"REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG},
  };
  for (const auto& [name, code] : codes) module.attr(name) = static_cast<std::uint32_t>(code);
}
