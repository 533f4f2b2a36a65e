#pragma once
// TableDispatch: the IDispatch half of a dual interface's implementation, served
// from the interface's DispatchTable. An object derives from
// TableDispatch<IVxSomething> instead of IVxSomething and passes the table once:
//
//   class CoThing : public TableDispatch<IVxThing> {
//    public:
//     CoThing() : TableDispatch<IVxThing>(thingTable()) {}
//     ...
//   };
//
// Type information is not served (GetTypeInfoCount answers 0). Thread-safety is that
// of the table (immutable) and of the object's own methods.
#include "platform/automation/DispatchTable.h"
#include "platform/automation/NoTypeInfo.h"

namespace platform::automation {

template <class Interface>
class TableDispatch : public NoTypeInfo<Interface> {
 public:
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) override {
    return table_.getIDsOfNames(riid, rgszNames, cNames, rgDispId);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) override {
    return table_.invoke(static_cast<Interface*>(this), dispIdMember, riid, wFlags, pDispParams, pVarResult,
                         puArgErr);
  }

 protected:
  explicit TableDispatch(const DispatchTable& table) : table_(table) {}
  ~TableDispatch() = default;

 private:
  const DispatchTable& table_;
};

}  // namespace platform::automation
