#include "qelda/QeldaYara.h"

#include "engine/VxAVEngineABI.h"

#include <yara.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace qelda {
namespace {

// yr_initialize/yr_finalize count their callers but not atomically.
std::mutex& libraryLock() {
  static std::mutex lock;
  return lock;
}

struct CompileErrors {
  int firstErrorLine = 0;
};

void onCompileMessage(int level, const char* /*file*/, int line, const YR_RULE* /*rule*/,
                      const char* /*message*/, void* userData) {
  auto* errors = static_cast<CompileErrors*>(userData);
  if (level == YARA_ERROR_LEVEL_ERROR && errors->firstErrorLine == 0) {
    errors->firstErrorLine = std::max(line, 1);
  }
}

struct MemoryStream {
  const std::string* text;
  std::size_t at = 0;
};

size_t readStream(void* buffer, size_t size, size_t count, void* userData) {
  auto* stream = static_cast<MemoryStream*>(userData);
  if (size == 0) return 0;
  const std::size_t left = stream->text->size() - stream->at;
  const std::size_t items = std::min(count, left / size);
  std::memcpy(buffer, stream->text->data() + stream->at, items * size);
  stream->at += items * size;
  return items;
}

std::uint16_t malformedScanFile(int line) {
  const auto capped = std::min<unsigned>(static_cast<unsigned>(std::max(line, 1)),
                                         AV_STATUS_MALFORMED_LINE_MAX);
  return static_cast<std::uint16_t>(AV_STATUS_SCAN_MALFORMED + capped);
}

}  // namespace

std::shared_ptr<YaraLibrary> YaraLibrary::acquire() {
  std::lock_guard<std::mutex> guard(libraryLock());
  if (yr_initialize() != ERROR_SUCCESS) return nullptr;
  return std::shared_ptr<YaraLibrary>(new (std::nothrow) YaraLibrary());
}

YaraLibrary::~YaraLibrary() {
  std::lock_guard<std::mutex> guard(libraryLock());
  yr_finalize();
}

std::unique_ptr<YaraRules> YaraRules::build(const std::string& text, std::uint16_t& status) {
  auto library = YaraLibrary::acquire();
  if (!library) {
    status = AV_STATUS_ENGINE_FAILURE;
    return nullptr;
  }
  YR_RULES* rules = nullptr;
  if (text.compare(0, 4, "YARA") == 0) {
    MemoryStream source{&text};
    YR_STREAM stream{};
    stream.user_data = &source;
    stream.read = readStream;
    const int result = yr_rules_load_stream(&stream, &rules);
    if (result != ERROR_SUCCESS) {
      status = result == ERROR_INSUFFICIENT_MEMORY ? AV_STATUS_OUT_OF_MEMORY : malformedScanFile(1);
      return nullptr;
    }
  } else {
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS) {
      status = AV_STATUS_OUT_OF_MEMORY;
      return nullptr;
    }
    std::unique_ptr<YR_COMPILER, void (*)(YR_COMPILER*)> owner(compiler, yr_compiler_destroy);
    CompileErrors errors;
    yr_compiler_set_callback(compiler, onCompileMessage, &errors);
    if (yr_compiler_add_string(compiler, text.c_str(), nullptr) != 0) {
      status = malformedScanFile(errors.firstErrorLine);
      return nullptr;
    }
    if (yr_compiler_get_rules(compiler, &rules) != ERROR_SUCCESS) {
      status = AV_STATUS_OUT_OF_MEMORY;
      return nullptr;
    }
  }
  std::unique_ptr<YaraRules> owned(new (std::nothrow) YaraRules(std::move(library), rules));
  if (!owned) {
    yr_rules_destroy(rules);
    status = AV_STATUS_OUT_OF_MEMORY;
  }
  return owned;
}

YaraRules::~YaraRules() { yr_rules_destroy(rules_); }

namespace {

size_t appendToString(const void* data, size_t size, size_t count, void* userData) try {
  static_cast<std::string*>(userData)->append(static_cast<const char*>(data), size * count);
  return count;
} catch (const std::bad_alloc&) {
  return 0;
}

}  // namespace

std::string YaraRules::compiled() const {
  std::string out;
  YR_STREAM stream{};
  stream.user_data = &out;
  stream.write = appendToString;
  if (yr_rules_save_stream(rules_, &stream) != ERROR_SUCCESS) out.clear();
  return out;
}

}  // namespace qelda
