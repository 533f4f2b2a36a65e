// Writing settings files: what each write leaves in the file, byte for byte, and
// the struct form with its checksum.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/PrivateProfile.h"
#include "tests/support/HexBytes.h"

namespace {

namespace fs = std::filesystem;

class PrivateProfileWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vxprofilewrite.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string file(const std::string& name = "settings.ini") const { return (root_ / name).string(); }
  static void put(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
  static std::string get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::size_t entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(root_), fs::directory_iterator())); }

  fs::path root_;
};

struct WriteCase {
  const char* name;
  const char* before;  // nullptr: no file
  const wchar_t* section;
  std::optional<std::wstring> key;
  std::optional<std::wstring> value;
  const char* after;
};

const WriteCase kWriteCases[] = {
    {"NewFile", nullptr, L"Config", L"Enable", L"1", "[Config]\nEnable=1\n"},
    {"ReplaceInPlaceKeepingEverythingElse",
     "; top\n[Other]\nEnable=7\n\n[config]\n  ENABLE = 0 \nMaxSize=9\n", L"Config", L"Enable", L"1",
     "; top\n[Other]\nEnable=7\n\n[config]\nEnable=1\nMaxSize=9\n"},
    {"AddKeyAtTheEndOfItsSection", "[Config]\nA=1\n\n[Next]\nB=2\n", L"Config", L"C", L"3",
     "[Config]\nA=1\nC=3\n\n[Next]\nB=2\n"},
    {"AddSectionAtTheEnd", "[Other]\nA=1", L"Config", L"B", L"2", "[Other]\nA=1\n[Config]\nB=2\n"},
    {"KeepsWindowsLineEnds", "[Config]\r\nA=1\r\nB=2\r\n", L"Config", L"A", L"5", "[Config]\r\nA=5\r\nB=2\r\n"},
    {"RemovesAKey", "[Config]\nA=1\nB=2\n", L"Config", L"A", std::nullopt, "[Config]\nB=2\n"},
    {"RemovesASection", "[A]\nx=1\n[B]\ny=2\n[C]\nz=3\n", L"B", std::nullopt, std::nullopt, "[A]\nx=1\n[C]\nz=3\n"},
    {"FirstOfTwoSectionsIsWritten", "[S]\nk=1\n[S]\nk=2\n", L"S", L"k", L"9", "[S]\nk=9\n[S]\nk=2\n"},
    {"KeepsTheUtf8Mark", "\xEF\xBB\xBF[S]\nk=\xC3\xA4\n", L"S", L"j", L"\u00F6", "\xEF\xBB\xBF[S]\nk=\xC3\xA4\nj=\xC3\xB6\n"},
    {"KeepsBytesThatAreNoUtf8", "[S]\nraw=\xFF\xFE\x80\nk=1\n", L"S", L"k", L"2", "[S]\nraw=\xFF\xFE\x80\nk=2\n"},
    {"Utf16StaysUtf16", "\xFF\xFE[\0S\0]\0\n\0k\0=\0""1\0\n\0", L"S", L"k", L"2",
     "\xFF\xFE[\0S\0]\0\n\0k\0=\0""2\0\n\0"},
};

class PrivateProfileWriteCaseTest : public PrivateProfileWriteTest, public ::testing::WithParamInterface<WriteCase> {};

std::string bytesOf(const char* text, std::size_t size) { return std::string(text, size); }

