// The quarantine record's text: every byte of a field survives, no field can add
// or end a line, and anything but the exact form is refused.
#include "qelda/QeldaQuarantineRecord.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

qelda::QuarantineRecord sample() {
  qelda::QuarantineRecord record;
  record.path = "/srv/files/report.pdf";
  record.detection = "Qelda.Test.Virus";
  record.time = 1700000000;
  for (std::size_t i = 0; i < record.sha256.size(); ++i) record.sha256[i] = static_cast<std::uint8_t>(i * 9);
  record.size = 4294963200u;
  record.uid = 1000;
  record.gid = 100;
  record.mode = 04755;
  record.parentDevice = 2049;
  record.parentInode = 1234567;
  return record;
}

void expectSame(const qelda::QuarantineRecord& a, const qelda::QuarantineRecord& b) {
  EXPECT_EQ(a.path, b.path);
  EXPECT_EQ(a.restorable, b.restorable);
  EXPECT_EQ(a.detection, b.detection);
  EXPECT_EQ(a.time, b.time);
  EXPECT_EQ(a.sha256, b.sha256);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.uid, b.uid);
  EXPECT_EQ(a.gid, b.gid);
  EXPECT_EQ(a.mode, b.mode);
  EXPECT_EQ(a.parentDevice, b.parentDevice);
  EXPECT_EQ(a.parentInode, b.parentInode);
}

TEST(QeldaQuarantineRecord, EveryByteOfAFieldSurvivesOnOneLine) {
  std::string allBytes;
  for (int byte = 1; byte < 256; ++byte) allBytes += static_cast<char>(byte);
  const std::string names[] = {
      "/a/victim\npath=/etc/passwd",
      "/a/%0A literally",
      "/a/carriage\rreturn\ttab",
      "/a/" + allBytes.substr(0, 46) + allBytes.substr(47),  // no slash inside the name
      "/a/non-utf8 \xff\xfe",
      "/a/equals=sign",
  };
  for (const std::string& name : names) {
    qelda::QuarantineRecord record = sample();
    record.path = name;
    record.detection = "Det\nsize=1";
    const std::string text = qelda::formatRecord(record);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12) << text;
    EXPECT_TRUE(std::all_of(text.begin(), text.end(),
                            [](char c) { return c == '\n' || (c >= 0x20 && c <= 0x7E); }))
        << text;
    qelda::QuarantineRecord parsed;
    ASSERT_TRUE(qelda::parseRecord(text, parsed)) << text;
    expectSame(parsed, record);
  }
}

TEST(QeldaQuarantineRecord, EscapingIsPercentWithUpperCaseHex) {
  EXPECT_EQ(qelda::escapeField("a b%c\n\x7f\xff"), "a b%25c%0A%7F%FF");
  std::string out;
  EXPECT_TRUE(qelda::unescapeField("a b%25c%0A%7F%FF", out));
  EXPECT_EQ(out, "a b%c\n\x7f\xff");
  for (const char* bad : {"%", "%4", "%G0", "%0a", "raw\ttab", "raw\x7f"}) {
    EXPECT_FALSE(qelda::unescapeField(bad, out)) << bad;
  }
}

