// The engine library through its C interface, loaded by path as the component does.
#include "engine/VxAVEngineABI.h"
#include "tests/qelda/QeldaEngineFixture.h"
#include "qelda/QeldaCleaner.h"
#include "tests/support/DetectionSamples.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qeldatest;
namespace fs = std::filesystem;

TEST_F(QeldaEngine, StartFillsInitialisationRecord) {
  ASSERT_EQ(start(), 0);
  EXPECT_NE(std::uint64_t{init.engineHandle}, 0u);  // packed fields are copied, never bound
  EXPECT_EQ(std::uint32_t{init.engineVersionMajor}, 1u);
  ASSERT_GE(std::uint16_t{init.recordCount}, 1);
  const auto* const* records = AV_U64_TO_PTR(const AV_DATASETRECORD* const*, init.records);
  EXPECT_EQ(std::uint32_t{records[0]->versionMajor}, 1u);
  EXPECT_EQ(std::uint32_t{records[0]->versionMinor}, 0u);
}

TEST_F(QeldaEngine, CleanFileSequence) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const auto path = write("clean.txt", "nothing here");
  ASSERT_EQ(scanFile(path, r), 0);
  EXPECT_EQ(codes(r), (std::vector<std::uint16_t>{1061, 1041, 1042, 1031, 1036, 1033, 1056, 1064, 1049}));
  EXPECT_EQ(r.messages[0].first, AV_ITEM_TYPE_FILE);
  EXPECT_EQ(r.messages[1].text, path);
  EXPECT_EQ(static_cast<std::uint32_t>(r.messages[2].second), 12u);
  EXPECT_EQ(find(r, 1064)->second, AV_SUMMARY_CLEAN);
}

TEST_F(QeldaEngine, TestFileIsDetectedAndDeleted) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const auto path = write("eicar.com", eicar());
  ASSERT_EQ(scanFile(path, r, true), 0);
  EXPECT_EQ(codes(r), (std::vector<std::uint16_t>{1061, 1041, 1042, 1031, 1036, 1033, 1056, 1045, 1032,
                                                  1047, 1180, 1064, 1049}));
  EXPECT_EQ(find(r, 1045)->text, "Test.EICAR");
  EXPECT_EQ(find(r, 1045)->first, 6u);
  EXPECT_EQ(find(r, 1047)->second, AV_ACTION_DELETED);
  EXPECT_EQ(find(r, 1180)->first, 32u);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(QeldaEngine, DeclinesAndSkips) {
  ASSERT_EQ(start(), 0);
  const auto path = write("eicar.com", eicar());
  for (std::uint16_t decline : {1031, 1032, 1033, 1056}) {
    Recorder r;
    r.declineAt = decline;
    ASSERT_EQ(scanFile(path, r), 0);
    EXPECT_EQ(find(r, 1045) != nullptr, decline == 1032) << decline;
    EXPECT_EQ(find(r, 1047), nullptr) << decline;
    EXPECT_EQ(codes(r).back(), 1049) << decline;
    EXPECT_TRUE(fs::exists(path)) << decline;
  }
}

TEST_F(QeldaEngine, QuarantineAndRestore) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const std::string content = "xx " + vxtest::trojanMarker() + " yy";
  const auto path = write("trojan.bin", content);
  ASSERT_EQ(scanFile(path, r), 0);
  ASSERT_NE(find(r, 1047), nullptr);
  EXPECT_EQ(find(r, 1047)->second, AV_ACTION_QUARANTINED);
  EXPECT_FALSE(fs::exists(path));
  const fs::path folder = qelda::quarantineFolder();
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  std::vector<qelda::QuarantinedItem> items;
  ASSERT_EQ(qelda::listQuarantine(items), 0);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].record.detection, "Qelda.Test.Trojan");
  ASSERT_EQ(qelda::restoreFromQuarantine(items[0].id), 0);
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
}

