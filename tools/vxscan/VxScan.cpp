// vxscan: scans the executable modules of this machine's running processes with
// the product's scanner kernel and engine, prints each object as it is done and
// the detections report at the end. It stands in for the command-line host until
// the automation component exists. Exit status: 0 nothing found, 1 something
// found, 2 an error.
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <iostream>
#include <mutex>

#include "kernel/VxAVScannerKernel.h"

namespace {

// Every detection category, every running process.
constexpr wchar_t kConfiguration[] =
    LR"(<scanconfig><maxscancount value="65535"/>)"
    LR"(<scantype><item type="virus"/><item type="trojan"/><item type="pup"/><item type="test"/></scantype>)"
    LR"(<source><item type="processes"/></source></scanconfig>)";

class ConsoleClient final : public IVxAVScanner_Callback {
 public:
  void progress(const std::wstring& name, std::uint32_t status, std::uint32_t percent) override {
    std::lock_guard guard(lock_);
    ++objects_;
    if (status == AV_OBJECT_STATUS_INFECTED || status == AV_OBJECT_STATUS_CLEANED) ++found_;
    std::wcout << L"[" << percent << L"%] " << name << L" " << statusText(status) << L"\n";
  }
  void onError(std::uint32_t error) override { finish(false, error); }
  void onComplete(std::uint32_t result) override { finish(true, result); }

  // Waits for the end; true with the result, or false with the error.
  std::pair<bool, std::uint32_t> wait() {
    std::unique_lock guard(lock_);
    done_.wait(guard, [this] { return finished_; });
    return {completed_, code_};
  }
  std::size_t objects() {
    std::lock_guard guard(lock_);
    return objects_;
  }
  std::size_t found() {
    std::lock_guard guard(lock_);
    return found_;
  }

 private:
  static const wchar_t* statusText(std::uint32_t status) {
    switch (status) {
      case AV_OBJECT_STATUS_OK: return L"ok";
      case AV_OBJECT_STATUS_INFECTED: return L"INFECTED";
      case AV_OBJECT_STATUS_CLEANED: return L"cleaned";
      default: return L"not verified";
    }
  }
  void finish(bool completed, std::uint32_t code) {
    std::lock_guard guard(lock_);
    completed_ = completed;
    code_ = code;
    finished_ = true;
    done_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable done_;
  bool finished_ = false;
  bool completed_ = false;
  std::uint32_t code_ = 0;
  std::size_t objects_ = 0;
  std::size_t found_ = 0;
};

void fail(const wchar_t* what, std::uint32_t code) {
  std::wcerr << L"vxscan: " << what << L" (error 0x" << std::hex << code << std::dec << L")\n";
}

}  // namespace

int main() {
  std::setlocale(LC_ALL, "");
  auto kernel = CVxAVScannerKernel::GetInstance();
  if (!kernel) {
    fail(L"cannot create the scanner kernel", kernel.error);
    return 2;
  }
  auto client = std::make_shared<ConsoleClient>();
  if (auto started = kernel.value->Init(client, kConfiguration); !started) {
    fail(L"the scanner did not start", started.error);
    return 2;
  }
  const auto begin = std::chrono::steady_clock::now();
  if (auto scan = kernel.value->Scan(false); !scan) {
    fail(L"the scan was refused", scan.error);
    kernel.value->DeInit(true);
    return 2;
  }
  const auto [completed, code] = client->wait();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin;
  int status = 0;
  if (!completed) {
    fail(L"the scan failed", code);
    status = 2;
  } else {
    std::wcout << L"Scanned " << client->objects() << L" modules in " << elapsed.count()
               << L" s, " << client->found() << L" infected\n";
    if (auto report = kernel.value->GetReport(false); report) {
      std::wcout << report.value << L"\n";
    }
    status = client->found() > 0 ? 1 : 0;
  }
  kernel.value->DeInit(true);
  return status;
}