TEST_P(PrivateProfileWriteCaseTest, LeavesExactlyTheExpectedBytes) {
  const WriteCase& c = GetParam();
  // The UTF-16 case holds NULs: take its bytes by its literal's length.
  const bool utf16 = std::string_view(c.name) == "Utf16StaysUtf16";
  if (c.before != nullptr) {
    put(file(), utf16 ? bytesOf(c.before, 18) : std::string(c.before));
  }
  std::optional<std::wstring_view> key, value;
  if (c.key) key = *c.key;
  if (c.value) value = *c.value;
  ASSERT_EQ(platform::writePrivateProfileString(file(), c.section, key, value), 0u);
  const std::string expected = utf16 ? bytesOf(c.after, 18) : std::string(c.after);
  EXPECT_EQ(vxtest::hex(get(file())), vxtest::hex(expected));
  EXPECT_EQ(entries(), 1u) << "a temporary file was left behind";
  if (c.key && c.value) {
    std::wstring read;
    platform::readPrivateProfileString(file(), c.section, *c.key, L"", 100, read);
    EXPECT_EQ(read, *c.value);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PrivateProfileWriteCaseTest, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PrivateProfileWriteTest, ModeOfTheFileIsKept) {
  put(file(), "[S]\nk=1\n");
  ASSERT_EQ(::chmod(file().c_str(), 0600), 0);
  ASSERT_EQ(platform::writePrivateProfileString(file(), L"S", L"k", L"2"), 0u);
  struct stat status {};
  ASSERT_EQ(::stat(file().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(PrivateProfileWriteTest, NamesAndValuesThatWouldBreakTheFileAreRefused) {
  EXPECT_EQ(platform::writePrivateProfileString(file(), L"", L"k", L"v"), 87u);
  EXPECT_EQ(platform::writePrivateProfileString(file(), L"S", L"", L"v"), 87u);
  EXPECT_EQ(platform::writePrivateProfileString(file(), L"S", L"k", L"a\nb=c"), 87u);
  EXPECT_EQ(platform::writePrivateProfileString(file(), L"S", L"k=x", L"v"), 87u);
  EXPECT_EQ(platform::writePrivateProfileString(file(), L"S]", L"k", L"v"), 87u);
  EXPECT_FALSE(fs::exists(file()));
}

TEST_F(PrivateProfileWriteTest, LinkIsNeitherFollowedNorReplaced) {
  put(file("target.ini"), "[S]\nk=1\n");
  fs::create_symlink(file("target.ini"), file());
  EXPECT_NE(platform::writePrivateProfileString(file(), L"S", L"k", L"2"), 0u);
  EXPECT_TRUE(fs::is_symlink(file()));
  EXPECT_EQ(get(file("target.ini")), "[S]\nk=1\n");

  // Nor is a link standing for the folder.
  fs::create_directory(root_ / "real");
  fs::create_directory_symlink(root_ / "real", root_ / "linked");
  EXPECT_NE(platform::writePrivateProfileString(file("linked/s.ini"), L"S", L"k", L"2"), 0u);
  EXPECT_FALSE(fs::exists(root_ / "real" / "s.ini"));
}

TEST_F(PrivateProfileWriteTest, StructIsUpperCaseHexWithChecksum) {
  const std::array<std::uint8_t, 3> bytes = {0x0A, 0xFF, 0x7C};
  ASSERT_EQ(platform::writePrivateProfileStruct(file(), L"S", L"k", bytes), 0u);
  // 0x0A + 0xFF + 0x7C = 0x185: checksum 0x85.
  EXPECT_EQ(get(file()), "[S]\nk=0AFF7C85\n");
  std::array<std::uint8_t, 3> read{};
  ASSERT_EQ(platform::readPrivateProfileStruct(file(), L"S", L"k", read), 0u);
  EXPECT_EQ(read, bytes);
}

struct StructReadCase {
  const char* name;
  const char* stored;
  std::uint32_t error;
};

const StructReadCase kStructReadCases[] = {
    {"Good", "0AFF7C85", 0},
    {"LowerCaseDigitsAreRead", "0aff7c85", 0},
    {"FlippedDataDigit", "0AFE7C85", 13},
    {"FlippedChecksumDigit", "0AFF7C84", 13},
    {"NotADigit", "0AFG7C85", 13},
    {"OneByteShort", "0AFF85", 24},
    {"OneByteLong", "0AFF7C0085", 24},
    {"OddLength", "0AFF7C850", 24},
    {"Empty", "", 24},
};

class PrivateProfileStructReadTest : public PrivateProfileWriteTest,
                                     public ::testing::WithParamInterface<StructReadCase> {};

TEST_P(PrivateProfileStructReadTest, ChecksLengthAndChecksum) {
  put(file(), std::string("[S]\nk=") + GetParam().stored + "\n");
  std::array<std::uint8_t, 3> read = {1, 2, 3};
  EXPECT_EQ(platform::readPrivateProfileStruct(file(), L"S", L"k", read), GetParam().error);
  const std::array<std::uint8_t, 3> expected =
      GetParam().error == 0 ? std::array<std::uint8_t, 3>{0x0A, 0xFF, 0x7C} : std::array<std::uint8_t, 3>{1, 2, 3};
  EXPECT_EQ(read, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PrivateProfileStructReadTest, ::testing::ValuesIn(kStructReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PrivateProfileWriteTest, MissingStructIsFileNotFound) {
  std::array<std::uint8_t, 2> read{};
  EXPECT_EQ(platform::readPrivateProfileStruct(file(), L"S", L"k", read), 2u);
  put(file(), "[S]\nother=0000\n");
  EXPECT_EQ(platform::readPrivateProfileStruct(file(), L"S", L"k", read), 2u);
}

}  // namespace

namespace {

// Settings steer what root does: a settings file, or a folder above it, that
// another user could have written is neither obeyed nor rewritten.
TEST_F(PrivateProfileWriteTest, SettingsOthersCouldHaveWrittenAreRefused) {
  const fs::path folder = root_ / "logs";
  const fs::path ini = folder / "log.ini";
  struct Case {
    const char* what;
    std::function<void()> spoil;
    bool needsRoot;
  } const cases[] = {
      {"writable by others", [&] { ::chmod(ini.c_str(), 0666); }, false},
      {"writable by its group", [&] { ::chmod(ini.c_str(), 0664); }, false},
      {"another user's", [&] { ASSERT_EQ(::chown(ini.c_str(), 65534, 65534), 0); }, true},
      {"its folder writable by others", [&] { ::chmod(folder.c_str(), 0777); }, false},
      {"a link in a middle folder",
       [&] {
         fs::rename(folder, root_ / "real");
         fs::create_directory_symlink(root_ / "real", folder);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && ::geteuid() != 0) continue;
    std::error_code ignored;
    fs::remove(folder, ignored);
    fs::remove_all(folder, ignored);
    fs::remove_all(root_ / "real", ignored);
    fs::create_directories(folder);
    ::chmod(folder.c_str(), 0755);
    put(ini.string(), "[Config]\nSeverity=1\n");
    ::chmod(ini.c_str(), 0644);
    std::wstring value;
    platform::readPrivateProfileString(ini.string(), L"Config", L"Severity", L"4", 8, value);
    ASSERT_EQ(value, L"1");

    c.spoil();
    platform::readPrivateProfileString(ini.string(), L"Config", L"Severity", L"4", 8, value);
    EXPECT_EQ(value, L"4") << "not obeyed";
    EXPECT_EQ(platform::writePrivateProfileString(ini.string(), L"Config", std::wstring_view(L"Severity"),
                                                  std::wstring_view(L"2")),
              5u);
    const fs::path real = fs::is_symlink(folder) ? root_ / "real" / "log.ini" : ini;
    EXPECT_EQ(get(real.string()), "[Config]\nSeverity=1\n") << "not rewritten";
  }
}

}  // namespace
