// vxkerneldemo: runs one scanner kernel over the executable modules of this
// machine's running processes, with stand-ins for the engine (it records each
// module's size and finds nothing). It shows the kernel at work until the real
// engine and the command-line host take its place.
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>

#include "engine/IVxAVScannerConfig.h"
#include "foundation/VxNATypeConversion.h"
#include "kernel/VxAVScanObject.h"
#include "kernel/VxAVScannerKernel.h"

namespace {

class DemoEngine final : public IVxAVEngine {
 public:
  VxNAResult<VxAVEngineHandle> getHandle() override { return VxAVEngineHandle{1}; }
};

// Offers the file-backed executable mappings of every readable process.
class ProcessModulesConfig final : public IVxAVScannerXMLConfig {
 public:
  VxNAResult<> setConfiguration(const std::wstring&) override { return VxNASuccess(); }
  VxNAResult<std::uint32_t> getMaxScanCount() override { return std::uint32_t{65535}; }
  VxNAResult<> getScanTypes(std::set<std::uint32_t>& types) override {
    types = {0};
    return VxNASuccess();
  }
  VxNAResult<> getCleanTypes(std::set<std::uint32_t>& types) override {
    types.clear();
    return VxNASuccess();
  }
  VxNAResult<bool> getCollectHash() override { return false; }

  VxNAResult<> UnwrapScanSources(std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) override {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
      const std::string pid = entry.path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream maps(entry.path() / "maps");
      std::string line;
      while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode, path;
        fields >> range >> perms >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        if (perms.size() < 3 || perms[2] != 'x' || path.empty() || path[0] != '/') continue;
        auto object = std::make_shared<CVxAVScanObject>(
            VX_SCAN_OBJECT_FILE, VxNATypeConversion::ansiBufferToWideString(path));
        if (callback->OnScanSource(object)) return VxNAFail(1246);
      }
    }
    return VxNASuccess();
  }
};

class SizeRecordingScanner final : public IVxAVObjectScanner, public IVxAVScannerConfig {
 public:
  VxNAResult<> setEngine(std::shared_ptr<IVxAVEngine>) override { return VxNASuccess(); }
  VxNAResult<> setScanTypes(const std::set<std::uint16_t>& types) override {
    scanning_ = !types.empty();
    return VxNASuccess();
  }
  VxNAResult<> setCleanTypes(const std::set<std::uint16_t>&) override { return VxNASuccess(); }
  VxNAResult<> initialize() override { return VxNASuccess(); }
  VxNAResult<> reserved() override { return VxNAFail(0x42032B11); }
  VxNAResult<> setCollectHash(bool) override { return VxNASuccess(); }

  VxNAResult<> scanObject(std::shared_ptr<CVxAVScanObject> object) override {
    auto record = std::make_shared<CVxScanObjectResult>();
    record->itemName = object->getResultKey();
    struct stat info {};
    if (::stat(record->itemName.c_str(), &info) == 0) {
      record->itemSize = static_cast<std::uint32_t>(info.st_size);
      record->IsScanned = scanning_ ? 1 : 0;
    }
    std::lock_guard guard(lock_);
    (*results_)[record->itemName] = record;
    return VxNASuccess();
  }
  VxNAResult<> cancel() override { return VxNASuccess(); }
  VxNAResult<std::shared_ptr<VxScanObjectResultMap>> getResults() override {
    std::lock_guard guard(lock_);
    return results_;
  }
  VxNAResult<std::shared_ptr<CVxScanObjectResult>> getResult(const std::string& name) override {
    std::lock_guard guard(lock_);
    const auto found = results_->find(name);
    if (found == results_->end()) return VxNAFail(2);
    return found->second;
  }

 private:
  bool scanning_ = false;
  std::mutex lock_;
  std::shared_ptr<VxScanObjectResultMap> results_ = std::make_shared<VxScanObjectResultMap>();
};

class ConsoleClient final : public IVxAVScanner_Callback {
 public:
  void progress(const std::wstring& name, std::uint32_t status, std::uint32_t percent) override {
    std::lock_guard guard(lock_);
    ++objects_;
    std::wcout << L"[" << percent << L"%] " << name << L" status " << status << L"\n";
  }
  void onError(std::uint32_t error) override { finish(L"failed with error " + std::to_wstring(error)); }
  void onComplete(std::uint32_t result) override {
    finish(result == 0 ? L"completed" : L"cancelled");
  }
  std::wstring wait() {
    std::unique_lock guard(lock_);
    done_.wait(guard, [this] { return !outcome_.empty(); });
    return outcome_;
  }
  std::size_t objects() {
    std::lock_guard guard(lock_);
    return objects_;
  }

 private:
  void finish(std::wstring outcome) {
    std::lock_guard guard(lock_);
    outcome_ = std::move(outcome);
    done_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable done_;
  std::wstring outcome_;
  std::size_t objects_ = 0;
};

}  // namespace

int main() {
  std::setlocale(LC_ALL, "");
  CVxAVScannerKernelFactories factories = CVxAVScannerKernelFactories::defaults();
  factories.getAVEngine = [] {
    return VxNAResult<std::shared_ptr<IVxAVEngine>>(std::make_shared<DemoEngine>());
  };
  factories.createXMLConfig = [] {
    return VxNAResult<std::shared_ptr<IVxAVScannerXMLConfig>>(
        std::make_shared<ProcessModulesConfig>());
  };
  factories.createObjectScanner = [] {
    return VxNAResult<std::shared_ptr<IVxAVObjectScanner>>(
        std::make_shared<SizeRecordingScanner>());
  };

  auto kernel = CVxAVScannerKernel::GetInstance(factories);
  auto client = std::make_shared<ConsoleClient>();
  if (auto started = kernel.value->Init(client, L"<scanconfig/>"); !started) {
    std::wcerr << L"kernel failed to start, error " << started.error << L"\n";
    return 2;
  }
  const auto begin = std::chrono::steady_clock::now();
  if (auto scan = kernel.value->Scan(false); !scan) {
    std::wcerr << L"scan refused, error " << scan.error << L"\n";
    return 2;
  }
  const std::wstring outcome = client->wait();
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin);
  kernel.value->DeInit(true);
  std::wcout << L"Scan " << outcome << L": " << client->objects() << L" modules in "
             << elapsed.count() << L" s\n";
  return outcome == L"completed" ? 0 : 2;
}
