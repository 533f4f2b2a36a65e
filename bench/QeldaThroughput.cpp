// Drives the engine library through its C interface the way the product does, for
// the whole-process comparison in engine_compare.sh. Two modes:
//
//   vx_qelda_throughput hold LIST
//     maps every regular file named in LIST executable and private, so that they
//     are modules of a running process; prints "ready PID FILES BYTES" and keeps
//     them mapped until its standard input ends.
//
//   vx_qelda_throughput scan ENGINE DATA_FOLDER LIST [THREADS]
//     starts the engine on names.dat/scan.yar/clean.dat of DATA_FOLDER and scans
//     every file of LIST with THREADS threads (default 4) taking files from one
//     shared list.
//
//   vx_qelda_throughput cancel ENGINE DATA_FOLDER FILE [CHECKPOINT]
//     measures how soon a stop requested from another thread ends the scan of
//     FILE, the stop requested after the first, a middle and the last but one
//     block, or after the CHECKPOINT-th request to go on (past the last block:
//     while the conditions run).
//
// Both print "key value" lines, the peak resident size among them.
//
// The callback answers as little as possible: go on, but decline every repair, so
// that nothing is ever deleted or quarantined.
#include "engine/VxAVEngineABI.h"
#include "platform/UniqueFileDescriptor.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> readList(const char* path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

class Mapping {
 public:
  Mapping(void* address, std::size_t size) : address_(address), size_(size) {}
  ~Mapping() {
    if (address_ != MAP_FAILED) ::munmap(address_, size_);
  }
  Mapping(Mapping&& other) noexcept : address_(other.address_), size_(other.size_) {
    other.address_ = MAP_FAILED;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  Mapping& operator=(Mapping&&) = delete;

 private:
  void* address_;
  std::size_t size_;
};

int hold(const char* listPath) {
  std::vector<Mapping> mappings;
  std::uint64_t bytes = 0;
  for (const std::string& path : readList(listPath)) {
    const platform::UniqueFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) continue;
    const auto size = static_cast<std::size_t>(info.st_size);
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd.get(), 0);
    if (address == MAP_FAILED) continue;
    mappings.emplace_back(address, size);
    bytes += size;
  }
  std::cout << "ready " << ::getpid() << ' ' << mappings.size() << ' ' << bytes << std::endl;
  char buffer[256];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  return 0;
}

class Library {
 public:
  explicit Library(const char* path) : handle_(::dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
      error = ::dlerror();
      return;
    }
    init = reinterpret_cast<AV_INITIALISE_FN>(::dlsym(handle_, AV_INITIALISE_NAME));
    scan = reinterpret_cast<AV_SCANOBJECT_FN>(::dlsym(handle_, AV_SCANOBJECT_NAME));
    close = reinterpret_cast<AV_CLOSE_FN>(::dlsym(handle_, AV_CLOSE_NAME));
  }
  ~Library() {
    if (handle_ != nullptr) ::dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  bool usable() const { return init != nullptr && scan != nullptr && close != nullptr; }

  AV_INITIALISE_FN init = nullptr;
  AV_SCANOBJECT_FN scan = nullptr;
  AV_CLOSE_FN close = nullptr;
  std::string error;

 private:
  void* handle_;
};

