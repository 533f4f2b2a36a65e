#include "platform/automation/DispatchTable.h"

#include <set>

#include "platform/automation/MemberName.h"
#include "platform/automation/OutOfMemory.h"

namespace platform::automation {
namespace {

// The coerced arguments of one call, cleared on every way out.
class CoercedArguments {
 public:
  explicit CoercedArguments(std::size_t count) : values_(count) {
    for (VARIANT& v : values_) VariantInit(&v);
  }
  CoercedArguments(const CoercedArguments&) = delete;
  CoercedArguments& operator=(const CoercedArguments&) = delete;
  ~CoercedArguments() {
    for (VARIANT& v : values_) VariantClear(&v);
  }
  VARIANT* data() { return values_.data(); }
  VARIANT& operator[](std::size_t i) { return values_[i]; }

 private:
  std::vector<VARIANT> values_;
};

// Script engines pass variables by reference to a VARIANT; the value behind it is
// what the method receives.
const VARIANT* dereferenced(const VARIANT* v) {
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->byref != nullptr) return static_cast<const VARIANT*>(v->byref);
  return v;
}

HRESULT coerce(const VARIANT* source, VARTYPE type, VARIANT* target) {
  source = dereferenced(source);
  HRESULT hr = type == VT_VARIANT ? VariantCopy(target, source) : VariantChangeType(target, source, 0, type);
  if (SUCCEEDED(hr) || hr == E_OUTOFMEMORY) return hr;
  return DISP_E_TYPEMISMATCH;
}

}  // namespace

DispatchTable::DispatchTable(std::vector<DispatchMember> members) : members_(std::move(members)) {}

bool DispatchTable::consistent() const {
  std::set<DISPID> ids;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    const DispatchMember& m = members_[i];
    const std::size_t declared = m.parameters.size() + (m.retval == VT_EMPTY ? 0 : 1);
    if (declared != m.cppParameterCount || !m.call || !ids.insert(m.id).second) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (memberNamesEqual(members_[j].name, m.name)) return false;
    }
  }
  return true;
}

const DispatchMember* DispatchTable::findById(DISPID id) const {
  for (const DispatchMember& m : members_) {
    if (m.id == id) return &m;
  }
  return nullptr;
}

const DispatchMember* DispatchTable::findByName(std::wstring_view name) const {
  for (const DispatchMember& m : members_) {
    if (memberNamesEqual(m.name, name)) return &m;
  }
  return nullptr;
}

HRESULT DispatchTable::getIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) const {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  const DispatchMember* member = names[0] == nullptr ? nullptr : findByName(names[0]);
  if (member == nullptr) return DISP_E_UNKNOWNNAME;
  ids[0] = member->id;
  // Parameter names are not part of the table, so named arguments cannot be resolved.
  return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT DispatchTable::invoke(void* object, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                              VARIANT* result, UINT* argumentError) const {
  return outOfMemoryAsHResult([&] { return invokeMember(object, id, riid, flags, params, result, argumentError); });
}

HRESULT DispatchTable::invokeMember(void* object, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                                    VARIANT* result, UINT* argumentError) const {
  if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const DispatchMember* member = findById(id);
  if (member == nullptr || (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) return DISP_E_MEMBERNOTFOUND;
  if (params == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  const std::size_t count = member->parameters.size();
  if (params->cArgs != count) return DISP_E_BADPARAMCOUNT;
  if (count != 0 && params->rgvarg == nullptr) return E_INVALIDARG;

  CoercedArguments arguments(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t slot = count - 1 - i;  // rgvarg holds the last argument first
    HRESULT hr = coerce(&params->rgvarg[slot], member->parameters[i], &arguments[i]);
    if (FAILED(hr)) {
      if (argumentError != nullptr) *argumentError = static_cast<UINT>(slot);
      return hr;
    }
  }
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = member->call(object, arguments.data(), &value);
  if (result != nullptr) {
    *result = value;
  } else {
    VariantClear(&value);
  }
  return hr;
}

}  // namespace platform::automation
