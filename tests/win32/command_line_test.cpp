// Decoding the process-environment-block pieces of a command line, in both word sizes.
#include <gtest/gtest.h>

#include <vector>

#include "platform/win32/command_line.h"

namespace tarnwell::platform::win32 {
namespace {

std::vector<std::byte> Bytes(std::initializer_list<unsigned> values) {
  std::vector<std::byte> bytes;
  for (unsigned v : values) bytes.push_back(static_cast<std::byte>(v));
  return bytes;
}

TEST(CountedText, DescriptorOfEachWordSize) {
  // Thirty-two bits, eight bytes: length 0x0034, maximum 0x0036, text at 0x00231F58.
  auto d = DecodeCountedText(Bytes({0x34, 0x00, 0x36, 0x00, 0x58, 0x1F, 0x23, 0x00}), kPeb32);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->length, 0x34);
  EXPECT_EQ(d->maximumLength, 0x36);
  EXPECT_EQ(d->address, 0x00231F58u);
  EXPECT_FALSE(DecodeCountedText(Bytes({0x34, 0x00, 0x36, 0x00, 0x58, 0x1F, 0x23}), kPeb32));

  // Sixty-four bits: the pointer after padding.
  d = DecodeCountedText(Bytes({0x10, 0x01, 0x12, 0x01, 0xEE, 0xEE, 0xEE, 0xEE,  // padding
                               0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}), kPeb64);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->length, 0x0110);
  EXPECT_EQ(d->maximumLength, 0x0112);
  EXPECT_EQ(d->address, 0x0102030405060708u);
  EXPECT_EQ(CountedTextSize(kPeb64), 16u);
}

TEST(CommandLineText, StopsAtTheFirstNulOrTakesAllBytesAndConvertsToUtf8) {
  // "a b" NUL "junk" as UTF-16LE, the buffer as long as the descriptor's maximum.
  EXPECT_EQ(CommandLineText(Bytes({'a', 0, ' ', 0, 'b', 0, 0, 0, 'j', 0, 'u', 0})), "a b");
  EXPECT_EQ(CommandLineText(Bytes({'-', 0, 'a', 0, 'p', 0})), "-ap");
  EXPECT_EQ(CommandLineText(Bytes({'x', 0, 'y'})), "x") << "odd last byte";
  EXPECT_EQ(CommandLineText({}), "");
  // "Pöol ☃ 𝄞": a Latin-1 letter, a BMP symbol and a surrogate pair.
  EXPECT_EQ(CommandLineText(Bytes({'P', 0, 0xF6, 0x00, 'o', 0, 'l', 0, ' ', 0, 0x03, 0x26, ' ', 0,
                                   0x34, 0xD8, 0x1E, 0xDD})),
            "P\xC3\xB6ol \xE2\x98\x83 \xF0\x9D\x84\x9E");
}

}  // namespace
}  // namespace tarnwell::platform::win32
