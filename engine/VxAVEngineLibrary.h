#pragma once
// CVxAVEngineLibrary: the binding of the scan engine library, libqelda64a.so, and
// its three entry points.
//
// The component binds the library once per process, at the first use of
// entryPoints(): it looks for the library beside its own module (the shared
// library or executable that contains this code) and resolves AVInitialise,
// AVScanObject and AVClose. The entry points handed out carry a reference of the
// binding, so the library stays loaded while anybody holds them (a started engine
// holds them until it is closed); the process's own reference goes when the module
// containing this code is unloaded or the process ends. A host or a test that keeps
// the engine elsewhere calls bindProcessEngine(path) before the first use.
//
// A failed binding is not remembered: the next use tries again. Failures: 126
// (ERROR_MOD_NOT_FOUND) when the library cannot be loaded or this module's folder
// cannot be found, 127 (ERROR_PROC_NOT_FOUND) when an entry point is missing,
// 0x42032B13 when bindProcessEngine names another library than the one bound.
//
// Thread-safety: every static function is safe from any thread; a binding object
// is immutable after bind().
#include <memory>
#include <string>

#include "engine/IVxNALibrary.h"
#include "engine/VxAVEngineABI.h"
#include "foundation/VxNAResult.h"

struct VxAVEngineEntryPoints {
  AV_INITIALISE_FN AVInitialise = nullptr;
  AV_SCANOBJECT_FN AVScanObject = nullptr;
  AV_CLOSE_FN AVClose = nullptr;
  // Keeps the library loaded while the functions are in use.
  std::shared_ptr<const void> library;
};

class CVxAVEngineLibrary {
  struct ConstructionKey {};

 public:
  static constexpr wchar_t kLibraryFileName[] = L"libqelda64a.so";

  // The process's engine entry points, binding the library on first use.
  static VxNAResult<VxAVEngineEntryPoints> entryPoints();
  // Binds the process's engine to the library at path. Succeeds again for the
  // path already bound.
  static VxNAResult<> bindProcessEngine(const std::wstring& path);
  // The library the process's engine is bound to; empty while unbound.
  static std::wstring boundPath();

  // A binding of its own to the library at path, not shared with the process.
  static VxNAResult<std::shared_ptr<CVxAVEngineLibrary>> bind(const std::wstring& path);
  // Where the product's library lies: beside the module that contains this code.
  static VxNAResult<std::wstring> defaultLibraryPath();

  CVxAVEngineLibrary(ConstructionKey, std::wstring path, std::shared_ptr<IVxNALibrary> library,
                     VxAVEngineEntryPoints functions);

  const VxAVEngineEntryPoints& functions() const { return functions_; }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  std::shared_ptr<IVxNALibrary> library_;
  VxAVEngineEntryPoints functions_;
};
