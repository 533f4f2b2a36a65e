// The scriptable test engine (see TestEngineControl.h). All state lives in one
// process-wide object under one mutex; callbacks run with the mutex released, since
// the component's callback may block, call back into the control functions or
// cancel from another thread.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tests/engine/testengine/TestEngineControl.h"

namespace {

struct CapturedParameter {
  AV_SINGLEPARAMETER record{};
  std::vector<std::uint8_t> bytes;
  std::vector<std::string> strings;
  std::vector<std::uint32_t> contextIds;
  bool hasContextIds = false;
};

struct CapturedCall {
  bool hasBlock = false;
  AV_PARAMETERS block{};
  std::uint64_t handle = 0;
  std::uint32_t initialisationSize = 0;
  std::vector<CapturedParameter> parameters;
  std::vector<std::uint32_t> answers;
};

struct Script {
  std::vector<TestEngineCallbackStep> steps;
  bool honourDecline = false;
};

constexpr std::uint32_t kNoHold = 0xFFFFFFFFu;

struct EngineState {
  std::mutex lock;
  std::condition_variable changed;
  std::uint16_t statuses[3] = {0, 0, 0};
  std::uint64_t handle = TEST_ENGINE_DEFAULT_HANDLE;
  std::uint32_t values[3] = {0, 0, 0};
  std::deque<AV_DATASETRECORD> records;  // stable addresses for the pointer array
  std::vector<const AV_DATASETRECORD*> recordPointers;
  std::uint16_t recordCount = 0;
  bool nullArray = false;
  Script scripts[3];
  std::uint32_t holdStep = kNoHold;
  std::uint32_t held = 0;
  std::uint64_t releaseGeneration = 0;
  std::deque<CapturedCall> calls[3];
};

EngineState& state() {
  static EngineState engine;
  return engine;
}

std::string copyString(std::uint64_t pointer) {
  const char* text = AV_U64_TO_PTR(const char*, pointer);
  return text != nullptr ? std::string(text) : std::string();
}

template <class Record>
void copyRecord(CapturedParameter& captured, std::uint64_t pointer) {
  if (pointer == 0) return;
  captured.bytes.resize(sizeof(Record));
  std::memcpy(captured.bytes.data(), AV_U64_TO_PTR(const void*, pointer), sizeof(Record));
}

CapturedParameter captureParameter(const AV_SINGLEPARAMETER& record) {
  CapturedParameter captured;
  captured.record = record;
  switch (record.code) {
    case AV_PARAM_ENGINE_FOLDER:
      if (record.value != 0) {
        captured.strings.push_back(copyString(record.value));
        const std::string& folder = captured.strings.back();
        captured.bytes.assign(folder.begin(), folder.end());
        captured.bytes.push_back(0);
      }
      break;
    case AV_PARAM_DATASET_FILES: {
      copyRecord<AV_DATASETFILES>(captured, record.value);
      const auto* files = AV_U64_TO_PTR(const AV_DATASETFILES*, record.value);
      const auto* paths = files != nullptr ? AV_U64_TO_PTR(const char* const*, files->files) : nullptr;
      for (std::uint16_t i = 0; paths != nullptr && i < files->count && i < 3; ++i) {
        captured.strings.push_back(paths[i] != nullptr ? paths[i] : "");
      }
      break;
    }
    case AV_PARAM_PRODUCT_INFO:
      copyRecord<AV_PRODUCTINFO>(captured, record.value);
      break;
    case AV_PARAM_OBJECT_IDENTITY: {
      copyRecord<AV_OBJECTIDENTITY>(captured, record.value);
      const auto* identity = AV_U64_TO_PTR(const AV_OBJECTIDENTITY*, record.value);
      if (identity == nullptr) break;
      captured.strings.push_back(identity->fallbackPath != 0 ? copyString(identity->fallbackPath) : "");
      captured.strings.push_back(identity->reportName != 0 ? copyString(identity->reportName) : "");
      break;
    }
    case AV_PARAM_SCAN_OBJECT: {
      copyRecord<AV_OBJECTDESCRIPTOR>(captured, record.value);
      const auto* descriptor = AV_U64_TO_PTR(const AV_OBJECTDESCRIPTOR*, record.value);
      if (descriptor == nullptr) break;
      if (descriptor->path != 0) captured.strings.push_back(copyString(descriptor->path));
      const auto* ids = AV_U64_TO_PTR(const AV_CONTEXTIDS*, descriptor->contextIds);
      if (ids != nullptr) {
        captured.hasContextIds = true;
        const auto* values = AV_U64_TO_PTR(const std::uint32_t*, ids->ids);
        if (values != nullptr) captured.contextIds.assign(values, values + ids->count);
      }
      break;
    }
    default:
      break;
  }
  return captured;
}

CapturedCall captureBlock(const AV_PARAMETERS* block) {
  CapturedCall call;
  if (block == nullptr) return call;
  call.hasBlock = true;
  call.block = *block;
  const auto* records = AV_U64_TO_PTR(const AV_SINGLEPARAMETER*, block->parameters);
  for (std::uint16_t i = 0; records != nullptr && i < block->count; ++i) {
    call.parameters.push_back(captureParameter(records[i]));
  }
  return call;
}

// Runs the entry's script through the callback of the captured block; returns the
// answers given.
std::vector<std::uint32_t> runScript(TestEngineEntry entry, const CapturedCall& call) {
  EngineState& engine = state();
  Script script;
  {
    std::lock_guard guard(engine.lock);
    script = engine.scripts[entry];
  }
  AV_CALLBACK callback = nullptr;
  AV_CALLBACKCONTEXT context{};
  for (const CapturedParameter& parameter : call.parameters) {
    if (parameter.record.code == AV_PARAM_CALLBACK) {
      callback = AV_U64_TO_PTR(AV_CALLBACK, parameter.record.value);
    }
    if (parameter.record.code == AV_PARAM_CALLBACK_CONTEXT) context = parameter.record;
  }
  std::vector<std::uint32_t> answers;
  if (callback == nullptr) return answers;
  for (std::uint32_t i = 0; i < script.steps.size(); ++i) {
    if (entry == TEST_ENGINE_SCAN_OBJECT) {
      std::unique_lock guard(engine.lock);
      if (engine.holdStep == i) {
        const std::uint64_t generation = engine.releaseGeneration;
        ++engine.held;
        engine.changed.notify_all();
        engine.changed.wait(guard, [&] { return engine.releaseGeneration != generation; });
        --engine.held;
      }
    }
    const TestEngineCallbackStep& step = script.steps[i];
    const std::uint32_t answer = callback(&context, step.message, step.argument1, step.argument2);
    answers.push_back(answer);
    if (answer == AV_CALLBACK_DECLINE && script.honourDecline) break;
  }
  return answers;
}

std::uint32_t storeCall(TestEngineEntry entry, CapturedCall call) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  engine.calls[entry].push_back(std::move(call));
  return static_cast<std::uint32_t>(engine.calls[entry].size() - 1);
}

