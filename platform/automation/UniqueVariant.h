#pragma once
// UniqueVariant: a VARIANT that clears itself, so the BSTR or interface reference it
// holds is given back on every path.
//
// A value type; one object must not be changed from two threads at once.
#include <string_view>

#include "platform/automation/Variant.h"

namespace platform::automation {

class UniqueVariant {
 public:
  UniqueVariant() { VariantInit(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { VariantClear(&value_); }

  VARIANT* get() { return &value_; }
  const VARIANT* get() const { return &value_; }
  VARIANT* operator->() { return &value_; }
  const VARIANT* operator->() const { return &value_; }
  // For out-parameters: clears the current value first.
  VARIANT* put() {
    VariantClear(&value_);
    return &value_;
  }
  // Hands the value over (the caller clears it) and leaves VT_EMPTY.
  VARIANT release() {
    VARIANT out = value_;
    VariantInit(&value_);
    return out;
  }

 private:
  VARIANT value_;
};

}  // namespace platform::automation
