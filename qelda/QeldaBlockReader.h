/*
 * The file as libyara sees it: a restartable iterator over blocks of at most
 * 8 MiB, each overlapping its predecessor by 4 KiB so that a match up to that
 * length (libyara's own limit for regular expressions and hex jumps) lies wholly
 * inside some block.
 *
 * libyara walks the blocks once to match strings, and again from first()
 * whenever a condition or a module reads file data (uintN, hash, math, pe, elf).
 * The first walk asks the host before every block read, the cancel points, and
 * hashes every byte once. Later walks read a block only when it is not the one
 * already in the buffer, so that a run of uintN calls costs no I/O; they ask the
 * host before such a read and every few milliseconds in between, and a stop then
 * ends condition evaluation through the scanner's time-out.
 *
 * The format modules (pe, elf, macho, dex, dotnet) parse the file as a whole and
 * keep pointers into it until the scan ends, as they do under the yara tool,
 * which maps the whole file. While one of them loads, the iterator shows the file
 * as a single block: the block buffer itself for a file of one block, else a
 * buffer of its own, for files up to kLargestWholeView, granted by the budget all
 * concurrent scans share (QeldaWholeViewBudget.h). A larger file, or one whose
 * buffer the budget refuses or the heap cannot give, is shown to them block by
 * block, the one case where a module sees less than under yara. Files of any
 * size, 4 GiB and more, are read this way; only the whole view is capped.
 *
 * Every function libyara calls back catches what could be thrown inside it (the
 * host's stop query runs the host's callback): the fault is noted (fault()),
 * the block comes back null and evaluation ends through the time-out, as for a
 * stop; the caller reports it as the object's scan error.
 *
 * One reader serves one scan on one thread; it is not thread-safe.
 */
#ifndef QELDA_BLOCK_READER_H
#define QELDA_BLOCK_READER_H

#include "qelda/QeldaCallbackFault.h"
#include "qelda/QeldaWholeViewBudget.h"

#include <yara.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

struct evp_md_ctx_st;

namespace qelda {

inline constexpr std::size_t kBlockSize = 8u << 20;
inline constexpr std::size_t kBlockOverlap = 4096;
inline constexpr std::size_t kBlockBufferSize = kBlockSize + kBlockOverlap;
inline constexpr std::uint64_t kLargestWholeView = 512ull << 20;

class BlockReader {
 public:
  // True when the host says stop.
  using StopQuery = std::function<bool()>;

  // buffer holds kBlockBufferSize bytes; hash, when given, receives every byte of
  // the first walk; budget grants the whole view of a file of several blocks.
  BlockReader(int fd, std::uint64_t size, std::uint8_t* buffer, StopQuery stopQuery, evp_md_ctx_st* hash,
              WholeViewBudget& budget);
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // The iterator to hand to yr_scanner_scan_mem_blocks together with scanner,
  // whose time-out ends evaluation after a stop.
  YR_MEMORY_BLOCK_ITERATOR* iterator(YR_SCANNER* scanner);

  // A module starts or finishes loading (CALLBACK_MSG_IMPORT_MODULE / _IMPORTED).
  void moduleLoading(std::string_view module);
  void moduleLoaded();

  bool stopped() const { return stopped_; }
  int readError() const { return readError_; }
  bool shortRead() const { return shortRead_; }
  // An exception caught inside a callback; the scan's result is then void.
  CallbackFault fault() const { return fault_; }
  // Every byte was read, and hashed, in order.
  bool readWhole() const { return hashedUpTo_ == size_; }

 private:
  static YR_MEMORY_BLOCK* onFirst(YR_MEMORY_BLOCK_ITERATOR* iterator);
  static YR_MEMORY_BLOCK* onNext(YR_MEMORY_BLOCK_ITERATOR* iterator);
  static std::uint64_t onFileSize(YR_MEMORY_BLOCK_ITERATOR* iterator);
  static const std::uint8_t* onFetch(YR_MEMORY_BLOCK* block);
  static const std::uint8_t* onFetchWhole(YR_MEMORY_BLOCK* block);
  template <class Result>
  static Result* guarded(BlockReader* reader, Result* (BlockReader::*step)());

  YR_MEMORY_BLOCK* first();
  YR_MEMORY_BLOCK* next();
  YR_MEMORY_BLOCK* describe(std::uint64_t index);
  const std::uint8_t* fetch();
  const std::uint8_t* fetchWhole();
  bool haveWholeView();
  bool load(std::uint64_t index);
  bool readAt(std::uint8_t* into, std::uint64_t offset, std::size_t length);
  bool askHost();
  void askHostNowAndThen();
  void stop();
  void noteFault(CallbackFault fault);
  bool failed() const { return stopped_ || readError_ != 0 || shortRead_ || fault_ != CallbackFault::None; }

  int fd_;
  std::uint64_t size_;
  std::uint64_t blockCount_;
  std::uint8_t* buffer_;
  StopQuery stopQuery_;
  evp_md_ctx_st* hash_;
  WholeViewBudget& budget_;
  YR_SCANNER* scanner_ = nullptr;

  YR_MEMORY_BLOCK_ITERATOR iterator_{};
  YR_MEMORY_BLOCK block_{};
  YR_MEMORY_BLOCK wholeBlock_{};
  std::uint64_t index_ = 0;
  static constexpr std::uint64_t kNothing = ~0ull;
  std::uint64_t cached_ = kNothing;
  std::size_t cachedSize_ = 0;
  std::uint64_t hashedUpTo_ = 0;
  int walks_ = 0;

  bool showWhole_ = false;    // a format module is loading
  bool viewingWhole_ = false;  // this walk shows the file as one block
  WholeViewBudget::Grant whole_;
  bool wholeLoaded_ = false;

  std::chrono::steady_clock::time_point lastAsked_{};
  unsigned fetchesSinceClock_ = 0;

  bool stopped_ = false;
  int readError_ = 0;
  bool shortRead_ = false;
  CallbackFault fault_ = CallbackFault::None;
};

}  // namespace qelda

#endif
