#include "engine/VxNADLLUtil.h"

#include <new>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"

VxNAResult<std::shared_ptr<IVxNALibrary>> CVxNADLLUtil::loadLibrary(const std::wstring& name) {
  if (name.empty()) return VxNAFail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<CVxNADLLUtil> library;
  try {
    library = std::make_shared<CVxNADLLUtil>(ConstructionKey{});
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  library->self_ = library;
  const VxNAResult<> loaded = library->load(name);
  if (!loaded) return VxNAFail(loaded.error);
  return std::shared_ptr<IVxNALibrary>(library);
}

VxNAResult<> CVxNADLLUtil::load(const std::wstring& name) {
  if (loaded_) return VxNAFail(ERROR_ALREADY_INITIALIZED);
  if (name.empty()) return VxNAFail(ERROR_INVALID_PARAMETER);
  const std::uint32_t error = library_.open(VxNATypeConversion::wideBufferToAnsiString(name));
  if (error != 0) return VxNAFail(error);
  loaded_ = true;
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<IVxNALibModule>> CVxNADLLUtil::getModule() {
  if (!loaded_) return VxNAFail(ERROR_NOT_READY);
  std::shared_ptr<CVxNADLLUtil> self = self_.lock();
  if (!self) return VxNAFail(ERROR_FUNCTION_FAILED);
  return std::shared_ptr<IVxNALibModule>(std::move(self));
}

VxNAResult<void*> CVxNADLLUtil::getProcAddress(const std::wstring& name) {
  if (!loaded_) return VxNAFail(ERROR_NOT_READY);
  if (!library_.isOpen()) return VxNAFail(ERROR_INVALID_DATA);
  if (name.empty()) return VxNAFail(ERROR_INVALID_PARAMETER);
  std::uint32_t error = 0;
  void* address = library_.symbol(VxNATypeConversion::wideBufferToAnsiString(name), error);
  if (error != 0) return VxNAFail(error);
  return address;
}
