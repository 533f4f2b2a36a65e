#pragma once
// UniqueBstr: sole owner of a BSTR, freed on destruction.
//
// A value type; one object must not be changed from two threads at once.
#include <string>
#include <string_view>
#include <utility>

#include "platform/automation/Bstr.h"

namespace platform::automation {

class UniqueBstr {
 public:
  UniqueBstr() = default;
  // A copy of `text`, embedded NULs included; holds null when memory ran out, which
  // `copied` tells apart from an empty text.
  explicit UniqueBstr(std::wstring_view text)
      : bstr_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  UniqueBstr(UniqueBstr&& other) noexcept : bstr_(other.release()) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueBstr() { reset(); }

  static UniqueBstr attach(BSTR owned) {
    UniqueBstr result;
    result.bstr_ = owned;
    return result;
  }

  bool copied() const { return bstr_ != nullptr; }
  BSTR get() const { return bstr_; }
  BSTR release() { return std::exchange(bstr_, nullptr); }
  void reset(BSTR owned = nullptr) { SysFreeString(std::exchange(bstr_, owned)); }
  // For out-parameters: frees the current text and lets a function store a new one.
  BSTR* put() {
    reset();
    return &bstr_;
  }

  UINT length() const { return SysStringLen(bstr_); }
  std::wstring_view view() const { return std::wstring_view(bstr_ == nullptr ? L"" : bstr_, length()); }

 private:
  BSTR bstr_ = nullptr;
};

}  // namespace platform::automation
