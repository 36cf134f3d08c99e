// The value parsers of the command and its console: sizes with units,
// numbers, hex bytes, words of a line and its name=value fields.
#include <gtest/gtest.h>

#include "args.h"
#include "progress.h"
#include "names.h"

namespace tool = cowguard::tool;
using Words = std::vector<std::string>;

TEST(ToolArgs, SizesTakeUnitsAndRefuseOverflowAndJunk) {
  EXPECT_EQ(4096u, tool::parse_size("4096"));
  EXPECT_EQ(0x1000u, tool::parse_size("0x1000"));
  EXPECT_EQ(16u << 20, tool::parse_size("16M"));
  EXPECT_EQ(64u << 20, tool::parse_size("64MiB"));
  EXPECT_EQ(8u << 10, tool::parse_size("8k"));
  EXPECT_EQ(std::uint64_t{1} << 30, tool::parse_size("1G"));
  EXPECT_FALSE(tool::parse_size(""));
  EXPECT_FALSE(tool::parse_size("M"));
  EXPECT_FALSE(tool::parse_size("12Q"));
  EXPECT_FALSE(tool::parse_size("-4"));
  EXPECT_FALSE(tool::parse_size("17179869184G"));  // 2^34 GiB does not fit
  EXPECT_EQ(-16, tool::parse_int("-16"));
  EXPECT_EQ(0x40102a0bu, tool::parse_uint("0x40102a0b"));
  EXPECT_FALSE(tool::parse_uint("12x"));
  EXPECT_FALSE(tool::parse_int("-"));
}

TEST(ToolArgs, HexBytesRoundTrip) {
  auto b = tool::parse_hex("0a ff:3c_00");
  ASSERT_TRUE(b);
  EXPECT_EQ((std::vector<std::uint8_t>{0x0a, 0xff, 0x3c, 0x00}), *b);
  EXPECT_EQ("0aff3c00", tool::to_hex(b->data(), b->size()));
  EXPECT_EQ((std::vector<std::uint8_t>{0xab}), tool::parse_hex("0xab"));
  EXPECT_FALSE(tool::parse_hex("abc"));  // odd digit count
  EXPECT_FALSE(tool::parse_hex("zz"));
}

TEST(ToolArgs, WordsQuotesCommentsAndFields) {
  EXPECT_EQ((Words{"expect-log", "<3>ioctlSnapShot: session key mismatch", "x"}),
            tool::split_words("  expect-log \"<3>ioctlSnapShot: session key mismatch\" x  # why"));
  EXPECT_EQ((Words{}), tool::split_words("# only a comment"));
  EXPECT_EQ((Words{"a", ""}), tool::split_words("a \"\""));

  tool::Fields f(Words{"3", "sda1", "len=8", "s=bad", "=odd"});
  EXPECT_EQ((Words{"3", "sda1", "=odd"}), f.positional());
  EXPECT_EQ((Words{"3", "sda1", "len=8", "s=bad", "=odd"}), f.words());
  EXPECT_TRUE(f.has("len"));
  EXPECT_EQ("8", f.get("len"));
  EXPECT_FALSE(f.get("nothere"));
}

// The fields of a line are held against the step's rules as a whole, before
// the step reads any of them.
TEST(ToolArgs, FieldsAreCheckedAgainstTheRulesOfTheStep) {
  const std::vector<tool::FieldRule> rules = {tool::number_field("len"), tool::text_field("name"),
                                              tool::choice_field("prot", {"r", "rw", "w"}),
                                              tool::signed_field("times"),
                                              tool::number_field("point", 0xffffffff)};
  EXPECT_EQ("", tool::Fields(Words{"3", "len=0x10", "name=a b", "prot=rw", "times=-1"}).check("mmap", rules));
  EXPECT_EQ("", tool::Fields(Words{"3"}).check("mmap", rules));
  EXPECT_EQ("mmap has no field lenn", tool::Fields(Words{"len=1", "lenn=4"}).check("mmap", rules));
  EXPECT_EQ("mmap has no fields a b", tool::Fields(Words{"b=1", "a=2"}).check("mmap", rules));
  EXPECT_EQ("field len given twice", tool::Fields(Words{"len=1", "len=2"}).check("mmap", rules));
  EXPECT_EQ("bad len '4x' (a number)", tool::Fields(Words{"len=4x"}).check("mmap", rules));
  EXPECT_EQ("bad len '' (a number)", tool::Fields(Words{"len="}).check("mmap", rules));
  EXPECT_EQ("bad prot 'rwx' (r, rw or w)", tool::Fields(Words{"prot=rwx"}).check("mmap", rules));
  EXPECT_EQ("bad times '1.5' (a number)", tool::Fields(Words{"times=1.5"}).check("mmap", rules));
  EXPECT_EQ("", tool::Fields(Words{"point=4294967295"}).check("restore", rules));
  EXPECT_EQ("bad point '4294967296' (a number up to 4294967295)",
            tool::Fields(Words{"point=4294967296"}).check("restore", rules));
}

TEST(ToolNames, StatusesStatesAndErrnos) {
  for (long code : {0L, 1L, 2L, 3L, 4L, 5L, 6L, 7L, 8L, 9L, 11L, 12L})
    EXPECT_EQ(code, tool::status_by_name(tool::status_name(code))) << code;
  EXPECT_EQ("", tool::status_name(10));
  EXPECT_EQ("CGD_STATE_REFUSED", tool::state_name(12));
  EXPECT_EQ("", tool::state_name(3));
  EXPECT_EQ("EBUSY", tool::errno_name(16));
  EXPECT_EQ(16, tool::errno_by_name("EBUSY"));
  EXPECT_FALSE(tool::errno_by_name("CGD_OK"));
  EXPECT_EQ("CGD_READ_BLOCKS", tool::command_name(0x40102a0a));
  EXPECT_EQ("", tool::command_name(0x40102a0b));
  EXPECT_EQ("8:17", tool::devname((8u << 20) | 17));
}

TEST(ToolProgress, LinesFitTheTerminalAndShowRateAndTimeLeft) {
  using cowguard::tool::progress_line;
  // Half of 100 MiB in 5 s: 10 MiB/s, 5 s left, a bar on a wide terminal.
  std::string wide = progress_line("restoring point 3", 50ull << 20, 100ull << 20, 5.0, 120);
  EXPECT_NE(std::string::npos, wide.find(" 50% restoring point 3")) << wide;
  EXPECT_NE(std::string::npos, wide.find("50.0 MiB of 100.0 MiB, 10.0 MiB/s, 5s left")) << wide;
  EXPECT_EQ('[', wide.front());
  EXPECT_LT(wide.size(), 120u);
  // A narrow terminal: no bar, cut short of the last column so it never wraps.
  std::string narrow = progress_line("restoring point 3", 50ull << 20, 100ull << 20, 5.0, 30);
  EXPECT_EQ(29u, narrow.size());
  EXPECT_NE('[', narrow.front());
  // No rate before there is anything to measure; done shows no time left.
  EXPECT_EQ(std::string::npos, progress_line("x", 0, 100, 0.1, 200).find("/s"));
  EXPECT_EQ(std::string::npos, progress_line("x", 100, 100, 3, 200).find("left"));
  EXPECT_EQ("1h02m", cowguard::tool::human_seconds(3725));
}
