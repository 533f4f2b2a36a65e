// Reading mountinfo as the kernel writes it: the fields the reach test needs, the
// escapes of names other users chose, the mark of a mount whose root was
// unlinked, and lines not of the kernel's shape, which are ignored.
#include "qelda/QeldaMountReach.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

struct LineCase {
  const char* name;
  std::string_view line;
  bool parsed;
  std::uint64_t id;
  unsigned major;
  unsigned minor;
  const char* root;        // decoded
  const char* mountPoint;  // decoded
  bool deleted;
};

using namespace std::string_view_literals;

const LineCase kLines[] = {
    {"Plain", "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw", true, 27, 254, 0, "/", "/", false},
    {"DeletedFileBoundElsewhere",
     "66 46 254:0 /tmp/qmr_f//deleted /tmp/qmr_g rw,relatime - ext4 /dev/vda rw,discard", true, 66, 254, 0,
     "/tmp/qmr_f//deleted", "/tmp/qmr_g", true},
    {"OptionalFields", "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue",
     true, 36, 98, 0, "/mnt1", "/mnt2", false},
    {"EscapedSpaceTabNewlineBackslash",
     "70 27 0:45 /a\\040b\\011c\\012d\\134e//deleted /in\\040side\\134 rw - tmpfs tmpfs rw", true, 70, 0, 45,
     "/a b\tc\nd\\e//deleted", "/in side\\", true},
    {"DeletedOnlyAsTheWholeSuffix", "71 27 0:45 /deleted/x /m rw - tmpfs tmpfs rw", true, 71, 0, 45, "/deleted/x",
     "/m", false},
    {"NameEndingInDeletedIsNoMark", "72 27 0:45 /x\\040deleted /m rw - tmpfs tmpfs rw", true, 72, 0, 45,
     "/x deleted", "/m", false},
    {"NamespaceFileRoot", "73 27 0:4 net:[4026532310] /run/netns/a rw - nsfs nsfs rw", true, 73, 0, 4,
     "net:[4026532310]", "/run/netns/a", false},
    {"LargeDeviceNumbers", "74 27 259:1048575 / /big rw - ext4 /dev/x rw", true, 74, 259, 1048575, "/", "/big",
     false},
    {"Empty", "", false, 0, 0, 0, "", "", false},
    {"NoSeparator", "27 1 254:0 / / rw,relatime ext4 /dev/vda rw", false, 0, 0, 0, "", "", false},
    {"TruncatedAfterSeparator", "27 1 254:0 / / rw - ext4", false, 0, 0, 0, "", "", false},
    {"TruncatedBeforeOptions", "27 1 254:0 / /", false, 0, 0, 0, "", "", false},
    {"DeviceWithoutColon", "27 1 2540 / / rw - ext4 /dev/vda rw", false, 0, 0, 0, "", "", false},
    {"DeviceNotNumeric", "27 1 25a:0 / / rw - ext4 /dev/vda rw", false, 0, 0, 0, "", "", false},
    {"NegativeId", "-27 1 254:0 / / rw - ext4 /dev/vda rw", false, 0, 0, 0, "", "", false},
    {"IdNotNumeric", "x 1 254:0 / / rw - ext4 /dev/vda rw", false, 0, 0, 0, "", "", false},
    {"RelativeMountPoint", "27 1 254:0 / mnt rw - ext4 /dev/vda rw", false, 0, 0, 0, "", "", false},
    {"DoubleSpace", "27 1 254:0 /  / rw - ext4 /dev/vda rw", false, 0, 0, 0, "", "", false},
};

TEST(QeldaMountInfo, LinesAreParsedOrIgnored) {
  for (const LineCase& c : kLines) {
    SCOPED_TRACE(c.name);
    qelda::MountInfoLine line;
    ASSERT_EQ(qelda::parseMountInfoLine(c.line, line), c.parsed);
    if (!c.parsed) continue;
    EXPECT_EQ(line.id, c.id);
    EXPECT_EQ(line.major, c.major);
    EXPECT_EQ(line.minor, c.minor);
    std::string root;
    std::string mountPoint;
    ASSERT_TRUE(qelda::decodeMountInfoPath(line.root, root));
    EXPECT_EQ(root, c.root);
    ASSERT_TRUE(qelda::decodeMountInfoPath(line.mountPoint, mountPoint));
    EXPECT_EQ(mountPoint, c.mountPoint);
    EXPECT_EQ(qelda::rootWasDeleted(line.root), c.deleted);
  }
}

struct EscapeCase {
  std::string_view escaped;
  bool valid;
  std::string_view decoded;
};

const EscapeCase kEscapes[] = {
    {"/plain", true, "/plain"},
    {"\\040", true, " "},
    {"/a\\011b", true, "/a\tb"},
    {"/a\\012b", true, "/a\nb"},
    {"/a\\134b", true, "/a\\b"},
    {"/a\\134040", true, "/a\\040"},  // an escaped backslash before digits is not an escape
    {"/\\377", true, "/\xff"},
    {"/trailing\\", false, ""},
    {"/short\\04", false, ""},
    {"/notoctal\\089", false, ""},
    {"/letters\\x41", false, ""},
    {"/nul\\000", false, ""},
    {"/raw\0nul"sv, false, ""},  // would cut the path short where it is opened
    {"/toolarge\\400", false, ""},
    {"", true, ""},
};

TEST(QeldaMountInfo, EscapesAreUndoneExactly) {
  for (const EscapeCase& c : kEscapes) {
    SCOPED_TRACE(std::string(c.escaped));
    std::string decoded = "untouched";
    ASSERT_EQ(qelda::decodeMountInfoPath(c.escaped, decoded), c.valid);
    EXPECT_EQ(decoded, c.valid ? std::string(c.decoded) : "untouched");
  }
}

}  // namespace
