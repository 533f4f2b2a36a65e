#include "qelda/QeldaBlockReader.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace qelda {
namespace {

// How often condition evaluation stops to ask the host whether to go on.
constexpr auto kAskInterval = std::chrono::milliseconds(10);
// Reading the clock on every cached fetch would cost more than the fetch.
constexpr unsigned kFetchesPerClockRead = 64;

bool isFormatModule(std::string_view module) {
  static constexpr std::array<std::string_view, 5> kFormats{"pe", "elf", "macho", "dex", "dotnet"};
  return std::find(kFormats.begin(), kFormats.end(), module) != kFormats.end();
}

BlockReader* readerOf(YR_MEMORY_BLOCK_ITERATOR* iterator) { return static_cast<BlockReader*>(iterator->context); }

// How many of the `length` bytes at `offset` lie in a hole before the next data,
// which reads as zeros and so needs no read: a sparse disk image of gigabytes
// costs a memset instead of a copy of zeros out of the kernel. 0 when data starts
// at offset or the file system cannot tell. A hole up to the end of the file
// counts only up to its present size, so that a file cut short is still read,
// and found short.
std::size_t leadingHole(int fd, std::uint64_t offset, std::size_t length) {
  const off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data >= 0) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(data) - offset, length));
  }
  struct stat info {};
  if (errno != ENXIO || ::fstat(fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < offset) return 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(info.st_size) - offset, length));
}

}  // namespace

BlockReader::BlockReader(int fd, std::uint64_t size, std::uint8_t* buffer, StopQuery stopQuery,
                         evp_md_ctx_st* hash, WholeViewBudget& budget)
    : fd_(fd),
      size_(size),
      blockCount_(size == 0 ? 1 : (size + kBlockSize - 1) / kBlockSize),
      buffer_(buffer),
      stopQuery_(std::move(stopQuery)),
      hash_(hash),
      budget_(budget) {
  iterator_.context = this;
  iterator_.first = onFirst;
  iterator_.next = onNext;
  iterator_.file_size = onFileSize;
  iterator_.last_error = ERROR_SUCCESS;
  block_.context = this;
  block_.fetch_data = onFetch;
  wholeBlock_.context = this;
  wholeBlock_.fetch_data = onFetchWhole;
  wholeBlock_.base = 0;
  wholeBlock_.size = static_cast<std::size_t>(size);
}

YR_MEMORY_BLOCK_ITERATOR* BlockReader::iterator(YR_SCANNER* scanner) {
  scanner_ = scanner;
  return &iterator_;
}

void BlockReader::moduleLoading(std::string_view module) {
  showWhole_ = isFormatModule(module) && size_ <= kLargestWholeView;
}

void BlockReader::moduleLoaded() { showWhole_ = false; }

// libyara calls these; nothing may be thrown back into it. A failure is noted
// and libyara sees the end of the data.
template <class Result>
Result* BlockReader::guarded(BlockReader* reader, Result* (BlockReader::*step)()) {
  try {
    return (reader->*step)();
  } catch (...) {
    reader->noteFault(currentFault());
    return nullptr;
  }
}

YR_MEMORY_BLOCK* BlockReader::onFirst(YR_MEMORY_BLOCK_ITERATOR* iterator) {
  return guarded(readerOf(iterator), &BlockReader::first);
}

YR_MEMORY_BLOCK* BlockReader::onNext(YR_MEMORY_BLOCK_ITERATOR* iterator) {
  return guarded(readerOf(iterator), &BlockReader::next);
}

std::uint64_t BlockReader::onFileSize(YR_MEMORY_BLOCK_ITERATOR* iterator) { return readerOf(iterator)->size_; }

const std::uint8_t* BlockReader::onFetch(YR_MEMORY_BLOCK* block) {
  return guarded(static_cast<BlockReader*>(block->context), &BlockReader::fetch);
}

const std::uint8_t* BlockReader::onFetchWhole(YR_MEMORY_BLOCK* block) {
  return guarded(static_cast<BlockReader*>(block->context), &BlockReader::fetchWhole);
}

YR_MEMORY_BLOCK* BlockReader::first() {
  ++walks_;
  if (failed()) return nullptr;
  viewingWhole_ = showWhole_ && haveWholeView();
  if (viewingWhole_) return &wholeBlock_;
  return describe(0);
}

YR_MEMORY_BLOCK* BlockReader::next() {
  if (failed() || viewingWhole_ || index_ + 1 >= blockCount_) return nullptr;
  return describe(index_ + 1);
}

