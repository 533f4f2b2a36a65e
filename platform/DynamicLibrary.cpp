#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace platform {

namespace {

// dlerror() clears itself when read, so the text is kept per thread for logs.
thread_local std::string lastErrorText;

void rememberLoaderError() {
  const char* text = dlerror();
  lastErrorText = text != nullptr ? text : "";
}

}  // namespace

DynamicLibrary::~DynamicLibrary() { close(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

std::uint32_t DynamicLibrary::open(const std::string& name) {
  close();
  dlerror();
  handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    rememberLoaderError();
    return kLibraryNotFound;
  }
  return 0;
}

void DynamicLibrary::close() {
  if (handle_ != nullptr) dlclose(std::exchange(handle_, nullptr));
}

void* DynamicLibrary::symbol(const std::string& name, std::uint32_t& error) const {
  error = 0;
  if (handle_ == nullptr) {
    lastErrorText = "library not open";
    error = kSymbolNotFound;
    return nullptr;
  }
  // A symbol may legitimately be null; only dlerror() tells a failure apart.
  dlerror();
  void* address = dlsym(handle_, name.c_str());
  if (address == nullptr && dlerror() != nullptr) {
    lastErrorText = "undefined symbol: " + name;
    error = kSymbolNotFound;
  } else if (address == nullptr) {
    lastErrorText = "symbol is null: " + name;
    error = kSymbolNotFound;
  }
  return address;
}

std::string DynamicLibrary::errorText() { return lastErrorText; }

}  // namespace platform
