#include "kernel/VxNABuf.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/HexBytes.h"

namespace {

using vxtest::hex;

using namespace std::string_literals;

// ---------------------------------------------------------------------------
// Serialised form

struct SerializeCase {
  const char* name;
  std::string payload;
  std::string serialized;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const SerializeCase& c, std::ostream* os) { *os << c.name; }

class VxNABufSerializeTest : public ::testing::TestWithParam<SerializeCase> {};

TEST_P(VxNABufSerializeTest, WritesLittleEndianCountThenBytes) {
  const SerializeCase& c = GetParam();
  const VxNABuf buf(c.payload);
  EXPECT_EQ(buf.serializedSize(), c.payload.size() + 4);

  std::string out;
  buf.serialize(out);
  EXPECT_EQ(hex(out), hex(c.serialized));
  EXPECT_EQ(out.size(), buf.serializedSize());

  // serialize appends; it never replaces what the output already holds.
  std::string appended = "head";
  buf.serialize(appended);
  EXPECT_EQ(hex(appended), hex("head" + c.serialized));

  VxNABuf back;
  EXPECT_EQ(back.deserialize(out.data(), out.size()), out.size());
  EXPECT_EQ(hex(back), hex(c.payload));
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, VxNABufSerializeTest,
    ::testing::Values(
        SerializeCase{"Empty", "", "\0\0\0\0"s},
        SerializeCase{"Abc", "abc", "\x03\0\0\0abc"s},
        SerializeCase{"OnlyNuls", "\0\0"s, "\x02\0\0\0\0\0"s},
        SerializeCase{"EmbeddedNuls", "a\0b\0c"s, "\x05\0\0\0a\0b\0c"s},
        SerializeCase{"HighBytes", "\xFF\x80\x7F", "\x03\0\0\0\xFF\x80\x7F"s},
        SerializeCase{"CountAbove255", std::string(0x0102, 'x'),
                      "\x02\x01\0\0"s + std::string(0x0102, 'x')},
        SerializeCase{"CountAbove65535", std::string(0x010203, '\0'),
                      "\x03\x02\x01\0"s + std::string(0x010203, '\0')}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Reading

struct DeserializeCase {
  const char* name;
  std::string input;
  std::size_t consumed;  // 0: rejected
  std::string payload;   // when accepted
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const DeserializeCase& c, std::ostream* os) { *os << c.name; }

class VxNABufDeserializeTest : public ::testing::TestWithParam<DeserializeCase> {};

TEST_P(VxNABufDeserializeTest, ConsumesOneValueOrRejectsTheInput) {
  const DeserializeCase& c = GetParam();
  VxNABuf buf;
  EXPECT_EQ(buf.deserialize(c.input.data(), c.input.size()), c.consumed);
  if (c.consumed != 0) {
    EXPECT_EQ(hex(buf), hex(c.payload));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, VxNABufDeserializeTest,
    ::testing::Values(
        DeserializeCase{"NoBytes", "", 0, ""},
        DeserializeCase{"OneByte", "\x00"s, 0, ""},
        DeserializeCase{"ThreeBytes", "\x00\x00\x00"s, 0, ""},
        DeserializeCase{"EmptyValue", "\0\0\0\0"s, 4, ""},
        DeserializeCase{"Exact", "\x03\0\0\0abc"s, 7, "abc"},
        DeserializeCase{"OneByteShort", "\x03\0\0\0ab"s, 0, ""},
        DeserializeCase{"CountWithoutBytes", "\x01\0\0\0"s, 0, ""},
        DeserializeCase{"HighCountByte", "\0\0\0\x01"s + std::string(16, 'x'), 0, ""},
        DeserializeCase{"LargestCount", "\xFF\xFF\xFF\xFF" "abcd"s, 0, ""},
        DeserializeCase{"MoreInputFollows", "\x03\0\0\0abcXYZ"s, 7, "abc"},
        DeserializeCase{"NextValueFollows", "\x01\0\0\0z\x02\0\0\0hi"s, 5, "z"},
        DeserializeCase{"EmbeddedNuls", "\x05\0\0\0a\0b\0c"s, 9, "a\0b\0c"s},
        DeserializeCase{"CountAbove255", "\x00\x01\0\0"s + std::string(0x100, 'y') + "tail", 0x104,
                        std::string(0x100, 'y')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VxNABufTest, NullDataIsRejected) {
  VxNABuf buf;
  EXPECT_EQ(buf.deserialize(nullptr, 8), 0u);
}

TEST(VxNABufTest, ConsecutiveValuesReadBackFromOneBuffer) {
  const std::vector<std::string> payloads{"first", ""s, "\0mid\0"s, std::string(300, '\xAB')};
  std::string stream;
  for (const std::string& payload : payloads) VxNABuf(payload).serialize(stream);

  std::size_t offset = 0;
  for (const std::string& payload : payloads) {
    VxNABuf buf;
    const std::size_t used = buf.deserialize(stream.data() + offset, stream.size() - offset);
    ASSERT_EQ(used, payload.size() + 4);
    EXPECT_EQ(hex(buf), hex(payload));
    offset += used;
  }
  EXPECT_EQ(offset, stream.size());
}

TEST(VxNABufTest, DeserializeReplacesThePreviousContent) {
  VxNABuf buf("previous content");
  const std::string input = "\x02\0\0\0ok"s;
  ASSERT_EQ(buf.deserialize(input.data(), input.size()), input.size());
  EXPECT_EQ(static_cast<const std::string&>(buf), "ok");
}

}  // namespace
