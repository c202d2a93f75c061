// Stream-mode line rules: line ends, replacement of ill-formed UTF-8, the blank test, and line
// splitting over reads of any size.
#include "command_channel/stream_lines.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace halvorine {
namespace {

TEST(StreamLines, StripsLineFeedAndCarriageReturnBeforeIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc\n", "abc"}, {"abc\r\n", "abc"}, {"abc\r", "abc\r"}, {"abc\r\r\n", "abc\r"},
      {"\n", ""},       {"\r\n", ""},       {"abc", "abc"},     {"a\rb\n", "a\rb"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(stripLineEnd(in), want) << in;
}

std::string replaced(std::string_view bytes) {
  std::string out;
  appendReplacingInvalidUtf8(out, bytes);
  return out;
}

TEST(StreamLines, ReplacesEachMaximalSubpartOnce) {
  const std::string R = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"plain ascii", "plain ascii"},
      {"h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "h\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + R + "b"},
      {"\x80\x80", R + R},                  // lone continuation bytes
      {"\xC0\xAF", R + R},                  // overlong: C0 is never a lead byte
      {"\xE0\x80\x80", R + R + R},          // overlong three-byte form
      {"\xED\xA0\x80", R + R + R},          // encoded surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xE2\x82"
       "x",
       R + "x"},  // truncated: one replacement
      {"\xF0\x9F\x98"
       "x",
       R + "x"},                                     // truncated four-byte sequence
      {"\xF0\x9F\x98", R},                           // truncated at the end
      {"\xE2\x82\xE2\x82\xAC", R + "\xE2\x82\xAC"},  // truncated, then a good one
      {"\xF5\xF8\xFE", R + R + R},
      // The example of the Unicode standard: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + R + R + R + "b" + R + "c" + R + R + "d"},
  };
  for (const auto& [in, want] : cases) {
    EXPECT_EQ(replaced(in), want) << in;
    EXPECT_EQ(isValidUtf8(in), in == want) << in;
    EXPECT_TRUE(isValidUtf8(replaced(in)));
  }
}

TEST(StreamLines, BlankMeansOnlyTheListedCharacters) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"   \t ", true},
      {"\r", true},
      {"\v\f\n", true},
      {"\xC2\xA0", true},      // no-break space (Zs)
      {"\xE3\x80\x80", true},  // ideographic space (Zs)
      {"\xE2\x80\x83", true},  // em space (Zs)
      {"\xC2\x85", true},      // next line
      {"\xE2\x80\xA8\xE2\x80\xA9", true},
      {"\xE2\x80\x8B", false},  // zero-width space is not Zs
      {"\xEF\xBB\xBF", false},  // byte order mark
      {"\x1C", false},          // other control characters are not blank
      {std::string(1, '\0'), false},
      {" x ", false},
      {"\xC2\xA0{\"type\":\"probe\"}", false},
  };
  for (const auto& [line, blank] : cases) EXPECT_EQ(isBlankLine(line), blank) << line;
}

TEST(StreamLines, PrepareSkipsBlankAndKeepsUntrimmedLine) {
  std::string scratch;
  EXPECT_FALSE(prepareStreamLine("\n", scratch));
  EXPECT_FALSE(prepareStreamLine(" \t\r\n", scratch));
  EXPECT_FALSE(prepareStreamLine("\xC2\xA0\n", scratch));
  EXPECT_EQ(prepareStreamLine("  {\"a\":1} \r\n", scratch), "  {\"a\":1} ");
  EXPECT_EQ(prepareStreamLine("{\"type\":\"a\xFF\"}\n", scratch), "{\"type\":\"a\xEF\xBF\xBD\"}");
  EXPECT_EQ(prepareStreamLine("\xFF\n", scratch), "\xEF\xBF\xBD");  // U+FFFD is not blank
}

int memoryFile(const std::string& content) {
  int fd = memfd_create("stream", 0);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::vector<std::string> allLines(const std::string& input, size_t blockSize) {
  int fd = memoryFile(input);
  LineReader reader(fd, blockSize);
  std::vector<std::string> lines;
  std::string_view line;
  while (reader.next(line)) lines.emplace_back(line);
  close(fd);
  return lines;
}

TEST(StreamLines, ReaderSplitsAtLineFeedsWhateverTheBlockSize) {
  const std::string input = "one\n\ntwo\r\nthree without end";
  for (size_t block : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{65536}}) {
    EXPECT_EQ(allLines(input, block),
              (std::vector<std::string>{"one\n", "\n", "two\r\n", "three without end"}))
        << block;
  }
  EXPECT_TRUE(allLines("", 16).empty());
  EXPECT_EQ(allLines("\n", 16), std::vector<std::string>{"\n"});
}

TEST(StreamLines, ReaderHandlesLineOfManyBlocks) {
  const std::string longLine(20 << 20, 'x');
  const auto lines = allLines("a\n" + longLine + "\nb", 4096);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].size(), longLine.size() + 1);
  EXPECT_EQ(lines[2], "b");
}

}  // namespace
}  // namespace halvorine
