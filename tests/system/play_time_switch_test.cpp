// The settings command's counter switches against the holds (the inactive
// pause and the system call's explicit pause) on explicit clock values: no
// span is counted twice or taken out twice, and a value never jumps back.
#include <gtest/gtest.h>

#include <vector>

#include "core/play_time.h"

namespace {

struct step {
  char what;      // 's' stop, 'r' run, 'h' hold explicit, 'H' release explicit, 'i' hold inactive, 'I' release inactive
  uint32_t at;
};

int64_t counter_after(const std::vector<step>& steps, uint32_t read_at) {
  start_play_time_counters(0);
  for (const step& s : steps) {
    switch (s.what) {
      case 's': switch_play_time_counter(1, 0, s.at); break;
      case 'r': switch_play_time_counter(1, 1, s.at); break;
      case 'h': hold_play_time(play_time_hold_explicit, s.at); break;
      case 'H': release_play_time(play_time_hold_explicit, s.at); break;
      case 'i': hold_play_time(play_time_hold_inactive, s.at); break;
      case 'I': release_play_time(play_time_hold_inactive, s.at); break;
    }
  }
  return play_time_value(1, read_at);
}

TEST(PlayTimeSwitch, StoppedAndHeldSpansCountOnce) {
  struct row {
    std::vector<step> steps;
    uint32_t read_at;
    int64_t expected;
  } rows[] = {
      {{{'s', 100}, {'r', 10100}}, 12000, 2000},                          // stopped 10 s
      {{{'s', 100}}, 5000, 100},                                          // a stopped counter reads its stop
      {{{'h', 100}}, 5000, 100},                                          // a held one reads the hold's start
      {{{'h', 100}, {'s', 200}, {'H', 300}, {'r', 400}}, 500, 200},        // stopped inside a hold
      {{{'h', 100}, {'s', 200}, {'r', 250}, {'H', 300}}, 400, 200},        // stopped and run inside a hold
      {{{'s', 50}, {'h', 100}, {'r', 250}, {'H', 300}}, 400, 150},         // a hold opens while stopped
      {{{'s', 50}, {'h', 100}, {'H', 300}, {'r', 400}}, 500, 150},         // a whole hold while stopped
      {{{'h', 100}, {'i', 150}, {'H', 200}, {'I', 300}}, 400, 200},        // overlapping holds taken out once
      {{{'i', 100}, {'s', 150}, {'I', 200}, {'r', 300}, {'h', 350}}, 1000, 150},
  };
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i)
    EXPECT_EQ(counter_after(rows[i].steps, rows[i].read_at), rows[i].expected) << "row " << i;
  // Counter 0 never stopped: it loses only the held spans.
  counter_after({{'h', 100}, {'H', 300}}, 0);
  EXPECT_EQ(play_time_value(0, 1000), 800);
}

}  // namespace
