#pragma once
// DynamicLibrary: owns one loaded shared library (dlopen) and looks up its exports
// (dlsym); the destructor unloads it. Failures are reported as the Windows error
// numbers the layers above use for them, with the loader's own text kept for logs.
//
// Thread-safety: open() and close() belong to the owner's thread; once open,
// symbol() may be called from any thread. errorText() describes the calling
// thread's last failure.
#include <cstdint>
#include <string>

namespace platform {

// The library could not be loaded (missing, unreadable or not a library).
inline constexpr std::uint32_t kLibraryNotFound = 126;
// The library has no export of that name.
inline constexpr std::uint32_t kSymbolNotFound = 127;

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;

  // Loads the library by file name (searched as the loader does) or by path, with
  // every symbol resolved now so that a broken library fails here and not later.
  // Returns 0 or kLibraryNotFound; an open library is closed first.
  std::uint32_t open(const std::string& name);
  void close();
  bool isOpen() const { return handle_ != nullptr; }
  void* nativeHandle() const { return handle_; }

  // The address of an export, or null with error set to kSymbolNotFound.
  void* symbol(const std::string& name, std::uint32_t& error) const;

  // The loader's text for the calling thread's last failure of open() or symbol().
  static std::string errorText();

 private:
  void* handle_ = nullptr;
};

}  // namespace platform
