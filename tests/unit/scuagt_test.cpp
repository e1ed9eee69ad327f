// The authorization file's text into rule lines, and the reading of the file
// itself: byte for byte, whatever the platform's text mode would do.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "modules/scuagt.h"
#include "platform/config_file.h"

namespace {

using namespace std::string_literals;
using lines_t = std::vector<std::pair<int, std::string>>;

lines_t split(const std::string& text) {
  lines_t lines;
  SCUsplit_lines(text, lines);
  return lines;
}

// A folder of its own under the system's temporary folder, removed at the end.
struct scratch {
  std::filesystem::path dir;
  scratch() {
    dir = std::filesystem::temp_directory_path() /
          ("kvs-scu-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  ~scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::string write(const std::string& name, const std::string& content) const {
    std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
};

}  // namespace

TEST(AuthorizationLines, EveryByteButTheLineEndBelongsToItsLine) {
  struct split_case {
    std::string text;
    lines_t lines;
  };
  const split_case cases[] = {
      // Ctrl-Z ends nothing: the rules after it count.
      {"+ +\n\x1a\n+ -\n", {{1, "+ +"}, {2, "\x1a"}, {3, "+ -"}}},
      {"+ +\x1a+ -\n", {{1, "+ +\x1a+ -"}}},
      {"+ a\r\n+ -b\r\n", {{1, "+ a"}, {2, "+ -b"}}},
      // Only CR LF and LF end lines: a lone CR stays in its line.
      {"+ a\r+ b\n", {{1, "+ a\r+ b"}}},
      {"+ a\r\r\n", {{1, "+ a\r"}}},
      {"\xEF\xBB\xBF+ a\n", {{1, "+ a"}}},
      {"+ a\n\xEF\xBB\xBF+ b\n", {{1, "+ a"}, {2, "\xEF\xBB\xBF+ b"}}},  // a mark is one only at the start
      {"+ last", {{1, "+ last"}}},
      {"# only\n\n\r\n+ c # said\n  # indented\n", {{4, "+ c "}, {5, "  "}}},
      {"", {}},
      {"\n\n", {}},
      {"+ nul\0after\n+ next\n"s, {{1, "+ nul\0after"s}, {2, "+ next"}}},
  };
  for (const split_case& c : cases) EXPECT_EQ(split(c.text), c.lines) << c.text;
}

TEST(ConfigFile, OnlyARegularFileWithinTheLimitIsRead) {
  scratch s;
  const std::string bytes = "+ +\r\n\x1a\r\n+ -\r\n\0end"s;  // binary: nothing translated, nothing cut
  struct read_case {
    std::string path;
    std::size_t limit;
    plat_config_status status;
    std::string content;
    std::string why;
  };
  const read_case cases[] = {
      {s.write("rules", bytes), 1024, plat_config_status::read, bytes, ""},
      {s.write("exact", "12345678"), 8, plat_config_status::read, "12345678", ""},
      {s.write("empty", ""), 8, plat_config_status::read, "", ""},
      {s.write("over", "123456789"), 8, plat_config_status::too_large, "", "larger than 8 bytes"},
      {(s.dir / "absent").string(), 8, plat_config_status::missing, "", "No such file or directory"},
      {s.dir.string(), 8, plat_config_status::not_regular, "", "a directory"},
  };
  for (const read_case& c : cases) {
    plat_config_file got = PLATread_config_file(c.path.c_str(), c.limit);
    EXPECT_EQ(got.status, c.status) << c.path;
    EXPECT_TRUE(got.content == c.content) << c.path << ": " << got.content.size() << " bytes";
    EXPECT_EQ(got.why, c.why) << c.path;
  }
}