// The test file (delete) followed by the virus marker (quarantine): each is
// offered on its own, and only what the host agreed to is done.
TEST_F(QeldaEngine, TwoDetectionsGetOnlyTheActionTheHostAgreedTo) {
  struct Case {
    const char* what;
    int declineOccurrence;  // which 1032 to decline; -1 none, 0 every one
    std::uint16_t action;   // 0: none taken
  } cases[] = {{"both agreed: the stronger", -1, AV_ACTION_DELETED},
               {"delete declined", 1, AV_ACTION_QUARANTINED},
               {"quarantine declined", 2, AV_ACTION_DELETED},
               {"both declined", 0, 0}};
  ASSERT_EQ(start(), 0);
  for (const auto& c : cases) {
    const auto path = write("two.com", eicar() + " " + vxtest::virusMarker());
    fs::remove_all(qelda::quarantineFolder());
    Recorder r;
    if (c.declineOccurrence >= 0) r.declineAt = AVM_QUERY_REPAIR;
    r.declineOccurrence = std::max(c.declineOccurrence, 0);
    ASSERT_EQ(scanFile(path, r), 0) << c.what;
    const auto sequence = codes(r);
    EXPECT_EQ(std::vector<std::uint16_t>(sequence.begin() + 7, sequence.begin() + 11),
              (std::vector<std::uint16_t>{1045, 1032, 1045, 1032}))
        << c.what;
    const Message* action = find(r, AVM_ACTION);
    EXPECT_EQ(action == nullptr ? 0 : action->second, c.action) << c.what;
    EXPECT_EQ(fs::exists(path), c.action == 0) << c.what;
    std::size_t quarantined = 0;
    std::error_code none;
    for (const auto& e : fs::directory_iterator(qelda::quarantineFolder(), none)) {
      quarantined += e.path().extension() == ".qdata" ? 1 : 0;
    }
    EXPECT_EQ(quarantined, c.action == AV_ACTION_QUARANTINED ? 1u : 0u) << c.what;
    EXPECT_EQ(find(r, 1064)->second, c.action == 0 ? AV_SUMMARY_INFECTED : AV_SUMMARY_REPAIRED) << c.what;
  }
}

// A stop answered while conditions read the file ends the object as not scanned,
// without a verdict; the first 1033 after the three block reads comes from the
// condition's own read.
TEST_F(QeldaEngine, StopDuringConditionEvaluationEndsTheObject) {
  const fs::path data = dir / "data";
  fs::create_directories(data);
  std::ofstream(data / "scan.yar") << "rule Reads { condition: for all i in (0..filesize - 1): (uint8(i) != 0xFF) }\n";
  std::ofstream(data / "names.dat") << "version 1 0\nReads 3 1\n";
  std::ofstream(data / "clean.dat") << "* none\n";
  ASSERT_EQ(start(false, "names.dat", data.string()), 0);
  const auto path = write("large.bin", std::string(20 << 20, 'a'));
  Recorder r;
  r.declineAt = AVM_QUERY_CONTINUE;
  r.declineOccurrence = 4;
  ASSERT_EQ(scanFile(path, r), 0);
  EXPECT_EQ(r.seen[AVM_QUERY_CONTINUE], 4);
  EXPECT_EQ(find(r, AVM_DETECTION), nullptr);
  EXPECT_EQ(find(r, AVM_QUERY_CONTINUE_2), nullptr);
  EXPECT_EQ(find(r, 1064)->second, AV_SUMMARY_NOT_SCANNED);
  EXPECT_EQ(codes(r).back(), 1049);
}

// A path that reaches a detectable file through a symbolic link anywhere is never
// scanned or cleaned through it: the sentinel behind the link stays untouched.
TEST_F(QeldaEngine, LinksOnThePathAreNeverFollowedAtScanTime) {
  ASSERT_EQ(start(), 0);
  const fs::path sentinel = dir / "sentinel";
  fs::create_directories(sentinel / "inner");
  write("sentinel/eicar.com", eicar());
  write("sentinel/inner/eicar.com", eicar());
  fs::create_directories(dir / "real");
  fs::create_directory_symlink(sentinel, dir / "parent-link");
  fs::create_directory_symlink(sentinel, dir / "real" / "middle-link");
  fs::create_symlink(sentinel / "eicar.com", dir / "real" / "file-link");
  for (const fs::path& path : {dir / "parent-link" / "eicar.com", dir / "real" / "middle-link" / "inner" / "eicar.com",
                              dir / "real" / "file-link"}) {
    Recorder r;
    ASSERT_EQ(scanFile(path.string(), r), 0) << path;
    ASSERT_NE(find(r, AVM_SCAN_ERROR), nullptr) << path;
    EXPECT_EQ(find(r, AVM_SCAN_ERROR)->second, AV_SCAN_ERROR_NOT_REGULAR) << path;
    EXPECT_EQ(find(r, AVM_DETECTION), nullptr) << path;
  }
  EXPECT_TRUE(fs::exists(sentinel / "eicar.com"));
  EXPECT_TRUE(fs::exists(sentinel / "inner" / "eicar.com"));
}