// The block buffer serves a file of one block; a larger file needs a buffer of
// its own, taken once and kept to the end of the scan, since a module keeps
// pointers into what it parsed.
bool BlockReader::haveWholeView() {
  if (blockCount_ == 1 || whole_) return true;
  whole_ = budget_.take(static_cast<std::size_t>(size_));
  return static_cast<bool>(whole_);
}

YR_MEMORY_BLOCK* BlockReader::describe(std::uint64_t index) {
  index_ = index;
  const std::uint64_t start = index * kBlockSize;
  const std::uint64_t base = index == 0 ? 0 : start - kBlockOverlap;
  block_.base = base;
  block_.size = static_cast<std::size_t>(std::min<std::uint64_t>(size_, start + kBlockSize) - base);
  return &block_;
}

const std::uint8_t* BlockReader::fetch() {
  if (failed()) return nullptr;
  if (cached_ == index_) {
    if (walks_ > 1) askHostNowAndThen();
    return stopped_ ? nullptr : buffer_;
  }
  if (askHost()) return nullptr;
  return load(index_) ? buffer_ : nullptr;
}

const std::uint8_t* BlockReader::fetchWhole() {
  if (failed()) return nullptr;
  if (blockCount_ == 1) {
    // The block buffer never holds anything else, so it can be shown as the file.
    if (cached_ == 0) return buffer_;
    if (askHost()) return nullptr;
    return load(0) ? buffer_ : nullptr;
  }
  if (wholeLoaded_) return whole_.data();
  if (!whole_) return nullptr;  // first() showed the whole block only with a grant
  for (std::uint64_t offset = 0; offset < size_; offset += kBlockSize) {
    if (askHost()) return nullptr;
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, size_ - offset));
    if (!readAt(whole_.data() + offset, offset, length)) return nullptr;
  }
  wholeLoaded_ = true;
  return whole_.data();
}

bool BlockReader::load(std::uint64_t index) {
  const std::uint64_t start = index * kBlockSize;
  const std::uint64_t end = std::min<std::uint64_t>(size_, start + kBlockSize);
  std::size_t kept = 0;
  if (index != 0) {
    if (cached_ == index - 1) {
      // The previous block's tail is this block's head: only new bytes are read.
      std::memmove(buffer_, buffer_ + cachedSize_ - kBlockOverlap, kBlockOverlap);
      kept = kBlockOverlap;
    } else {
      cached_ = kNothing;
      if (!readAt(buffer_, start - kBlockOverlap, kBlockOverlap)) return false;
      kept = kBlockOverlap;
    }
  }
  cached_ = kNothing;
  const auto fresh = static_cast<std::size_t>(end - start);
  if (!readAt(buffer_ + kept, start, fresh)) return false;
  if (hashedUpTo_ == start) {
    if (hash_ != nullptr) EVP_DigestUpdate(hash_, buffer_ + kept, fresh);
    hashedUpTo_ = end;
  }
  cached_ = index;
  cachedSize_ = kept + fresh;
  return true;
}

bool BlockReader::readAt(std::uint8_t* into, std::uint64_t offset, std::size_t length) {
  std::size_t got = leadingHole(fd_, offset, length);
  std::memset(into, 0, got);
  while (got < length) {
    const ssize_t n = ::pread(fd_, into + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readError_ = errno;
      iterator_.last_error = ERROR_COULD_NOT_READ_FILE;
      return false;
    }
    if (n == 0) {
      shortRead_ = true;
      iterator_.last_error = ERROR_COULD_NOT_READ_FILE;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool BlockReader::askHost() {
  lastAsked_ = std::chrono::steady_clock::now();
  fetchesSinceClock_ = 0;
  if (!stopQuery_()) return false;
  stop();
  return true;
}

void BlockReader::askHostNowAndThen() {
  if (++fetchesSinceClock_ < kFetchesPerClockRead) return;
  fetchesSinceClock_ = 0;
  if (std::chrono::steady_clock::now() - lastAsked_ >= kAskInterval) askHost();
}

void BlockReader::noteFault(CallbackFault fault) {
  if (fault_ == CallbackFault::None) fault_ = fault;
  iterator_.last_error = fault == CallbackFault::OutOfMemory ? ERROR_INSUFFICIENT_MEMORY : ERROR_INTERNAL_FATAL_ERROR;
  // Evaluation stops as for a stop: the result of this scan is void.
  if (scanner_ != nullptr) scanner_->timeout = 1;
}

void BlockReader::stop() {
  stopped_ = true;
  iterator_.last_error = ERROR_SCAN_TIMEOUT;
  // Condition evaluation reads the time-out every hundred instructions; one
  // nanosecond ends it at the next check.
  if (scanner_ != nullptr) scanner_->timeout = 1;
}

}  // namespace qelda
