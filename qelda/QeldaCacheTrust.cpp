#include "qelda/QeldaCacheTrust.h"

#include "qelda/QeldaNoFollowPath.h"
#include "qelda/QeldaSha256.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <yara/libyara.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

namespace qelda {
namespace {

// statx mask bit of the mount id that is never reused while the system runs
// (Linux 6.8); glibc headers older than the kernel do not name it yet.
constexpr unsigned kStatxMountIdUnique = 0x4000U;
#ifdef STATX_MNT_ID_UNIQUE
static_assert(STATX_MNT_ID_UNIQUE == kStatxMountIdUnique);
#endif

// The file systems whose stamps the kernel keeps itself: local, with the inode's
// size, mtime and ctime set by this kernel on every change made through it. A
// network or FUSE file system reports whatever its server says, and overlayfs
// passes on the stamps of layers that can change beneath it; those, and every file
// system not listed here, are not trusted.
struct TrustedFileSystem {
  std::uint32_t magic;  // statfs f_type
  const char* name;
};
constexpr TrustedFileSystem kTrustedFileSystems[] = {
    {0xEF53U, "ext2/ext3/ext4"},
    {0x58465342U, "xfs"},
    {0x9123683EU, "btrfs"},
    {0x01021994U, "tmpfs"},
    {0xF2F52010U, "f2fs"},
    {0x858458F6U, "ramfs"},
};

bool kernelKeepsStamps(std::uint32_t magic) {
  for (const TrustedFileSystem& known : kTrustedFileSystems) {
    if (known.magic == magic) return true;
  }
  return false;
}

// Block devices whose content is a file or a remote export that its owner can
// write without going through the file system mounted from it.
constexpr unsigned kLoopMajor = 7;
constexpr unsigned kNbdMajor = 43;

bool onImageDevice(dev_t device) {
  const unsigned deviceMajor = major(device);
  return deviceMajor == kLoopMajor || deviceMajor == kNbdMajor;
}

// The unique id of the mount `fd` was opened through; nothing when the kernel does
// not give one.
std::optional<std::uint64_t> uniqueMountId(int fd) {
  struct statx info {};
  if (::statx(fd, "", AT_EMPTY_PATH, kStatxMountIdUnique, &info) != 0) return std::nullopt;
  if ((info.stx_mask & kStatxMountIdUnique) == 0 || info.stx_mnt_id == 0) return std::nullopt;
  return info.stx_mnt_id;
}

// Whether anyone has the inode open for writing, asked with a read lease on `fd`
// (opened O_RDONLY): the kernel grants one only while no file of the inode is open
// for writing, and a shared writable mapping keeps its file open for writing
// after its descriptor was closed. The lease is dropped at once.
//
// While it is held, a writer's open breaks it, and the kernel signals the lease's
// owner, this process. The default signal, SIGIO, would end the process; SIGURG,
// set here for this open file description, is ignored unless the host handles it.
CacheTrust writersOf(int fd) {
  if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return CacheTrust::Unchecked;
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
    // EAGAIN: open for writing. EACCES: another user's file without CAP_LEASE;
    // EINVAL: leases disabled (fs.leases-enable) or not offered by the file system.
    return errno == EAGAIN ? CacheTrust::Writer : CacheTrust::Unchecked;
  }
  if (::fcntl(fd, F_SETLEASE, F_UNLCK) != 0) return CacheTrust::Unchecked;
  return CacheTrust::Trusted;
}

// ---- The runtime identity ----

constexpr std::size_t kLongestBootId = 64;
constexpr std::uint32_t kProcMagic = 0x9FA0U;
// Longest /proc/PID/maps read when an object's file is looked for, and longest
// line kept: a path is at most PATH_MAX, the fields before it are short.
constexpr std::size_t kLongestMaps = 64U << 20;
constexpr std::size_t kLongestMapsLine = 16U << 10;
// Largest object file hashed in place of a missing build-id.
constexpr std::int64_t kLargestObjectFile = std::int64_t{1} << 30;
// Longest build-id kept; GNU ld writes 16 (md5/uuid) or 20 (sha1) bytes.
constexpr std::size_t kLongestBuildId = 256;

bool readAll(int fd, std::size_t limit, std::string& out) {
  out.clear();
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (out.size() + static_cast<std::size_t>(got) > limit) return false;
    out.append(chunk, static_cast<std::size_t>(got));
  }
}