// The folder of a scanned file swapped for a link to a sentinel folder while the
// host is asked for consent: nothing is deleted or quarantined, and the engine
// says the file changed.
TEST_F(QeldaEngine, FolderSwappedBeforeTheCleanLeavesBothFilesAlone) {
  struct Case {
    const char* what;
    std::string content;
  } cases[] = {{"delete", eicar()}, {"quarantine", "xx " + vxtest::trojanMarker()}};
  ASSERT_EQ(start(), 0);
  for (const auto& c : cases) {
    const fs::path folder = dir / "files";
    const fs::path sentinel = dir / "sentinel";
    fs::remove_all(folder);
    fs::remove_all(sentinel);
    fs::remove_all(dir / "moved");
    fs::create_directories(folder);
    fs::create_directories(sentinel);
    write("files/target.bin", c.content);
    write("sentinel/target.bin", c.content);
    Recorder r;
    r.onMessage = [&](std::uint16_t message, int) {
      if (message != AVM_QUERY_REPAIR) return;
      fs::rename(folder, dir / "moved");
      fs::create_directory_symlink(sentinel, folder);
    };
    ASSERT_EQ(scanFile((folder / "target.bin").string(), r), 0) << c.what;
    ASSERT_NE(find(r, AVM_REPAIR_ERROR), nullptr) << c.what;
    EXPECT_EQ(find(r, AVM_REPAIR_ERROR)->second, AV_SCAN_ERROR_CHANGED) << c.what;
    EXPECT_EQ(find(r, AVM_ACTION), nullptr) << c.what;
    EXPECT_TRUE(fs::exists(sentinel / "target.bin")) << c.what;
    EXPECT_TRUE(fs::exists(dir / "moved" / "target.bin")) << c.what;
    fs::remove(folder);
  }
}

// A scanner whose scan was stopped after a module had parsed the file must not
// lend that file's module data to the next object scanned on the thread.
TEST_F(QeldaEngine, StoppedScanLeavesNothingForTheNextObject) {
  const fs::path data = dir / "data";
  fs::create_directories(data);
  std::ofstream(data / "scan.yar") << "import \"elf\"\n"
                                      "rule Shared { condition: elf.type == elf.ET_DYN }\n"
                                      "rule Reads { condition: for all i in (0..filesize - 1): (uint8(i) != 0xFF) }\n";
  std::ofstream(data / "names.dat") << "version 1 0\n* 3 1\n";
  std::ofstream(data / "clean.dat") << "* none\n";
  ASSERT_EQ(start(false, "names.dat", data.string()), 0);
  std::ifstream program("/proc/self/exe", std::ios::binary);
  std::string elf((std::istreambuf_iterator<char>(program)), {});
  ASSERT_GT(elf.size(), 64u);
  elf.resize(20 << 20, '\0');  // three blocks: the module reads the file in three chunks
  const auto shared = write("shared.so", elf);
  Recorder stopped;
  stopped.declineAt = AVM_QUERY_CONTINUE;
  stopped.declineOccurrence = 7;  // three block reads, three chunks for the module, then the conditions
  ASSERT_EQ(scanFile(shared, stopped), 0);
  EXPECT_EQ(stopped.seen[AVM_QUERY_CONTINUE], 7);
  EXPECT_EQ(find(stopped, 1064)->second, AV_SUMMARY_NOT_SCANNED);

  Recorder next;
  ASSERT_EQ(scanFile(write("plain.txt", "not an executable"), next), 0);
  EXPECT_EQ(find(next, AVM_DETECTION) == nullptr ? "" : find(next, AVM_DETECTION)->text, "Reads");
}

