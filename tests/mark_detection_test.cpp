#include "marks/mark_detection.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "memory_world.h"

namespace sarnelux {
namespace {

struct DetectCase {
  const char* name;
  std::string bytes;
  MarkKind kind;

  friend void PrintTo(const DetectCase& c, std::ostream* os) { *os << c.name; }
};

class DetectTest : public testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, ClassifiesTheLeadingBytes) {
  const DetectCase& c = GetParam();
  MemoryWorld world;
  world.platform.AddFile("d/f", c.bytes);
  const FileHandle file = world.files.OpenForReading("d/f");
  EXPECT_EQ(DetectLeadingMark(world.files, file), c.kind);
  world.files.Close(file);
  EXPECT_EQ(HasLeadingMark(world.files, "d/f"), c.kind != MarkKind::kNone);
  EXPECT_EQ(world.Output(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Detection, DetectTest,
    testing::Values(
        DetectCase{"empty", "", MarkKind::kNone},
        DetectCase{"one_byte", "\xEF", MarkKind::kNone},
        DetectCase{"utf8_cut_short", "\xEF\xBB", MarkKind::kNone},
        DetectCase{"utf8_alone", "\xEF\xBB\xBF", MarkKind::kUtf8},
        DetectCase{"utf8_text", "\xEF\xBB\xBFhello", MarkKind::kUtf8},
        DetectCase{"utf16le_alone", "\xFF\xFE", MarkKind::kUtf16LE},
        DetectCase{"utf16le_before_utf32le", std::string("\xFF\xFE\0\0", 4),
                   MarkKind::kUtf16LE},
        DetectCase{"utf16le_then_utf8", "\xFF\xFE\xEF\xBB\xBF",
                   MarkKind::kUtf16LE},
        DetectCase{"utf16be", "\xFE\xFFzz", MarkKind::kUtf16BE},
        DetectCase{"utf16be_alone", "\xFE\xFF", MarkKind::kUtf16BE},
        DetectCase{"utf32be", std::string("\0\0\xFE\xFF", 4),
                   MarkKind::kUtf32BE},
        DetectCase{"utf32be_cut_short", std::string("\0\0\xFE", 3),
                   MarkKind::kNone},
        DetectCase{"utf32le_reversed", std::string("\0\0\xFF\xFE", 4),
                   MarkKind::kNone},
        DetectCase{"mark_after_first_byte", "x\xEF\xBB\xBF", MarkKind::kNone},
        DetectCase{"plain_text", "hello", MarkKind::kNone}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Detection, FileThatCannotBeOpenedHasNoMark) {
  MemoryWorld world;
  world.platform.AddFile("d/held", kMark).held_by_other = true;
  EXPECT_FALSE(HasLeadingMark(world.files, "d/held"));
  EXPECT_FALSE(HasLeadingMark(world.files, "d/missing"));
  EXPECT_EQ(world.platform.open_files(), 0u);
}

}  // namespace
}  // namespace sarnelux
