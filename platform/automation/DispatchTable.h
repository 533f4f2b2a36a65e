#pragma once
// DispatchTable: the late-bound face of a dual interface, declared once per interface
// as a table of its methods (name, DISPID, [in] parameter types, [out,retval] type),
// as a type library would describe them. GetIDsOfNames and Invoke are served from the
// table: names compare without regard to case; Invoke takes the arguments last-first
// from DISPPARAMS, coerces each with VariantChangeType to the declared type, calls the
// C++ method and puts its retval into the result.
//
// Errors of Invoke: DISP_E_UNKNOWNINTERFACE (riid not IID_NULL), DISP_E_MEMBERNOTFOUND
// (unknown DISPID, or a property put), DISP_E_NONAMEDARGS, DISP_E_BADPARAMCOUNT,
// DISP_E_TYPEMISMATCH (with *puArgErr the index of the argument in rgvarg),
// E_OUTOFMEMORY; otherwise the method's own HRESULT.
//
// A table is immutable after construction and safe to use from any thread; the
// methods it calls state their own contract.
//
// Declaring a table:
//   static const DispatchTable table({
//       dispatchMethod(L"Scan", 3, {VT_UINT}, retval(VT_UINT), &IVxVirusScan::Scan),
//       dispatchMethod(L"Reset", 4, {}, &IVxThing::Reset),
//   });
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/automation/Dispatch.h"

namespace platform::automation {

struct DispatchMember {
  std::wstring_view name;
  DISPID id;
  std::vector<VARTYPE> parameters;  // [in] parameters, first first; VT_VARIANT takes any
  VARTYPE retval;                   // VT_EMPTY when the method has none
  std::size_t cppParameterCount;    // of the C++ method, retval included
  // Calls the method on `object` (the interface the table belongs to) with the
  // coerced arguments, first first; stores the retval in `result` (VT_EMPTY on entry).
  std::function<HRESULT(void* object, VARIANT* arguments, VARIANT* result)> call;
};

class DispatchTable {
 public:
  explicit DispatchTable(std::vector<DispatchMember> members);

  // No two members share a name or a DISPID, and every declaration matches its C++
  // method's parameter count. Tests check each table with it.
  bool consistent() const;
  std::span<const DispatchMember> members() const { return members_; }

  HRESULT getIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) const;
  HRESULT invoke(void* object, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 UINT* argumentError) const;

 private:
  HRESULT invokeMember(void* object, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params, VARIANT* result,
                       UINT* argumentError) const;
  const DispatchMember* findById(DISPID id) const;
  const DispatchMember* findByName(std::wstring_view name) const;

  std::vector<DispatchMember> members_;
};

struct RetvalType {
  VARTYPE vt;
};
inline constexpr RetvalType retval(VARTYPE vt) { return RetvalType{vt}; }