// A detected file with a second hard link is not cleaned, and the host hears
// why: the content would stay reachable. Nothing is removed or quarantined.
TEST_F(QeldaEngine, HardLinkedDetectionIsReportedStillReachable) {
  ASSERT_EQ(start(), 0);
  const struct {
    const char* file;
    std::string content;
  } cases[] = {{"eicar.com", eicar()}, {"trojan.bin", "xx " + vxtest::trojanMarker()}};
  for (const auto& c : cases) {
    const auto path = write(c.file, c.content);
    const auto other = (dir / (std::string(c.file) + ".link")).string();
    fs::create_hard_link(path, other);
    Recorder r;
    ASSERT_EQ(scanFile(path, r), 0) << c.file;
    ASSERT_NE(find(r, AVM_REPAIR_ERROR), nullptr) << c.file;
    EXPECT_EQ(find(r, AVM_REPAIR_ERROR)->second, AV_REPAIR_ERROR_STILL_REACHABLE) << c.file;
    EXPECT_EQ(find(r, AVM_ACTION), nullptr) << c.file;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_INFECTED) << c.file;
    EXPECT_TRUE(fs::exists(path)) << c.file;
    EXPECT_TRUE(fs::exists(other)) << c.file;
    std::error_code none;
    EXPECT_TRUE(fs::is_empty(qelda::quarantineFolder(), none) || none) << c.file;
  }
}

TEST_F(QeldaEngine, PupIsNotCleanable) {
  ASSERT_EQ(start(), 0);
  Recorder r;
  const auto path = write("pup.bin", vxtest::pupMarker());
  ASSERT_EQ(scanFile(path, r), 0);
  EXPECT_EQ(find(r, 1045)->first, 5u);
  EXPECT_EQ(find(r, 1032), nullptr);
  EXPECT_EQ(find(r, 1046)->second, 12u);
  EXPECT_TRUE(fs::exists(path));
}

TEST_F(QeldaEngine, TroubleIsReportedNotFailed) {
  ASSERT_EQ(start(), 0);
  const auto target = write("target.com", eicar());
  fs::create_symlink(target, dir / "link");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir / "sub");
  struct Case { std::string path; std::uint16_t error; } cases[] = {
      {(dir / "missing").string(), AV_SCAN_ERROR_NOT_FOUND},
      {(dir / "link").string(), AV_SCAN_ERROR_NOT_REGULAR},
      {(dir / "fifo").string(), AV_SCAN_ERROR_NOT_REGULAR},
      {(dir / "sub").string(), AV_SCAN_ERROR_NOT_REGULAR}};
  for (const auto& c : cases) {
    Recorder r;
    ASSERT_EQ(scanFile(c.path, r), 0) << c.path;
    ASSERT_NE(find(r, 1044), nullptr) << c.path;
    EXPECT_EQ(find(r, 1044)->second, c.error) << c.path;
    EXPECT_EQ(codes(r).back(), 1049) << c.path;
  }
  EXPECT_TRUE(fs::exists(target));
  if (geteuid() != 0) {
    const auto locked = write("locked", "x");
    fs::permissions(locked, fs::perms::none);
    Recorder r;
    ASSERT_EQ(scanFile(locked, r), 0);
    EXPECT_EQ(find(r, 1044)->second, AV_SCAN_ERROR_ACCESS_DENIED);
  }
}

TEST_F(QeldaEngine, InvalidCallsHaveDistinctStatuses) {
  EXPECT_EQ(start(false, "absent.dat"), AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_MISSING));
  const auto bad = write("bad.dat", "version 1 0\nname x 1\n");
  EXPECT_EQ(start(false, bad.c_str()), AV_STATUS_NAMES_MALFORMED + 2);
  AV_INITIALISATION i{};
  i.size = 36;
  AV_PARAMETERS wrong{11, 0, 0};
  EXPECT_EQ(lib.init(&wrong, &i), AV_STATUS_BAD_PARAMETERS);
  Recorder r;
  EXPECT_EQ(lib.scan(12345, &wrong, 0), AV_STATUS_BAD_HANDLE);
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(scanFile("/", r, false, AV_OBJECT_KIND_MEMORY), AV_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(start(true), 0);  // version query
  EXPECT_EQ(std::uint32_t{AV_U64_TO_PTR(const AV_DATASETRECORD* const*, init.records)[0]->versionMajor}, 1u);
}

