#include "platform/automation/Activation.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <map>
#include <mutex>

#include "platform/DebugOutput.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "platform/RegistryString.h"
#include "platform/TrustedFile.h"
#include "platform/Utf8.h"
#include "platform/automation/ClassFactory.h"
#include "platform/automation/ComPtr.h"
#include "platform/automation/GlobalInterfaceTable.h"

namespace platform::automation {
namespace {

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

std::string narrow(std::wstring_view text) { return encodeUtf8(text.data(), text.size()); }

struct InprocServer {
  GetClassObjectFunction getClassObject = nullptr;
  CanUnloadNowFunction canUnloadNow = nullptr;
};

// 0 when the module may be loaded by root: a regular file reached without a
// symbolic link, and neither it nor a folder above it another user's or open to
// others' writes (TrustedFile.h). It is then loaded by path; the folders passed
// the same rule, so nobody else can put another file in its place.
std::uint32_t checkServerFile(const std::string& path) {
  if (path.empty() || path.front() != '/') return kErrorFileNotFound;
  UniqueFileDescriptor file;
  const TrustCheck check = openTrustedFile(path, O_RDONLY, 0, file);
  if (check.ok()) return 0;
  if (check.fault == TrustFault::Link) return kErrorCantResolveFilename;
  if (check.fault == TrustFault::Missing || check.fault == TrustFault::Failed) return check.windowsError();
  writeDebugOutput("in-process server refused: " + check.describe());
  return kErrorAccessDenied;
}

// The in-process servers this process has loaded, by path. Never unloaded (see
// the header).
class InprocServers {
 public:
  static InprocServers& instance() {
    static InprocServers servers;
    return servers;
  }

  HRESULT load(const std::string& path, InprocServer& server) {
    const std::lock_guard lock(mutex_);
    if (const auto found = loaded_.find(path); found != loaded_.end()) {
      server = found->second;
      return S_OK;
    }
    if (const std::uint32_t error = checkServerFile(path); error != 0) return HRESULT_FROM_WIN32(error);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return HRESULT_FROM_WIN32(126);
    server.getClassObject = reinterpret_cast<GetClassObjectFunction>(dlsym(handle, "DllGetClassObject"));
    server.canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(dlsym(handle, "DllCanUnloadNow"));
    if (server.getClassObject == nullptr) {
      dlclose(handle);
      return CO_E_ERRORINDLL;
    }
    loaded_.emplace(path, server);
    return S_OK;
  }

  bool find(const std::string& path, InprocServer& server) {
    const std::lock_guard lock(mutex_);
    const auto found = loaded_.find(path);
    if (found == loaded_.end()) return false;
    server = found->second;
    return true;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, InprocServer> loaded_;
};

}  // namespace

HRESULT inprocServerPath(REFCLSID clsid, std::wstring& path) {
  path.clear();
  const std::string key = "CLSID\\" + narrow(formatGuid(clsid)) + "\\InprocServer32";
  // A registry database refused as untrusted is not the same as a class that was
  // never registered: the caller is told which.
  if (Registry().openKey(RegistryHive::ClassesRoot, key) == kErrorAccessDenied) return E_ACCESSDENIED;
  auto registered = readRegistryString(Registry(), RegistryHive::ClassesRoot, key, "");
  if (!registered || registered->empty()) return REGDB_E_CLASSNOTREG;
  path = std::move(*registered);
  return S_OK;
}

HRESULT inprocServerCanUnloadNow(REFCLSID clsid) {
  std::wstring path;
  InprocServer server;
  if (FAILED(inprocServerPath(clsid, path)) || !InprocServers::instance().find(narrow(path), server) ||
      server.canUnloadNow == nullptr) {
    return S_OK;
  }
  return server.canUnloadNow();
}

}  // namespace platform::automation

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  const std::wstring_view progId(lpszProgID);
  const auto text = platform::readRegistryString(
      platform::Registry(), platform::RegistryHive::ClassesRoot,
      platform::encodeUtf8(progId.data(), progId.size()) + "\\CLSID", "");
  if (!text) return CO_E_CLASSSTRING;
  const auto clsid = platform::automation::parseGuid(*text);
  if (!clsid) return CO_E_CLASSSTRING;
  *lpclsid = *clsid;
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID /*pvReserved*/, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::wstring path;
  if (const HRESULT hr = platform::automation::inprocServerPath(rclsid, path); FAILED(hr)) return hr;
  platform::automation::InprocServer server;
  if (const HRESULT hr = platform::automation::InprocServers::instance().load(
          platform::automation::narrow(path), server);
      FAILED(hr)) {
    return hr;
  }
  return server.getClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid == CLSID_StdGlobalInterfaceTable) {
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    return platform::automation::globalInterfaceTable().QueryInterface(riid, ppv);
  }
  platform::automation::com_ptr<IClassFactory> factory;
  if (const HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.put_void());
      FAILED(hr)) {
    return hr;
  }
  return factory->CreateInstance(pUnkOuter, riid, ppv);
}