const CapturedCall* findCall(TestEngineEntry entry, std::uint32_t call) {
  EngineState& engine = state();
  if (entry < TEST_ENGINE_INITIALISE || entry > TEST_ENGINE_CLOSE) return nullptr;
  if (call >= engine.calls[entry].size()) return nullptr;
  return &engine.calls[entry][call];
}

}  // namespace

extern "C" {

AV_ENGINE_API std::uint16_t AVInitialise(const AV_PARAMETERS* parameters,
                                         AV_INITIALISATION* initialisation) {
  CapturedCall call = captureBlock(parameters);
  call.initialisationSize = initialisation != nullptr ? initialisation->size : 0;
  call.answers = runScript(TEST_ENGINE_INITIALISE, call);
  EngineState& engine = state();
  std::uint16_t status = 0;
  {
    std::lock_guard guard(engine.lock);
    status = engine.statuses[TEST_ENGINE_INITIALISE];
    if (status == 0 && initialisation != nullptr) {
      initialisation->engineHandle = engine.handle;
      initialisation->engineVersionMajor = engine.values[0];
      initialisation->engineVersionMinor = engine.values[1];
      initialisation->engineValue = engine.values[2];
      initialisation->recordCount = engine.recordCount;
      initialisation->records =
          engine.nullArray || engine.recordPointers.empty()
              ? 0
              : AV_PTR_TO_U64(engine.recordPointers.data());
    }
  }
  storeCall(TEST_ENGINE_INITIALISE, std::move(call));
  return status;
}

AV_ENGINE_API std::uint16_t AVScanObject(std::uint64_t engineHandle,
                                         const AV_PARAMETERS* parameters, std::uint64_t) {
  CapturedCall call = captureBlock(parameters);
  call.handle = engineHandle;
  call.answers = runScript(TEST_ENGINE_SCAN_OBJECT, call);
  EngineState& engine = state();
  std::uint16_t status = 0;
  {
    std::lock_guard guard(engine.lock);
    status = engine.statuses[TEST_ENGINE_SCAN_OBJECT];
  }
  storeCall(TEST_ENGINE_SCAN_OBJECT, std::move(call));
  return status;
}

AV_ENGINE_API std::uint16_t AVClose(std::uint64_t engineHandle) {
  CapturedCall call;
  call.handle = engineHandle;
  EngineState& engine = state();
  std::uint16_t status = 0;
  {
    std::lock_guard guard(engine.lock);
    status = engine.statuses[TEST_ENGINE_CLOSE];
  }
  storeCall(TEST_ENGINE_CLOSE, std::move(call));
  return status;
}

TEST_ENGINE_API void TestEngineReset(void) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  for (int i = 0; i < 3; ++i) {
    engine.statuses[i] = 0;
    engine.values[i] = 0;
    engine.scripts[i] = Script{};
    engine.calls[i].clear();
  }
  engine.handle = TEST_ENGINE_DEFAULT_HANDLE;
  engine.records.clear();
  engine.recordPointers.clear();
  engine.recordCount = 0;
  engine.nullArray = false;
  engine.holdStep = kNoHold;
  ++engine.releaseGeneration;
  engine.changed.notify_all();
}