TEST_F(QeldaEngine, FourThreadsOnOneHandle) {
  ASSERT_EQ(start(), 0);
  const auto path = write("pup.bin", std::string(20 << 20, 'a') + vxtest::pupMarker());
  std::vector<Recorder> recorders(4);
  std::vector<std::thread> threads;
  for (auto& r : recorders) threads.emplace_back([&, rp = &r] { EXPECT_EQ(scanFile(path, *rp), 0); });
  for (auto& t : threads) t.join();
  for (const auto& r : recorders) {
    ASSERT_NE(find(r, 1045), nullptr);
    const auto sent = codes(r);
    EXPECT_GE(std::count(sent.begin(), sent.end(), 1033), 3);
  }
}

// The default data set's markers.
const std::string kVirusMarker = vxtest::virusMarker();
const std::string kTrojanMarker = vxtest::trojanMarker();
const std::string kPupMarker = vxtest::pupMarker();
constexpr std::size_t kMiB = std::size_t{1} << 20;

std::vector<std::uint8_t> sha256(const std::string& content) {
  std::vector<std::uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned size = 0;
  EVP_Digest(content.data(), content.size(), digest.data(), &size, EVP_sha256(), nullptr);
  digest.resize(size);
  return digest;
}

// Closes a second engine handle when the test ends.
class OpenHandle {
 public:
  OpenHandle(const Library& lib, std::uint64_t handle) : lib_(lib), handle_(handle) {}
  ~OpenHandle() { close(); }
  OpenHandle(const OpenHandle&) = delete;
  OpenHandle& operator=(const OpenHandle&) = delete;
  std::uint64_t get() const { return handle_; }
  void close() {
    if (handle_ != 0) lib_.close(handle_);
    handle_ = 0;
  }

 private:
  const Library& lib_;
  std::uint64_t handle_;
};

TEST_F(QeldaEngine, StopAtACheckpointEndsTheObjectThere) {
  ASSERT_EQ(start(), 0);
  // Three blocks, the detection in the last one.
  const auto path = write("pup-at-end.bin", std::string(20 * kMiB, 'a') + kPupMarker);
  struct Case {
    std::uint16_t at;
    int occurrence;
    int blocksAsked;
  } cases[] = {{AVM_QUERY_CONTINUE, 1, 1},
               {AVM_QUERY_CONTINUE, 2, 2},
               {AVM_QUERY_CONTINUE, 3, 3},
               {AVM_QUERY_CONTINUE_2, 1, 3}};
  for (const auto& c : cases) {
    Recorder r;
    r.declineAt = c.at;
    r.declineOccurrence = c.occurrence;
    ASSERT_EQ(scanFile(path, r, true), 0) << c.at << "#" << c.occurrence;
    const auto sent = codes(r);
    auto declined = sent.end();
    int seen = 0;
    for (auto at = sent.begin(); at != sent.end() && declined == sent.end(); ++at) {
      if (*at == c.at && ++seen == c.occurrence) declined = at;
    }
    ASSERT_NE(declined, sent.end()) << c.at << "#" << c.occurrence;
    EXPECT_EQ(std::vector<std::uint16_t>(declined + 1, sent.end()),
              (std::vector<std::uint16_t>{AVM_OBJECT_SUMMARY, AVM_OBJECT_DONE}))
        << c.at << "#" << c.occurrence;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_NOT_SCANNED) << c.at << "#" << c.occurrence;
    EXPECT_EQ(std::count(sent.begin(), sent.end(), AVM_QUERY_CONTINUE), c.blocksAsked)
        << c.at << "#" << c.occurrence;
  }
}

