#pragma once
// VxNAResult: what nearly every internal operation returns instead of throwing:
// an ok flag, the value the operation yields (when it yields one) and a 32-bit
// error code, 0 on success. "Fails with c" means ok false and error c.
//
//   VxNAResult<> r = doIt();                       // no value
//   VxNAResult<std::wstring> text = readText();    // a value on success
//   return VxNAFail(ERROR_INVALID_PARAMETER);      // converts to any VxNAResult<T>
#include <cstdint>
#include <utility>

struct VxNANoValue {
  bool operator==(const VxNANoValue&) const = default;
};

// A failure not yet bound to a value type.
struct VxNAFailure {
  std::uint32_t error;
};

inline VxNAFailure VxNAFail(std::uint32_t error) { return VxNAFailure{error}; }

template <class T = VxNANoValue>
struct VxNAResult {
  bool ok = true;
  T value{};
  std::uint32_t error = 0;

  VxNAResult() = default;
  VxNAResult(T v) : value(std::move(v)) {}  // NOLINT: a value converts to success
  VxNAResult(VxNAFailure failure) : ok(false), error(failure.error) {}  // NOLINT

  explicit operator bool() const { return ok; }
};

inline VxNAResult<> VxNASuccess() { return {}; }
