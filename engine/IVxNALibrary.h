#pragma once
// IVxNALibrary and IVxNALibModule: a dynamically loaded library as the component
// sees it. IVxNALibrary loads one library and looks up its exports; IVxNALibModule
// stands for the loaded module itself. Both are served by CVxNADLLUtil.
//
// Thread-safety: load() by one thread before the object is shared; the other
// operations may then be called from any thread.
#include <memory>
#include <string>

#include "foundation/VxNAResult.h"

class IVxNALibModule {
 public:
  // The loader's handle of the module; null while nothing is loaded.
  virtual void* getNativeHandle() const = 0;
  virtual ~IVxNALibModule() = default;
};

class IVxNALibrary {
 public:
  // Loads the library by name with the platform's search rules. 1247 when already
  // loaded, 87 for an empty name, else the platform's error.
  virtual VxNAResult<> load(const std::wstring& name) = 0;
  // The loaded module, sharing this object's ownership; 21 while not loaded.
  virtual VxNAResult<std::shared_ptr<IVxNALibModule>> getModule() = 0;
  // The address of an export; 21 while not loaded, 13 without a module, 87 for an
  // empty name, else the platform's error.
  virtual VxNAResult<void*> getProcAddress(const std::wstring& name) = 0;
  // Unloads the library when it was loaded.
  virtual ~IVxNALibrary() = default;
};