namespace dispatch_detail {

// Reads a coerced argument as the C++ parameter type of the method. UINT, ULONG, INT
// and LONG share their bits between the 4-byte VARIANT members, so one read serves
// VT_I4/VT_INT and VT_UI4/VT_UINT alike.
template <class T>
T argumentAs(VARIANT& v) {
  if constexpr (std::is_same_v<T, VARIANT>) {
    return v;
  } else if constexpr (std::is_same_v<T, BSTR>) {
    return v.bstrVal;
  } else if constexpr (std::is_same_v<T, IDispatch*>) {
    return v.pdispVal;
  } else if constexpr (std::is_same_v<T, IUnknown*>) {
    return v.punkVal;
  } else if constexpr (std::is_same_v<T, VARIANT_BOOL>) {
    return v.boolVal;
  } else {
    static_assert(std::is_integral_v<T> && sizeof(T) == 4, "unsupported automation parameter type");
    return static_cast<T>(v.ulVal);
  }
}

// Storage for the [out,retval] parameter and how it becomes the result VARIANT.
template <class T>
void storeRetval(T& value, VARTYPE vt, VARIANT* result) {
  if constexpr (std::is_same_v<T, VARIANT>) {
    *result = value;
  } else {
    result->vt = vt;
    if constexpr (std::is_same_v<T, BSTR>) {
      result->bstrVal = value;
    } else if constexpr (std::is_same_v<T, IDispatch*>) {
      result->pdispVal = value;
    } else if constexpr (std::is_same_v<T, IUnknown*>) {
      result->punkVal = value;
    } else if constexpr (std::is_same_v<T, VARIANT_BOOL>) {
      result->boolVal = value;
    } else {
      static_assert(std::is_integral_v<T> && sizeof(T) == 4, "unsupported automation retval type");
      result->ulVal = static_cast<ULONG>(value);
    }
  }
}

template <class T>
T emptyRetval() {
  if constexpr (std::is_same_v<T, VARIANT>) {
    VARIANT v;
    VariantInit(&v);
    return v;
  } else {
    return T{};
  }
}

template <class Interface, class Method, class... In, std::size_t... I>
HRESULT callIn(Interface* self, Method method, VARIANT* arguments, std::index_sequence<I...>) {
  return (self->*method)(argumentAs<In>(arguments[I])...);
}

template <class Interface, class Method, class Out, class... In, std::size_t... I>
HRESULT callInOut(Interface* self, Method method, VARIANT* arguments, Out* out, std::index_sequence<I...>) {
  return (self->*method)(argumentAs<In>(arguments[I])..., out);
}

template <class... T>
struct TypeList {};

// Splits Args... into the [in] types and the last (retval pointer) type.
template <class... Args>
struct SplitLast;
template <class Last>
struct SplitLast<Last> {
  using In = TypeList<>;
  using Out = Last;
};
template <class First, class... Rest>
struct SplitLast<First, Rest...> {
  template <class... T>
  static TypeList<First, T...> prepend(TypeList<T...>);
  using In = decltype(prepend(std::declval<typename SplitLast<Rest...>::In>()));
  using Out = typename SplitLast<Rest...>::Out;
};

template <class Interface, class Method, class Out, class... In>
std::function<HRESULT(void*, VARIANT*, VARIANT*)> retvalInvoker(Method method, VARTYPE vt, TypeList<In...>) {
  return [method, vt](void* object, VARIANT* arguments, VARIANT* result) {
    Out value = emptyRetval<Out>();
    HRESULT hr = callInOut<Interface, Method, Out, In...>(static_cast<Interface*>(object), method, arguments, &value,
                                                          std::index_sequence_for<In...>{});
    // A failed method's retval is not trusted; it stays with the method.
    if (SUCCEEDED(hr)) storeRetval(value, vt, result);
    return hr;
  };
}

}  // namespace dispatch_detail

// A method without a retval: every C++ parameter is an [in] parameter.
template <class Interface, class... Args>
DispatchMember dispatchMethod(std::wstring_view name, DISPID id, std::initializer_list<VARTYPE> parameters,
                              HRESULT (STDMETHODCALLTYPE Interface::*method)(Args...)) {
  auto call = [method](void* object, VARIANT* arguments, VARIANT*) {
    return dispatch_detail::callIn<Interface, decltype(method), Args...>(static_cast<Interface*>(object), method,
                                                                        arguments, std::index_sequence_for<Args...>{});
  };
  return DispatchMember{name, id, std::vector<VARTYPE>(parameters), VT_EMPTY, sizeof...(Args), call};
}

// A method whose last C++ parameter is its [out,retval].
template <class Interface, class... Args>
DispatchMember dispatchMethod(std::wstring_view name, DISPID id, std::initializer_list<VARTYPE> parameters,
                              RetvalType retvalType, HRESULT (STDMETHODCALLTYPE Interface::*method)(Args...)) {
  static_assert(sizeof...(Args) > 0, "a retval needs a pointer parameter");
  using Split = dispatch_detail::SplitLast<Args...>;
  using OutPointer = typename Split::Out;
  static_assert(std::is_pointer_v<OutPointer>, "the retval parameter is a pointer");
  using Out = std::remove_pointer_t<OutPointer>;
  auto call = dispatch_detail::retvalInvoker<Interface, decltype(method), Out>(method, retvalType.vt,
                                                                               typename Split::In{});
  return DispatchMember{name, id, std::vector<VARTYPE>(parameters), retvalType.vt, sizeof...(Args), call};
}

}  // namespace platform::automation