TEST_ENGINE_API void TestEngineSetStatus(TestEngineEntry entry, std::uint16_t status) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  engine.statuses[entry] = status;
}

TEST_ENGINE_API void TestEngineSetInitialisation(std::uint64_t handle, std::uint32_t value12,
                                                 std::uint32_t value16, std::uint32_t value20,
                                                 const AV_DATASETRECORD* records,
                                                 std::uint16_t count, int nullArray) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  engine.handle = handle;
  engine.values[0] = value12;
  engine.values[1] = value16;
  engine.values[2] = value20;
  engine.records.assign(records, records + (records != nullptr ? count : 0));
  engine.recordPointers.clear();
  for (const AV_DATASETRECORD& record : engine.records) engine.recordPointers.push_back(&record);
  engine.recordCount = count;
  engine.nullArray = nullArray != 0;
}

TEST_ENGINE_API void TestEngineSetScript(TestEngineEntry entry, const TestEngineCallbackStep* steps,
                                         std::uint32_t count, int honourDecline) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  engine.scripts[entry].steps.assign(steps, steps + (steps != nullptr ? count : 0));
  engine.scripts[entry].honourDecline = honourDecline != 0;
}

TEST_ENGINE_API void TestEngineHoldScansAtStep(std::uint32_t step) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  engine.holdStep = step;
}