// A file of procfs, opened without following links, or an invalid Fd.
Fd openProcFile(const std::string& folder, const char* name) {
  Fd parent;
  if (openFolderNoFollow(folder, parent) != 0) return {};
  Fd file(::openat(parent.get(), name, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  struct statfs fs {};
  if (!file.valid() || ::fstatfs(file.get(), &fs) != 0 || static_cast<std::uint32_t>(fs.f_type) != kProcMagic)
    return {};
  return file;
}

// The 36 characters of the boot's UUID, without the line's end.
std::optional<std::string> bootId() {
  const Fd file = openProcFile("/proc/sys/kernel/random", "boot_id");
  std::string text;
  if (!file.valid() || !readAll(file.get(), kLongestBootId, text)) return std::nullopt;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (text.size() != 36) return std::nullopt;
  for (const char c : text) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!hex && c != '-') return std::nullopt;
  }
  return text;
}

// A loaded object (the main program or a shared object) as dl_iterate_phdr lists it.
// Filled inside the loader's lock, so it allocates nothing.
struct LoadedObject {
  std::uintptr_t address = 0;  // the address looked for, inside the object
  std::array<std::uint8_t, kLongestBuildId> buildId{};
  std::size_t buildIdSize = 0;  // 0: it has none
};

std::uint64_t roundUp(std::uint64_t value, std::uint64_t align) { return (value + align - 1) / align * align; }

// Copies the NT_GNU_BUILD_ID of the notes in [notes, notes + size) into `object`;
// false when there is none.
bool takeBuildId(const std::uint8_t* notes, std::uint64_t size, std::uint64_t align, LoadedObject& object) {
  std::uint64_t at = 0;
  while (size - at >= sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) note;
    std::memcpy(&note, notes + at, sizeof note);
    const std::uint64_t nameAt = at + sizeof note;
    const std::uint64_t descAt = nameAt + roundUp(note.n_namesz, align);
    const std::uint64_t next = descAt + roundUp(note.n_descsz, align);
    if (descAt + note.n_descsz > size) return false;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(notes + nameAt, "GNU", 4) == 0 &&
        note.n_descsz != 0 && note.n_descsz <= object.buildId.size()) {
      std::memcpy(object.buildId.data(), notes + descAt, note.n_descsz);
      object.buildIdSize = note.n_descsz;
      return true;
    }
    if (next > size) return false;
    at = next;
  }
  return false;
}

int matchObject(dl_phdr_info* info, std::size_t, void* context) {
  auto& object = *static_cast<LoadedObject*>(context);
  bool holds = false;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum && !holds; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
    holds = header.p_type == PT_LOAD && object.address - start < header.p_memsz;
  }
  if (!holds) return 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    const auto* notes = reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + header.p_vaddr);
    if (takeBuildId(notes, header.p_filesz, header.p_align == 8 ? 8 : 4, object)) break;
  }
  return 1;
}

// The loaded object whose segments hold `address`; nothing when none does.
std::optional<LoadedObject> objectHolding(std::uintptr_t address) {
  LoadedObject object;
  object.address = address;
  if (::dl_iterate_phdr(&matchObject, &object) == 0) return std::nullopt;
  return object;
}

// A line of /proc/PID/maps: "start-end perms offset major:minor inode path".
struct MapsLine {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  unsigned deviceMajor = 0;
  unsigned deviceMinor = 0;
  std::uint64_t inode = 0;
  std::string_view path;
};

std::string_view nextField(std::string_view& rest) {
  const std::size_t begin = rest.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(begin);
  const std::size_t end = std::min(rest.find(' '), rest.size());
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  return field;
}

