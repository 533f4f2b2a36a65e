#include "platform/ProcessMaps.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "platform/UniqueFileDescriptor.h"

namespace platform {

namespace {

// The kernel returns at most a page per read, more only for a longer line; a
// larger chunk costs nothing and takes such a line whole.
constexpr std::size_t kChunkBytes = 64 * 1024;
// A view this much larger than the last one needed is given back after the read,
// so that one process with huge maps does not keep the walk's memory up.
constexpr std::size_t kKeptCapacity = 1 << 20;

using Chunk = std::array<char, kChunkBytes>;

long readSome(RereadableText& source, std::span<char> into, int& error) {
  for (;;) {
    const long count = source.read(into);
    if (count >= 0) return count;
    if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
}

MapsReadStatus failure(int error) {
  if (error == ENOENT || error == ESRCH) return MapsReadStatus::Vanished;
  if (error == EACCES || error == EPERM) return MapsReadStatus::Denied;
  return MapsReadStatus::Failed;
}

// Past this size a text is given the whole limit at once: doubling its buffer
// would copy it, and for a moment hold it twice, each time it grows. The pages
// of a large reservation are touched only as the text fills them.
constexpr std::size_t kGrowAtOnceFrom = 1u << 20;

void appendWithin(std::string& text, std::string_view got, std::size_t limit) {
  const std::size_t needed = text.size() + got.size();
  if (needed > text.capacity() && needed > kGrowAtOnceFrom) text.reserve(std::max(limit, needed));
  text.append(got);
}

// One read of the whole source into `text`, within `limit` bytes.
MapsReadStatus readWhole(RereadableText& source, std::size_t limit, std::string& text, Chunk& chunk, int& error) {
  text.clear();
  for (;;) {
    const long count = readSome(source, chunk, error);
    if (count < 0) return failure(error);
    if (count == 0) return MapsReadStatus::Read;
    const auto bytes = static_cast<std::size_t>(count);
    if (bytes > limit - std::min(limit, text.size())) return MapsReadStatus::TooLarge;
    appendWithin(text, std::string_view(chunk.data(), bytes), limit);
  }
}

// What a maps text says of where what is mapped: each line up to its inode, the
// path left out. A process can rename its files endlessly, which changes the
// paths every read shows but hides no mapping; the layout changes only when the
// mappings do.
std::string layoutOf(std::string_view text) {
  constexpr int kFieldsBeforePath = 5;
  std::string layout;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    std::size_t at = 0;
    for (int field = 0; field < kFieldsBeforePath && at < line.size(); ++field) {
      at = line.find_first_not_of(' ', at);
      at = at == std::string_view::npos ? line.size() : std::min(line.find(' ', at), line.size());
    }
    layout.append(line.substr(0, at));
    layout += '\n';
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return layout;
}

}  // namespace

MapsReadStatus readStableText(RereadableText& source, const MapsReadLimits& limits, std::string& text, int& error,
                              const MapsReadObserver& eachRead) {
  error = 0;
  auto chunk = std::make_unique<Chunk>();
  const int reads = std::max(limits.reads, 2);
  std::string previousLayout;
  for (int done = 0; done < reads; ++done) {
    if (done > 0 && !source.rewind()) return failure(error = errno);
    if (const MapsReadStatus status = readWhole(source, limits.bytes, text, *chunk, error);
        status != MapsReadStatus::Read) {
      return status;
    }
    if (eachRead) eachRead(text);
    std::string layout = layoutOf(text);
    // The first read has nothing to agree with.
    if (done > 0 && layout == previousLayout) return MapsReadStatus::Read;
    previousLayout = std::move(layout);
  }
  return MapsReadStatus::Unstable;
}

namespace {

class MapsFile final : public RereadableText {
 public:
  explicit MapsFile(int pid)
      : fd_(open(("/proc/" + std::to_string(pid) + "/maps").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) {}
  bool opened() const { return fd_.valid(); }
  long read(std::span<char> into) override { return ::read(fd_.get(), into.data(), into.size()); }
  bool rewind() override { return lseek(fd_.get(), 0, SEEK_SET) == 0; }

 private:
  UniqueFileDescriptor fd_;
};

}  // namespace

MapsReadStatus ProcessMapsReader::read(int pid, const MapsReadLimits& limits, const MapsReadObserver& eachRead) {
  error_ = 0;
  if (text_.capacity() > kKeptCapacity) std::string().swap(text_);
  MapsFile file(pid);
  if (!file.opened()) {
    error_ = errno;
    return failure(error_);
  }
  return readStableText(file, limits, text_, error_, eachRead);
}

namespace {

std::string_view nextField(std::string_view& line) {
  const std::size_t begin = line.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(begin);
  const std::size_t end = std::min(line.find(' '), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

template <class T>
bool parseNumber(std::string_view text, int base, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseRange(std::string_view range, ExecutableMappingView& mapping) {
  const std::size_t dash = range.find('-');
  return dash != std::string_view::npos && parseNumber(range.substr(0, dash), 16, mapping.start) &&
         parseNumber(range.substr(dash + 1), 16, mapping.end);
}

bool parseDevice(std::string_view device, ExecutableMappingView& mapping) {
  const std::size_t colon = device.find(':');
  return colon != std::string_view::npos && parseNumber(device.substr(0, colon), 16, mapping.deviceMajor) &&
         parseNumber(device.substr(colon + 1), 16, mapping.deviceMinor);
}

}  // namespace

// "start-end perms offset dev inode    path"; the path is the rest of the line
// and may hold blanks of its own, trailing ones included.
bool parseExecutableMapping(std::string_view line, ExecutableMappingView& mapping) {
  const std::string_view range = nextField(line);
  const std::string_view perms = nextField(line);
  nextField(line);  // offset
  const std::string_view device = nextField(line);
  const std::string_view inode = nextField(line);
  const std::size_t pathBegin = line.find_first_not_of(' ');
  if (pathBegin == std::string_view::npos) return false;
  const std::string_view path = line.substr(pathBegin);
  if (perms.size() < 3 || perms[2] != 'x' || path.front() != '/') return false;
  if (!parseNumber(inode, 10, mapping.inode) || mapping.inode == 0) return false;
  if (!parseRange(range, mapping) || !parseDevice(device, mapping)) return false;
  mapping.path = path;
  return true;
}

bool forEachExecutableMapping(std::string_view mapsText,
                              const std::function<bool(const ExecutableMappingView& mapping)>& visit) {
  while (!mapsText.empty()) {
    const std::size_t end = std::min(mapsText.find('\n'), mapsText.size());
    ExecutableMappingView mapping;
    if (parseExecutableMapping(mapsText.substr(0, end), mapping) && visit(mapping)) return true;
    mapsText.remove_prefix(std::min(end + 1, mapsText.size()));
  }
  return false;
}

std::vector<ExecutableMapping> parseExecutableMappings(std::string_view mapsText) {
  std::vector<ExecutableMapping> mappings;
  forEachExecutableMapping(mapsText, [&](const ExecutableMappingView& mapping) {
    mappings.push_back(mapping.toMapping());
    return false;
  });
  std::stable_sort(mappings.begin(), mappings.end(),
                   [](const ExecutableMapping& a, const ExecutableMapping& b) { return a.start < b.start; });
  return mappings;
}

std::string decodeMapsPath(std::string_view shown) {
  constexpr std::string_view kNewline = "\\012";
  std::string decoded;
  decoded.reserve(shown.size());
  for (std::size_t at = shown.find(kNewline); at != std::string_view::npos; at = shown.find(kNewline)) {
    decoded.append(shown.substr(0, at)).push_back('\n');
    shown.remove_prefix(at + kNewline.size());
  }
  decoded.append(shown);
  return decoded;
}

}  // namespace platform