class Engine {
 public:
  Engine(const Library& library, const std::string& folder) : library_(library) {
    const char* files[3] = {"names.dat", "scan.yar", "clean.dat"};
    AV_DATASETFILES set{sizeof(AV_DATASETFILES), 3, 0, AV_PTR_TO_U64(files)};
    AV_PRODUCTINFO product{sizeof(AV_PRODUCTINFO), 1, 0x0409, 0};
    const AV_SINGLEPARAMETER parameters[] = {
        {16, AV_PARAM_INTERFACE_VERSION, 8, AV_INTERFACE_VERSION},
        {16, AV_PARAM_ENGINE_FOLDER, static_cast<std::uint32_t>(folder.size() + 1), AV_PTR_TO_U64(folder.c_str())},
        {16, AV_PARAM_DATASET_FILES, sizeof(AV_DATASETFILES), AV_PTR_TO_U64(&set)},
        {16, AV_PARAM_PRODUCT_INFO, 8, AV_PTR_TO_U64(&product)}};
    const AV_PARAMETERS block{sizeof(AV_PARAMETERS), 4, AV_PTR_TO_U64(parameters)};
    AV_INITIALISATION initialisation{};
    initialisation.size = sizeof(AV_INITIALISATION);
    status_ = library.init(&block, &initialisation);
    if (status_ == AV_STATUS_OK) handle_ = initialisation.engineHandle;
  }
  ~Engine() {
    if (handle_ != 0) library_.close(handle_);
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  std::uint16_t status() const { return status_; }
  std::uint64_t handle() const { return handle_; }

 private:
  const Library& library_;
  std::uint16_t status_ = 0;
  std::uint64_t handle_ = 0;
};

// What one scanning thread's callback sees. The stop fields serve the cancel
// measurement only.
struct ScanState {
  std::uint64_t detections = 0;
  std::uint64_t errors = 0;
  std::mutex lock;
  std::condition_variable changed;
  int checkpoints = 0;
  bool stopRequested = false;
  Clock::time_point stopAnswered{};
};

std::uint32_t onMessage(const AV_CALLBACKCONTEXT* context, std::uint16_t message, std::uint64_t,
                        std::uintptr_t) {
  auto* state = AV_U64_TO_PTR(ScanState*, context->value);
  switch (message) {
    case AVM_DETECTION: ++state->detections; return AV_CALLBACK_CONTINUE;
    case AVM_SCAN_ERROR: ++state->errors; return AV_CALLBACK_CONTINUE;
    case AVM_QUERY_REPAIR: return AV_CALLBACK_DECLINE;
    case AVM_QUERY_CONTINUE:
    case AVM_QUERY_CONTINUE_2: {
      std::lock_guard<std::mutex> guard(state->lock);
      if (state->stopRequested) {
        if (state->stopAnswered == Clock::time_point{}) state->stopAnswered = Clock::now();
        return AV_CALLBACK_DECLINE;
      }
      ++state->checkpoints;
      state->changed.notify_all();
      return AV_CALLBACK_CONTINUE;
    }
    default: return AV_CALLBACK_CONTINUE;
  }
}

// The parameter list the product sends for a file.
std::uint16_t scanFile(const Library& library, std::uint64_t engine, const std::string& path,
                       ScanState& state) {
  const AV_OBJECTDESCRIPTOR descriptor{sizeof(AV_OBJECTDESCRIPTOR), AV_OBJECT_KIND_FILE, 1, 0, 0,
                                       AV_PTR_TO_U64(path.c_str()),
                                       static_cast<std::uint32_t>(path.size() + 1)};
  const AV_SINGLEPARAMETER parameters[] = {
      {16, AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(&onMessage)},
      {16, AV_PARAM_CALLBACK_CONTEXT, 8, AV_PTR_TO_U64(&state)},
      {16, AV_PARAM_SCAN_OBJECT, sizeof(AV_OBJECTDESCRIPTOR), AV_PTR_TO_U64(&descriptor)},
      {16, AV_PARAM_SWITCH_502, 0, 0},
      {16, AV_PARAM_SWITCH_560, 0, 0},
      {16, AV_PARAM_SWITCH_300, 0, 0},
      {16, AV_PARAM_SWITCH_400, 0, 0},
      {16, AV_PARAM_SWITCH_401, 0, 0},
      {16, AV_PARAM_SWITCH_404, 0, 0}};
  const AV_PARAMETERS block{sizeof(AV_PARAMETERS), 9, AV_PTR_TO_U64(parameters)};
  return library.scan(engine, &block, 0);
}

struct CancelTrial {
  int afterCheckpoint = 0;
  double answeredMs = -1;  // request -> the callback's answer 1
  double returnedMs = -1;  // request -> AVScanObject returned
};

// Scans the file on its own thread and requests a stop once the scan has passed
// the given checkpoint.
CancelTrial cancelTrial(const Library& library, std::uint64_t engine, const std::string& path,
                        int afterCheckpoint) {
  CancelTrial trial;
  trial.afterCheckpoint = afterCheckpoint;
  ScanState state;
  bool done = false;
  Clock::time_point returned{};
  std::thread scanner([&] {
    scanFile(library, engine, path, state);
    std::lock_guard<std::mutex> guard(state.lock);
    returned = Clock::now();
    done = true;
    state.changed.notify_all();
  });
  Clock::time_point requested{};
  {
    std::unique_lock<std::mutex> guard(state.lock);
    state.changed.wait(guard, [&] { return done || state.checkpoints >= afterCheckpoint; });
    if (!done) {
      requested = Clock::now();
      state.stopRequested = true;
    }
    state.changed.wait(guard, [&] { return done; });
  }
  scanner.join();
  if (requested != Clock::time_point{} && state.stopAnswered != Clock::time_point{}) {
    trial.answeredMs = std::chrono::duration<double, std::milli>(state.stopAnswered - requested).count();
    trial.returnedMs = std::chrono::duration<double, std::milli>(returned - requested).count();
  }
  return trial;
}

void printPeakMemory() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  std::cout << "maxrss_kb " << usage.ru_maxrss << std::endl;
}

