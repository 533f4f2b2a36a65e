#include "engine/VxAVEngineLibrary.h"

#include <memory>
#include <mutex>
#include <new>

#include "engine/VxNADLLUtil.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/DynamicLibrary.h"
#include "platform/ModulePath.h"
#include "platform/RecursiveMutex.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxAVEngineLibrary";
constexpr wchar_t kBindFunction[] = L"CVxAVEngineLibrary::bind";

// The process's binding. It is never destroyed, so that engines closed during the
// process's exit still find their library.
struct ProcessBinding {
  platform::RecursiveMutex lock;
  std::shared_ptr<CVxAVEngineLibrary> library;
};

// Destroyed when this module is unloaded or the process ends: the library stays
// loaded only as long as engines still hold entry points.
ProcessBinding& processBinding() {
  static ProcessBinding binding;
  return binding;
}

VxAVEngineEntryPoints entryPointsOf(const std::shared_ptr<CVxAVEngineLibrary>& library) {
  VxAVEngineEntryPoints functions = library->functions();
  functions.library = library;
  return functions;
}

template <class Function>
VxNAResult<Function> resolve(IVxNALibrary& library, const char* name) {
  const VxNAResult<void*> address =
      library.getProcAddress(VxNATypeConversion::ansiBufferToWideString(name));
  if (!address) {
    VX_LOG(VX_LOG_ERROR, kBindFunction)
        << L"CVxAVEngineLibrary::bind - " << name << L" not found, error = " << address.error;
    return VxNAFail(address.error);
  }
  return reinterpret_cast<Function>(address.value);
}

// Marks this module for defaultLibraryPath(): its address lies in our code.
void locateThisModule() {}

}  // namespace

CVxAVEngineLibrary::CVxAVEngineLibrary(ConstructionKey, std::wstring path,
                                       std::shared_ptr<IVxNALibrary> library,
                                       VxAVEngineEntryPoints functions)
    : path_(std::move(path)), library_(std::move(library)), functions_(functions) {}

VxNAResult<std::shared_ptr<CVxAVEngineLibrary>> CVxAVEngineLibrary::bind(const std::wstring& path) {
  VxNAResult<std::shared_ptr<IVxNALibrary>> library = CVxNADLLUtil::loadLibrary(path);
  if (!library) {
    VX_LOG(VX_LOG_ERROR, kBindFunction)
        << L"CVxAVEngineLibrary::bind - loading " << path << L" failed ("
        << VxNATypeConversion::ansiBufferToWideString(platform::DynamicLibrary::errorText())
        << L"), error = " << library.error;
    return VxNAFail(library.error);
  }
  const auto initialise = resolve<AV_INITIALISE_FN>(*library.value, AV_INITIALISE_NAME);
  if (!initialise) return VxNAFail(initialise.error);
  const auto scanObject = resolve<AV_SCANOBJECT_FN>(*library.value, AV_SCANOBJECT_NAME);
  if (!scanObject) return VxNAFail(scanObject.error);
  const auto close = resolve<AV_CLOSE_FN>(*library.value, AV_CLOSE_NAME);
  if (!close) return VxNAFail(close.error);
  try {
    return std::make_shared<CVxAVEngineLibrary>(
        ConstructionKey{}, path, std::move(library.value),
        VxAVEngineEntryPoints{initialise.value, scanObject.value, close.value, nullptr});
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

VxNAResult<std::wstring> CVxAVEngineLibrary::defaultLibraryPath() {
  std::string folder;
  const std::uint32_t error =
      platform::moduleFolderOf(reinterpret_cast<const void*>(&locateThisModule), folder);
  if (error != 0 || folder.empty()) {
    VX_LOG(VX_LOG_ERROR, kBindFunction)
        << L"CVxAVEngineLibrary::bind - the folder of this module is unknown, error = " << error;
    return VxNAFail(ERROR_MOD_NOT_FOUND);
  }
  return VxNATypeConversion::ansiBufferToWideString(folder) + L"/" + kLibraryFileName;
}

VxNAResult<VxAVEngineEntryPoints> CVxAVEngineLibrary::entryPoints() {
  ProcessBinding& binding = processBinding();
  std::lock_guard guard(binding.lock);
  if (!binding.library) {
    const VxNAResult<std::wstring> path = defaultLibraryPath();
    if (!path) return VxNAFail(path.error);
    VxNAResult<std::shared_ptr<CVxAVEngineLibrary>> library = bind(path.value);
    if (!library) return VxNAFail(library.error);
    binding.library = std::move(library.value);
  }
  return entryPointsOf(binding.library);
}

VxNAResult<> CVxAVEngineLibrary::bindProcessEngine(const std::wstring& path) {
  ProcessBinding& binding = processBinding();
  std::lock_guard guard(binding.lock);
  if (binding.library) {
    if (binding.library->path() == path) return VxNASuccess();
    return VxNAFail(VX_E_ALREADY_INITIALIZED);
  }
  VxNAResult<std::shared_ptr<CVxAVEngineLibrary>> library = bind(path);
  if (!library) return VxNAFail(library.error);
  binding.library = std::move(library.value);
  return VxNASuccess();
}

std::wstring CVxAVEngineLibrary::boundPath() {
  ProcessBinding& binding = processBinding();
  std::lock_guard guard(binding.lock);
  return binding.library ? binding.library->path() : std::wstring();
}
