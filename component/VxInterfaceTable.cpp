#include "component/VxInterfaceTable.h"

#include <cstring>
#include <new>

using platform::automation::com_ptr;

namespace {
// The table is small: a handful of interface identifiers at most.
constexpr std::size_t kBuckets = 17;
}  // namespace

std::size_t CVxInterfaceTable::IidHash::operator()(const IID& iid) const {
  std::uint64_t low = 0;
  std::memcpy(&low, iid.Data4, sizeof(low));
  return std::hash<std::uint64_t>{}((std::uint64_t{iid.Data1} << 32 | std::uint64_t{iid.Data2} << 16 | iid.Data3) ^
                                    low);
}

CVxInterfaceTable& CVxInterfaceTable::instance() {
  static CVxInterfaceTable table;
  return table;
}

CVxInterfaceTable::CVxInterfaceTable()
    : git_(platform::automation::globalInterfaceTable()), cookies_(kBuckets) {}

HRESULT CVxInterfaceTable::registerInterface(REFIID iid, IUnknown* object) {
  DWORD cookie = 0;
  const HRESULT hr = git_.RegisterInterfaceInGlobal(object, iid, &cookie);
  if (FAILED(hr)) return hr;
  DWORD replaced = 0;
  try {
    std::lock_guard guard(lock_);
    auto [entry, inserted] = cookies_.try_emplace(iid, cookie);
    if (!inserted) replaced = std::exchange(entry->second, cookie);
  } catch (const std::bad_alloc&) {
    // Not remembered, so not kept: the earlier registration stays in force.
    git_.RevokeInterfaceFromGlobal(cookie);
    return E_OUTOFMEMORY;
  }
  if (replaced != 0) git_.RevokeInterfaceFromGlobal(replaced);
  return S_OK;
}

com_ptr<IUnknown> CVxInterfaceTable::get(REFIID iid) {
  // Fetched under the lock, so a registration replaced meanwhile is never asked for
  // after its revocation; fetching only adds a reference and cannot call back.
  std::lock_guard guard(lock_);
  auto found = cookies_.find(iid);
  if (found == cookies_.end()) return nullptr;
  com_ptr<IUnknown> object;
  if (FAILED(git_.GetInterfaceFromGlobal(found->second, iid, object.put_void()))) return nullptr;
  return object;
}

void CVxInterfaceTable::revokeAll() {
  // Taken out whole (a swap needs no memory), then revoked outside the lock.
  std::unordered_map<IID, DWORD, IidHash> revoked;
  {
    std::lock_guard guard(lock_);
    revoked.swap(cookies_);
  }
  for (const auto& [iid, cookie] : revoked) git_.RevokeInterfaceFromGlobal(cookie);
}