template <typename Number>
bool parseNumber(std::string_view text, int base, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

bool parseMapsLine(std::string_view line, MapsLine& out) {
  std::string_view rest = line;
  const std::string_view range = nextField(rest);
  nextField(rest);  // permissions
  nextField(rest);  // offset
  const std::string_view device = nextField(rest);
  const std::string_view inode = nextField(rest);
  const std::size_t dash = range.find('-');
  const std::size_t colon = device.find(':');
  if (dash == std::string_view::npos || colon == std::string_view::npos) return false;
  if (!parseNumber(range.substr(0, dash), 16, out.start) || !parseNumber(range.substr(dash + 1), 16, out.end) ||
      !parseNumber(device.substr(0, colon), 16, out.deviceMajor) ||
      !parseNumber(device.substr(colon + 1), 16, out.deviceMinor) || !parseNumber(inode, 10, out.inode))
    return false;
  const std::size_t pathAt = rest.find_first_not_of(' ');
  out.path = pathAt == std::string_view::npos ? std::string_view{} : rest.substr(pathAt);
  return true;
}

// The file the kernel shows mapped at `address` in this process.
struct MappedFile {
  unsigned deviceMajor = 0;
  unsigned deviceMinor = 0;
  std::uint64_t inode = 0;
  std::string path;
};

std::optional<MappedFile> mappedFileAt(std::uintptr_t address) {
  const Fd maps = openProcFile("/proc/" + std::to_string(::getpid()), "maps");
  if (!maps.valid()) return std::nullopt;
  std::string pending;
  bool skipping = false;  // inside a line longer than kLongestMapsLine
  std::size_t total = 0;
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(maps.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    total += static_cast<std::size_t>(got);
    if (total > kLongestMaps) return std::nullopt;
    std::string_view data(chunk, static_cast<std::size_t>(got));
    while (!data.empty()) {
      const std::size_t newline = data.find('\n');
      const std::string_view piece = data.substr(0, newline);
      data = newline == std::string_view::npos ? std::string_view{} : data.substr(newline + 1);
      if (!skipping) {
        if (pending.size() + piece.size() > kLongestMapsLine) {
          skipping = true;
          pending.clear();
        } else {
          pending.append(piece);
        }
      }
      if (newline == std::string_view::npos) break;
      MapsLine line;
      if (!skipping && parseMapsLine(pending, line) && address - line.start < line.end - line.start) {
        if (line.inode == 0 || line.path.empty() || line.path.front() != '/') return std::nullopt;
        return MappedFile{line.deviceMajor, line.deviceMinor, line.inode, std::string(line.path)};
      }
      pending.clear();
      skipping = false;
    }
  }
}

// SHA-256 of the file mapped at `address`: the path the kernel shows for it,
// opened without following links, must lead to the very inode mapped.
std::optional<Sha256Digest> mappedFileDigest(std::uintptr_t address) {
  const std::optional<MappedFile> mapped = mappedFileAt(address);
  if (!mapped) return std::nullopt;
  ScannedFile file;
  if (openScannedFile(mapped->path, file) != 0) return std::nullopt;
  const struct stat& opened = file.opened;
  if (major(opened.st_dev) != mapped->deviceMajor || minor(opened.st_dev) != mapped->deviceMinor ||
      opened.st_ino != mapped->inode || opened.st_size > kLargestObjectFile)
    return std::nullopt;
  Sha256Digest digest{};
  if (digestScannedFile(file, [] { return true; }, digest) != 0) return std::nullopt;
  return digest;
}

// Each part enters the hash as a kind byte, its length (8 bytes, little-endian)
// and its bytes, so that no two different lists of parts hash the same bytes.
void addPart(Sha256& hash, char kind, const void* data, std::size_t size) {
  std::uint8_t length[8];
  for (std::size_t i = 0; i < sizeof length; ++i) length[i] = static_cast<std::uint8_t>(std::uint64_t{size} >> (8 * i));
  hash.update(&kind, 1);
  hash.update(length, sizeof length);
  hash.update(data, size);
}

// Adds the object holding `address`: its build-id ('B'), else its file's SHA-256 ('F').
bool addObject(Sha256& hash, const LoadedObject& object) {
  if (object.buildIdSize != 0) {
    addPart(hash, 'B', object.buildId.data(), object.buildIdSize);
    return true;
  }
  const std::optional<Sha256Digest> digest = mappedFileDigest(object.address);
  if (!digest) return false;
  addPart(hash, 'F', digest->data(), digest->size());
  return true;
}

// Whether the dynamic symbol at exactly `address` is an undefined one: the
// canonical PLT entry a program built without -fPIE gives a function of a shared
// object it takes the address of. That address lies in the program, not in the
// object defining the function.
bool isImportStub(const void* address) {
  Dl_info info{};
  void* entry = nullptr;
  if (::dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0) return false;
  const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
  return symbol != nullptr && info.dli_saddr == address && symbol->st_shndx == SHN_UNDEF;
}

std::optional<Sha256Digest> computeRuntimeIdentity() {
  try {
    const std::optional<std::string> boot = bootId();
    if (!boot) return std::nullopt;
    const auto engineAddress = reinterpret_cast<std::uintptr_t>(&checkCacheTrust);
    const auto yaraAddress = reinterpret_cast<std::uintptr_t>(&yr_initialize);
    if (isImportStub(reinterpret_cast<const void*>(yaraAddress))) return std::nullopt;
    const std::optional<LoadedObject> engine = objectHolding(engineAddress);
    const std::optional<LoadedObject> yara = objectHolding(yaraAddress);
    if (!engine || !yara) return std::nullopt;

    Sha256 hash;
    static constexpr char kDomain[] = "qelda verdict cache runtime identity 1";
    hash.update(kDomain, sizeof kDomain - 1);
    addPart(hash, 'T', boot->data(), boot->size());
    if (!addObject(hash, *engine) || !addObject(hash, *yara)) return std::nullopt;
    Sha256Digest identity{};
    if (!hash.finish(identity)) return std::nullopt;
    return identity;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

CacheTrustCheck checkCacheTrust(const ScannedFile& file) {
  if (file.kernelHandle) return {CacheTrust::KernelHandle, 0};
  const int fd = file.file.get();
  struct statfs fs {};
  // f_type is a 32-bit magic number, sign-extended where the field is wider.
  if (::fstatfs(fd, &fs) != 0 || !kernelKeepsStamps(static_cast<std::uint32_t>(fs.f_type)))
    return {CacheTrust::FileSystem, 0};
  if (onImageDevice(file.opened.st_dev)) return {CacheTrust::ImageDevice, 0};
  const std::optional<std::uint64_t> mountId = uniqueMountId(fd);
  if (!mountId) return {CacheTrust::NoMountId, 0};
  if (const CacheTrust writers = writersOf(fd); writers != CacheTrust::Trusted) return {writers, 0};
  return {CacheTrust::Trusted, *mountId};
}

const char* describe(CacheTrust trust) {
  switch (trust) {
    case CacheTrust::Trusted:
      return "trusted";
    case CacheTrust::KernelHandle:
      return "read through a kernel handle to a mapped file";
    case CacheTrust::FileSystem:
      return "not on a local file system whose stamps the kernel keeps";
    case CacheTrust::ImageDevice:
      return "on a loop or nbd device whose image can change underneath";
    case CacheTrust::Writer:
      return "held open for writing";
    case CacheTrust::Unchecked:
      return "writers could not be checked for";
    case CacheTrust::NoMountId:
      return "no unique mount id from the kernel";
  }
  return "unknown cache trust";
}

std::optional<std::array<std::uint8_t, 32>> cacheRuntimeIdentity() {
  // Initialised once, by whichever thread comes first; the others wait for it.
  static const std::optional<Sha256Digest> identity = computeRuntimeIdentity();
  return identity;
}

bool kernelTellsMountsApart(int folderFd) { return uniqueMountId(folderFd).has_value(); }

}  // namespace qelda