// Replaces the first occurrence of `from` in the sample's text by `to`.
std::string sampleWith(const std::string& from, const std::string& to) {
  std::string text = qelda::formatRecord(sample());
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(QeldaQuarantineRecord, AnythingButTheExactFormIsRefused) {
  const std::string good = qelda::formatRecord(sample());
  qelda::QuarantineRecord parsed;
  ASSERT_TRUE(qelda::parseRecord(good, parsed));
  expectSame(parsed, sample());
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"Empty", ""},
      {"NoHeader", good.substr(good.find('\n') + 1)},
      {"OtherVersion", sampleWith("qelda-quarantine 2", "qelda-quarantine 3")},
      {"FirstVersionWithRestorableLine", sampleWith("qelda-quarantine 2", "qelda-quarantine 1")},
      {"RestorableNotABit", sampleWith("restorable=1", "restorable=2")},
      {"RestorableEmpty", sampleWith("restorable=1", "restorable=")},
      {"RestorableMissing", sampleWith("restorable=1\n", "")},
      {"LastLineUnended", good.substr(0, good.size() - 1)},
      {"ExtraLine", good + "extra=1\n"},
      {"DuplicateLine", good + "path=/other\n"},
      {"UnknownKey", sampleWith("detection=", "detected=")},
      {"SwappedOrder", sampleWith("uid=1000\ngid=100", "gid=100\nuid=1000")},
      {"RawControlByte", sampleWith("report.pdf", "report\t.pdf")},
      {"RawHighByte", sampleWith("report.pdf", "report\xff.pdf")},
      {"BadEscape", sampleWith("report.pdf", "report%ZZ.pdf")},
      {"RelativePath", sampleWith("path=/srv", "path=srv")},
      {"EscapedNul", sampleWith("report.pdf", "report%00.pdf")},
      {"ShortDigest", sampleWith("sha256=00", "sha256=")},
      {"UpperCaseDigest", sampleWith("sha256=0009121b", "sha256=0009121B")},
      {"SignedSize", sampleWith("size=", "size=+")},
      {"NegativeSize", sampleWith("size=", "size=-")},
      {"SizeOverflow", sampleWith("size=4294963200", "size=99999999999999999999")},
      {"ModeNotOctal", sampleWith("mode=04755", "mode=4755")},
      {"ModeBadDigit", sampleWith("mode=04755", "mode=0758")},
      {"ModeTooLarge", sampleWith("mode=04755", "mode=017777")},
      {"UidWithText", sampleWith("uid=1000", "uid=1000x")},
      {"EmptyInode", sampleWith("parent_inode=1234567", "parent_inode=")},
      {"TooLarge", sampleWith("detection=", "detection=" + std::string(qelda::kMaxRecordBytes, 'x'))},
  };
  for (const auto& c : cases) EXPECT_FALSE(qelda::parseRecord(c.text, parsed)) << c.name;
}

// A record written before kept copies existed: the same lines without the
// restorable one, and restorable it is.
TEST(QeldaQuarantineRecord, FirstVersionRecordsAreRestorable) {
  qelda::QuarantineRecord parsed;
  ASSERT_TRUE(qelda::parseRecord(sampleWith("qelda-quarantine 2\npath=/srv/files/report.pdf\nrestorable=1",
                                            "qelda-quarantine 1\npath=/srv/files/report.pdf"),
                                 parsed));
  expectSame(parsed, sample());
  EXPECT_FALSE(qelda::parseRecord(sampleWith("qelda-quarantine 2\npath=/srv/files/report.pdf\nrestorable=1",
                                             "qelda-quarantine 1\npath=/srv/files/report.pdf\nrestorable=0"),
                                  parsed));
}

// A copy kept for analysis is named as the module was reported, which need not
// be a path; a restorable record still needs an absolute one.
TEST(QeldaQuarantineRecord, KeptCopiesCarryTheReportedName) {
  const struct {
    const char* path;
    bool restorable;
    bool accepted;
  } cases[] = {{"memfd:payload [pid 4242]", false, true},
               {"/tmp/x/evil (deleted) [pid 4242]", false, true},
               {"memfd:payload [pid 4242]", true, false},
               {"", false, false}};
  for (const auto& c : cases) {
    qelda::QuarantineRecord record = sample();
    record.path = c.path;
    record.restorable = c.restorable;
    qelda::QuarantineRecord parsed;
    EXPECT_EQ(qelda::parseRecord(qelda::formatRecord(record), parsed), c.accepted) << c.path << c.restorable;
    if (c.accepted) expectSame(parsed, record);
  }
}

}  // namespace
