#include "platform/automation/GlobalInterfaceTable.h"

#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/automation/OutOfMemory.h"

namespace platform::automation {
namespace {

struct Registration {
  IUnknown* object;  // one reference owned by the table
  IID iid;
};

class StdGlobalInterfaceTable final : public IGlobalInterfaceTable {
 public:
  StdGlobalInterfaceTable() = default;
  StdGlobalInterfaceTable(const StdGlobalInterfaceTable&) = delete;
  StdGlobalInterfaceTable& operator=(const StdGlobalInterfaceTable&) = delete;

  ~StdGlobalInterfaceTable() {
    std::unordered_map<DWORD, Registration> remaining;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      remaining.swap(entries_);
    }
    for (auto& [cookie, registration] : remaining) registration.object->Release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IGlobalInterfaceTable) {
      *ppvObject = static_cast<IGlobalInterfaceTable*>(this);
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  // The table lives as long as the process; these counts mean nothing.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) override {
    if (pUnk == nullptr || pdwCookie == nullptr) return E_INVALIDARG;
    return outOfMemoryAsHResult([&] {
      std::lock_guard<std::mutex> lock(mutex_);
      const DWORD cookie = nextFreeCookie();
      // The entry first: a table that cannot hold it must not keep a reference.
      entries_.emplace(cookie, Registration{pUnk, riid});
      pUnk->AddRef();
      *pdwCookie = cookie;
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) override {
    IUnknown* object = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = entries_.find(dwCookie);
      if (found == entries_.end()) return E_INVALIDARG;
      object = found->second.object;
      entries_.erase(found);
    }
    object->Release();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    IUnknown* object = nullptr;
    bool sameInterface = false;
    {
      // The reference is taken under the lock: a concurrent revoke could otherwise
      // release the last one between the look-up and AddRef.
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = entries_.find(dwCookie);
      if (found == entries_.end()) return E_INVALIDARG;
      object = found->second.object;
      sameInterface = found->second.iid == riid;
      object->AddRef();
    }
    if (sameInterface) {
      *ppv = object;
      return S_OK;
    }
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  }

 private:
  // Cookies are not reused while registered, and 0 is never handed out, so a zeroed
  // cookie variable always means "not registered".
  DWORD nextFreeCookie() {
    do {
      ++lastCookie_;
    } while (lastCookie_ == 0 || entries_.count(lastCookie_) != 0);
    return lastCookie_;
  }

  std::mutex mutex_;
  std::unordered_map<DWORD, Registration> entries_;
  DWORD lastCookie_ = 0;
};

}  // namespace

IGlobalInterfaceTable& globalInterfaceTable() {
  static StdGlobalInterfaceTable table;
  return table;
}

}  // namespace platform::automation