// A file that changed while it was read gets no clean verdict and no digest; a
// match found in it stands (it was in the file), but nothing is done to a file
// that is no longer the one read. One that changed before it was opened was read
// as it is, and is cleaned as any other.
TEST_F(QeldaEngine, FileChangedDuringTheScanGetsNoCleanVerdictAndIsNotActedOn) {
  ASSERT_EQ(start(), 0);
  // Two blocks; the test file at 0 would otherwise be detected and deleted.
  const std::string content = eicar() + std::string(9 * kMiB - eicar().size(), 'a');
  const auto path = (dir / "changing.com").string();
  const auto grow = [&] { std::ofstream(path, std::ios::binary | std::ios::app) << "more"; };
  const auto shrinkTo = [&](std::uintmax_t size) { return [&, size] { fs::resize_file(path, size); }; };
  const auto overwrite = [&] {
    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).seekp(100).put('b');
  };
  // Another file of the same size and times takes the name.
  const auto replace = [&] {
    const auto other = write("replacement", content);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), times, 0), 0);
    fs::rename(other, path);
  };
  enum class Outcome { Changed, DetectedOnly, Cleaned };
  struct Case {
    const char* what;
    std::uint16_t at;
    int occurrence;
    std::function<void()> change;
    Outcome outcome;
  } cases[] = {{"grows before it is opened", AVM_PASS, 1, grow, Outcome::Cleaned},
               {"grows between blocks", AVM_QUERY_CONTINUE, 2, grow, Outcome::DetectedOnly},
               {"shrinks before the first block", AVM_QUERY_CONTINUE, 1, shrinkTo(kMiB), Outcome::Changed},
               {"emptied before it is opened", AVM_PASS, 1, shrinkTo(0), Outcome::Changed},
               {"shrinks between blocks", AVM_QUERY_CONTINUE, 2, shrinkTo(kMiB), Outcome::Changed},
               {"rewritten in place before it is opened", AVM_PASS, 1, overwrite, Outcome::Cleaned},
               {"rewritten in place between blocks", AVM_QUERY_CONTINUE, 2, overwrite, Outcome::DetectedOnly},
               {"replaced under its name", AVM_PASS, 1, replace, Outcome::Changed}};
  for (const auto& c : cases) {
    write("changing.com", content);
    // Backdated, so that a rewrite gets a later modification time even on a file
    // system whose clock ticks coarsely.
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    Recorder r;
    r.onMessage = [&](std::uint16_t message, int count) {
      if (message == c.at && count == c.occurrence) c.change();
    };
    ASSERT_EQ(scanFile(path, r, true), 0) << c.what;
    EXPECT_EQ(codes(r).back(), AVM_OBJECT_DONE) << c.what;
    EXPECT_EQ(fs::exists(path), c.outcome != Outcome::Cleaned) << c.what;
    EXPECT_EQ(find(r, AVM_ACTION) != nullptr, c.outcome == Outcome::Cleaned) << c.what;
    EXPECT_EQ(find(r, AVM_DETECTION) != nullptr, c.outcome != Outcome::Changed) << c.what;
    if (c.outcome != Outcome::Cleaned) {
      EXPECT_EQ(find(r, AVM_FILEHASH), nullptr) << c.what;
    }
    if (c.outcome == Outcome::DetectedOnly) {
      ASSERT_NE(find(r, AVM_REPAIR_ERROR), nullptr) << c.what;
      EXPECT_EQ(find(r, AVM_REPAIR_ERROR)->second, AV_SCAN_ERROR_CHANGED) << c.what;
      EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_INFECTED) << c.what;
    } else if (c.outcome == Outcome::Changed) {
      ASSERT_NE(find(r, AVM_SCAN_ERROR), nullptr) << c.what;
      EXPECT_EQ(find(r, AVM_SCAN_ERROR)->second, AV_SCAN_ERROR_CHANGED) << c.what;
      EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_ERROR) << c.what;
    }
  }
}

