#include "platform/console_window.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "memory_world.h"

namespace sarnelux {
namespace {

const InputEvent kMouse{false, 0};
const InputEvent kRelease{false, 'a'};
const InputEvent kShift{true, 0};
InputEvent Key(char c) { return InputEvent{true, c}; }

struct PollCase {
  const char* name;
  std::vector<InputEvent> pending;
  std::vector<std::string> polls;  // what successive polls return

  friend void PrintTo(const PollCase& c, std::ostream* os) { *os << c.name; }
};

class PollKeyTest : public testing::TestWithParam<PollCase> {};

TEST_P(PollKeyTest, TakesEventsUpToTheFirstKeyDown) {
  MemoryWorld world;
  for (const InputEvent& event : GetParam().pending) {
    world.platform.QueueInput(event);
  }
  for (const std::string& expected : GetParam().polls) {
    EXPECT_EQ(world.console.PollKey(), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Console, PollKeyTest,
    testing::Values(
        PollCase{"nothing_pending", {}, {"", ""}},
        PollCase{
            "mouse_release_then_a", {kMouse, kRelease, Key('a')}, {"a", ""}},
        PollCase{"shift_then_enter", {kShift, Key('\r')}, {"", "\r"}},
        PollCase{"shift_then_a", {kShift, Key('a')}, {"", "a"}},
        PollCase{"keys_stay_queued", {Key('x'), Key('y')}, {"x", "y", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Console, LinesEndInCarriageReturnLineFeed) {
  MemoryWorld world;
  world.console.WriteLine("text");
  world.console.WriteLine("");
  EXPECT_EQ(world.Output(), "text\r\n\r\n");
}

TEST(Console, WaitBlocksBetweenPollsUntilAKeyWithACharacter) {
  MemoryWorld world;
  world.platform.QueueInput(kShift);
  world.platform.QueueInput(kMouse);
  world.platform.QueueInput(Key(' '));
  EXPECT_EQ(world.console.WaitForKey(), " ");
  EXPECT_LE(world.platform.input_waits(), 2);
}

TEST(Console, WaitEndsAtOnceWhenNoKeyCanArrive) {
  MemoryWorld world;
  world.platform.QueueInput(kShift);
  EXPECT_EQ(world.console.WaitForKey(), "");
  EXPECT_EQ(world.platform.input_waits(), 1);
}

}  // namespace
}  // namespace sarnelux