bool started(const Library& library, const Engine& engine, const char* enginePath) {
  if (!library.usable()) {
    std::cerr << "cannot load " << enginePath << ": " << library.error << '\n';
    return false;
  }
  if (engine.status() != AV_STATUS_OK) {
    std::cerr << "AVInitialise failed with status " << engine.status() << '\n';
    return false;
  }
  return true;
}

int scan(const char* enginePath, const std::string& folder, const char* listPath, int threads) {
  const std::vector<std::string> files = readList(listPath);
  const Library library(enginePath);
  const Engine engine(library, folder);
  if (!started(library, engine, enginePath)) return 1;

  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> failedCalls{0};
  std::vector<ScanState> states(static_cast<std::size_t>(threads));
  const auto began = Clock::now();
  std::vector<std::thread> workers;
  for (auto& state : states) {
    workers.emplace_back([&, stateOf = &state] {
      for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
        struct stat info {};
        if (::stat(files[i].c_str(), &info) == 0) bytes += static_cast<std::uint64_t>(info.st_size);
        if (scanFile(library, engine.handle(), files[i], *stateOf) != AV_STATUS_OK) ++failedCalls;
      }
    });
  }
  for (auto& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::uint64_t detections = 0;
  std::uint64_t errors = 0;
  for (const auto& state : states) {
    detections += state.detections;
    errors += state.errors;
  }
  std::cout << "files " << files.size() << "\nbytes " << bytes << "\nscan_seconds " << seconds
            << "\ndetections " << detections << "\nscan_errors " << errors << "\nfailed_calls "
            << failedCalls << '\n';

  printPeakMemory();
  return 0;
}

// Stops at checkpoints early, midway and late in the file, or at the one given.
int cancel(const char* enginePath, const std::string& folder, const std::string& file, int onlyAt) {
  const Library library(enginePath);
  const Engine engine(library, folder);
  if (!started(library, engine, enginePath)) return 1;
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    std::cerr << "cannot stat " << file << '\n';
    return 1;
  }
  constexpr std::uint64_t kBlock = 8u << 20;  // the engine asks to go on before each block
  const auto blocks = static_cast<int>((static_cast<std::uint64_t>(info.st_size) + kBlock - 1) / kBlock);
  std::vector<int> points{1, std::max(1, blocks / 2), std::max(1, blocks - 1)};
  points.erase(std::unique(points.begin(), points.end()), points.end());
  if (onlyAt > 0) points = {onlyAt};
  double worstMs = -1;
  for (const int point : points) {
    const CancelTrial trial = cancelTrial(library, engine.handle(), file, point);
    std::cout << "cancel_trial after_checkpoint=" << trial.afterCheckpoint << " answered_ms=" << trial.answeredMs
              << " returned_ms=" << trial.returnedMs << '\n';
    worstMs = std::max(worstMs, trial.returnedMs);
  }
  std::cout << "cancel_ms_max " << worstMs << '\n';
  printPeakMemory();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hold" && argc == 3) return hold(argv[2]);
  if (mode == "scan" && (argc == 5 || argc == 6)) {
    const int threads = argc == 6 ? std::max(1, std::atoi(argv[5])) : 4;
    return scan(argv[2], argv[3], argv[4], threads);
  }
  if (mode == "cancel" && (argc == 5 || argc == 6)) {
    return cancel(argv[2], argv[3], argv[4], argc == 6 ? std::atoi(argv[5]) : 0);
  }
  std::cerr << "usage: " << argv[0] << " hold LIST\n"
            << "       " << argv[0] << " scan ENGINE DATA_FOLDER LIST [THREADS]\n"
            << "       " << argv[0] << " cancel ENGINE DATA_FOLDER FILE [CHECKPOINT]\n";
  return 64;
}