TEST_ENGINE_API int TestEngineWaitForHeldScans(std::uint32_t count,
                                               std::uint32_t timeoutMilliseconds) {
  EngineState& engine = state();
  std::unique_lock guard(engine.lock);
  return engine.changed.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds),
                                 [&] { return engine.held >= count; })
             ? 1
             : 0;
}

TEST_ENGINE_API void TestEngineReleaseScans(void) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  engine.holdStep = kNoHold;
  ++engine.releaseGeneration;
  engine.changed.notify_all();
}

TEST_ENGINE_API std::uint32_t TestEngineCallCount(TestEngineEntry entry) {
  EngineState& engine = state();
  std::lock_guard guard(engine.lock);
  return static_cast<std::uint32_t>(engine.calls[entry].size());
}

TEST_ENGINE_API std::uint64_t TestEngineCallHandle(TestEngineEntry entry, std::uint32_t call) {
  std::lock_guard guard(state().lock);
  const CapturedCall* captured = findCall(entry, call);
  return captured != nullptr ? captured->handle : 0;
}

TEST_ENGINE_API std::uint32_t TestEngineInitialisationSize(std::uint32_t call) {
  std::lock_guard guard(state().lock);
  const CapturedCall* captured = findCall(TEST_ENGINE_INITIALISE, call);
  return captured != nullptr ? captured->initialisationSize : 0;
}

TEST_ENGINE_API int TestEngineBlockHeader(TestEngineEntry entry, std::uint32_t call,
                                          std::uint16_t* size, std::uint16_t* count) {
  std::lock_guard guard(state().lock);
  const CapturedCall* captured = findCall(entry, call);
  if (captured == nullptr || !captured->hasBlock) return 0;
  if (size != nullptr) *size = captured->block.size;
  if (count != nullptr) *count = captured->block.count;
  return 1;
}

TEST_ENGINE_API std::uint32_t TestEngineParameterCount(TestEngineEntry entry, std::uint32_t call) {
  std::lock_guard guard(state().lock);
  const CapturedCall* captured = findCall(entry, call);
  return captured != nullptr ? static_cast<std::uint32_t>(captured->parameters.size()) : 0;
}

TEST_ENGINE_API int TestEngineGetParameter(TestEngineEntry entry, std::uint32_t call,
                                           std::uint32_t index, TestEngineParameter* parameter) {
  std::lock_guard guard(state().lock);
  const CapturedCall* captured = findCall(entry, call);
  if (captured == nullptr || parameter == nullptr || index >= captured->parameters.size()) return 0;
  const CapturedParameter& source = captured->parameters[index];
  *parameter = TestEngineParameter{};
  parameter->record = source.record;
  parameter->bytes = source.bytes.empty() ? nullptr : source.bytes.data();
  parameter->byteCount = static_cast<std::uint32_t>(source.bytes.size());
  for (std::size_t i = 0; i < source.strings.size() && i < 3; ++i) {
    parameter->strings[i] = source.strings[i].c_str();
  }
  parameter->stringCount = static_cast<std::uint32_t>(source.strings.size());
  parameter->contextIds = source.contextIds.empty() ? nullptr : source.contextIds.data();
  parameter->contextIdCount = static_cast<std::uint32_t>(source.contextIds.size());
  parameter->hasContextIds = source.hasContextIds ? 1 : 0;
  return 1;
}

TEST_ENGINE_API std::uint32_t TestEngineAnswerCount(TestEngineEntry entry, std::uint32_t call) {
  std::lock_guard guard(state().lock);
  const CapturedCall* captured = findCall(entry, call);
  return captured != nullptr ? static_cast<std::uint32_t>(captured->answers.size()) : 0;
}

TEST_ENGINE_API std::uint32_t TestEngineAnswer(TestEngineEntry entry, std::uint32_t call,
                                               std::uint32_t index) {
  std::lock_guard guard(state().lock);
  const CapturedCall* captured = findCall(entry, call);
  if (captured == nullptr || index >= captured->answers.size()) return 0;
  return captured->answers[index];
}

}  // extern "C"
