#pragma once
// com_ptr: owner of one counted reference of an automation interface, so that every
// early return gives its reference back and no caller counts by hand.
//
// A com_ptr is a value like a shared pointer: distinct com_ptr objects may be used
// from different threads (AddRef/Release of the interface are thread-safe); one
// com_ptr must not be changed from two threads at once.
#include <cstddef>
#include <utility>

#include "platform/automation/Unknown.h"

namespace platform::automation {

template <class T>
class com_ptr {
 public:
  com_ptr() = default;
  com_ptr(std::nullptr_t) {}
  // Takes a new reference of `raw`.
  explicit com_ptr(T* raw) : ptr_(raw) { addRef(); }
  com_ptr(const com_ptr& other) : ptr_(other.ptr_) { addRef(); }
  com_ptr(com_ptr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~com_ptr() { release(); }

  com_ptr& operator=(com_ptr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  // Adopts a reference the caller already owns (for example one handed out by
  // QueryInterface).
  static com_ptr attach(T* owned) {
    com_ptr result;
    result.ptr_ = owned;
    return result;
  }
  // Hands the reference to the caller, who must Release it.
  T* detach() { return std::exchange(ptr_, nullptr); }

  void reset() { com_ptr().swap(*this); }
  void swap(com_ptr& other) noexcept { std::swap(ptr_, other.ptr_); }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  T& operator*() const { return *ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // For out-parameters: drops the current reference and lets a function store a new one.
  T** put() {
    reset();
    return &ptr_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  // Stores a new reference in an out-parameter; S_OK, or E_POINTER for a null target.
  HRESULT copy_to(T** target) const {
    if (target == nullptr) return E_POINTER;
    *target = ptr_;
    if (ptr_ != nullptr) ptr_->AddRef();
    return S_OK;
  }

  // Another face of the object; null when it does not have `iid`.
  template <class U>
  com_ptr<U> try_query(REFIID iid) const {
    com_ptr<U> result;
    if (ptr_ != nullptr && FAILED(ptr_->QueryInterface(iid, result.put_void()))) result.reset();
    return result;
  }

 private:
  void addRef() {
    if (ptr_ != nullptr) ptr_->AddRef();
  }
  void release() {
    if (T* old = std::exchange(ptr_, nullptr)) old->Release();
  }

  T* ptr_ = nullptr;
};

template <class T, class U>
bool operator==(const com_ptr<T>& a, const com_ptr<U>& b) {
  return a.get() == b.get();
}
template <class T>
bool operator==(const com_ptr<T>& a, std::nullptr_t) {
  return a.get() == nullptr;
}

}  // namespace platform::automation
