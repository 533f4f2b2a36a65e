#pragma once
// CVxNADLLUtil: the small dynamic library loader. loadLibrary() creates one and
// loads a library by name; the object keeps the library loaded until the last
// reference to it (as IVxNALibrary or as IVxNALibModule) is gone. Names are wide
// and converted to the narrow file-system form.
//
// Failures: 87 empty name, 1627 the object could not be created, 1247 already
// loaded, 21 not loaded, 13 no module, 126 the library could not be loaded, 127
// it has no such export.
//
// Thread-safety: load() is called by one thread before the object is shared; after
// that getModule() and getProcAddress() may be called from any thread.
#include <memory>
#include <string>

#include "engine/IVxNALibrary.h"
#include "foundation/VxNAResult.h"
#include "platform/DynamicLibrary.h"

class CVxNADLLUtil final : public IVxNALibrary, public IVxNALibModule {
  struct ConstructionKey {};

 public:
  // Creates a loader and loads the named library.
  static VxNAResult<std::shared_ptr<IVxNALibrary>> loadLibrary(const std::wstring& name);

  explicit CVxNADLLUtil(ConstructionKey) {}

  VxNAResult<> load(const std::wstring& name) override;
  VxNAResult<std::shared_ptr<IVxNALibModule>> getModule() override;
  VxNAResult<void*> getProcAddress(const std::wstring& name) override;
  void* getNativeHandle() const override { return library_.nativeHandle(); }

 private:
  std::weak_ptr<CVxNADLLUtil> self_;
  bool loaded_ = false;
  platform::DynamicLibrary library_;
};
