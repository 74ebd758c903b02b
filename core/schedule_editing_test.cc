#include "core/schedule_editing.h"

#include <gtest/gtest.h>

namespace tamrin {
namespace {

using ScheduleEditing::Period;

TEST(ScheduleEditingTest, Examples) {
  struct Case {
    const char* name;
    Period (*operation)(std::int64_t, std::int64_t, std::int64_t, bool);
    std::int64_t start, end, by;
    bool snapping;
    Period expected;
  } const cases[] = {
      {"move across midnight", ScheduleEditing::move, 1380, 60, 90, false, {30, 150}},
      {"move back before midnight", ScheduleEditing::move, 0, 60, -30, false, {1410, 30}},
      {"move snapped", ScheduleEditing::move, 7, 68, 22, true, {15, 90}},
      {"move keeps a zero span", ScheduleEditing::move, 100, 100, 5, false, {105, 105}},
      {"move unsnapped odd values", ScheduleEditing::move, 7, 68, 22, false, {29, 90}},
      {"resize start to the shortest",
       ScheduleEditing::resizeStart,
       540,
       600,
       60,
       false,
       {585, 600}},
      {"resize start before midnight",
       ScheduleEditing::resizeStart,
       540,
       600,
       -600,
       false,
       {1380, 600}},
      {"resize end across midnight", ScheduleEditing::resizeEnd, 1380, 60, 30, false, {1380, 90}},
      {"resize end of nothing", ScheduleEditing::resizeEnd, 0, 0, 0, false, {0, 15}},
      {"resize end to the longest", ScheduleEditing::resizeEnd, 0, 60, 2000, false, {0, 1425}},
      {"resize end snaps the kept start", ScheduleEditing::resizeEnd, 8, 68, 0, true, {15, 75}},
      {"snapping of negatives", ScheduleEditing::move, 0, 60, -8, true, {1425, 45}},
      {"snapping rounds -7 to 0", ScheduleEditing::move, 0, 60, -7, true, {0, 60}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.operation(c.start, c.end, c.by, c.snapping), c.expected) << c.name;
  }
  EXPECT_EQ(ScheduleEditing::stepMinutes, 15);
}

}  // namespace
}  // namespace tamrin