TEST_F(QeldaEngine, DetectionAndHashRecordsAtTheirOffsets) {
  ASSERT_EQ(start(), 0);
  struct Case {
    const char* file;
    std::string content;
    const char* detection;  // empty: clean
    std::uint16_t virusType;
    std::uint32_t repairable;
  } cases[] = {{"eicar.com", eicar(), "Test.EICAR", 6, 1},
               {"virus.bin", "..." + kVirusMarker + "...", "Qelda.Test.Virus", 0, 1},
               {"trojan.bin", kTrojanMarker, "Qelda.Test.Trojan", 1, 1},
               {"pup.bin", kPupMarker + "\n", "Qelda.Test.Pup", 5, 0},
               {"empty.bin", "", "", 0, 0},
               // Block borders: every byte is hashed once, the overlap included.
               {"block-and-one.bin", std::string(8 * kMiB + 1, 'b'), "", 0, 0},
               {"two-blocks.bin", std::string(16 * kMiB, 'c'), "", 0, 0},
               {"pup-across-border.bin", std::string(8 * kMiB - 10, 'd') + kPupMarker, "Qelda.Test.Pup", 5, 0}};
  for (const auto& c : cases) {
    const auto path = write(c.file, c.content);
    Recorder r;
    r.declineAt = AVM_QUERY_REPAIR;  // keep the file
    ASSERT_EQ(scanFile(path, r, true), 0) << c.file;
    const Message* detection = find(r, AVM_DETECTION);
    if (std::string(c.detection).empty()) {
      EXPECT_EQ(detection, nullptr) << c.file;
      EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_CLEAN) << c.file;
    } else {
      ASSERT_NE(detection, nullptr) << c.file;
      ASSERT_EQ(detection->bytes.size(), 28u);
      EXPECT_EQ(fieldAt<std::uint16_t>(detection->bytes, 8), 1u) << c.file;  // detect type
      EXPECT_EQ(fieldAt<std::uint16_t>(detection->bytes, 10), c.virusType) << c.file;
      EXPECT_NE(fieldAt<std::uint64_t>(detection->bytes, 16), 0u) << c.file;
      EXPECT_EQ(detection->text, c.detection) << c.file;
      EXPECT_EQ(fieldAt<std::uint32_t>(detection->bytes, 24), c.repairable) << c.file;
      EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_INFECTED) << c.file;
    }
    const Message* hash = find(r, AVM_FILEHASH);
    ASSERT_NE(hash, nullptr) << c.file;
    ASSERT_EQ(hash->bytes.size(), 20u);
    EXPECT_EQ(fieldAt<std::uint16_t>(hash->bytes, 0), 0u) << c.file;
    EXPECT_EQ(fieldAt<std::uint16_t>(hash->bytes, 2), AV_HASH_TYPE_SHA256) << c.file;
    EXPECT_EQ(fieldAt<std::uint32_t>(hash->bytes, 4), 32u) << c.file;  // buffer size
    EXPECT_EQ(fieldAt<std::uint32_t>(hash->bytes, 8), 32u) << c.file;  // data length
    EXPECT_EQ(hash->payload, sha256(c.content)) << c.file;
    EXPECT_TRUE(fs::exists(path)) << c.file;
  }
}

TEST_F(QeldaEngine, HandlesShareTheDataSetOfTheFilesTheyWereStartedWith) {
  const auto data = dir / "data";
  fs::create_directories(data);
  for (const char* file : {"names.dat", "scan.yar", "clean.dat"}) {
    fs::copy_file(fs::path(QELDA_DATA_DIR) / file, data / file);
  }
  const std::string original = [&] {
    std::ifstream in(data / "scan.yar", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  const std::string marker = "QELDA-TEST-ADDED-RULE-" + std::to_string(getpid());
  const std::string added = original + "\nrule Added { meta: virus_type = 5 strings: $m = \"" + marker +
                            "\" condition: $m }\n";
  const auto sample = write("added.bin", "xx" + marker + "xx");
  const auto detects = [&](std::uint64_t engine) {
    Recorder r;
    EXPECT_EQ(scanWith(engine, sample, r), 0);
    return find(r, AVM_DETECTION) != nullptr;
  };
  const auto startOn = [&](const std::string& rules) {
    std::ofstream(data / "scan.yar", std::ios::binary | std::ios::trunc) << rules;
    EXPECT_EQ(start(false, "names.dat", data.string()), 0);
    const std::uint64_t started = handle;
    handle = 0;
    return started;
  };

  OpenHandle first(lib, startOn(original));
  OpenHandle same(lib, startOn(original));
  OpenHandle changed(lib, startOn(added));
  EXPECT_FALSE(detects(first.get()));
  EXPECT_FALSE(detects(same.get()));
  EXPECT_TRUE(detects(changed.get()));
  // The set outlives the handle that loaded it while another one holds it.
  first.close();
  EXPECT_FALSE(detects(same.get()));
  Recorder r;
  const auto test = write("eicar.com", eicar());
  r.declineAt = AVM_QUERY_REPAIR;
  ASSERT_EQ(scanWith(same.get(), test, r), 0);
  EXPECT_NE(find(r, AVM_DETECTION), nullptr);
  // After every close, a start reads the files as they are now.
  same.close();
  changed.close();
  OpenHandle reloaded(lib, startOn(added));
  EXPECT_TRUE(detects(reloaded.get()));
  reloaded.close();
  OpenHandle restored(lib, startOn(original));
  EXPECT_FALSE(detects(restored.get()));
}

}  // namespace
