// The task-state text form: exact layout, round trips at the depth limit,
// and damaged texts (magic, letters, counts, saved depths, truncation).
#include <gtest/gtest.h>

#include "script/task_state.h"

namespace {

task_state_image sample_image(int blocks, int calls, int loops) {
  task_state_image s;
  for (int i = 0; i < blocks; ++i) s.blocks.push_back({static_cast<uint8_t>(i % 64), 100u + i, 0xFEDCBA98u - i});
  for (int i = 0; i < calls; ++i)
    s.calls.push_back({static_cast<int8_t>(i % 64), static_cast<int8_t>(63 - i % 64), 7u * i, static_cast<uint16_t>(0xFFFF - i)});
  for (int i = 0; i < loops; ++i)
    s.loops.push_back({static_cast<uint8_t>(i), 5u + i, 9u + i, -int64_t(i) - 1, i % 2 ? -1 : int64_t(i) * 1000});
  s.mark = 0x01234567;
  s.pc = 0x89ABCDEF;
  s.name = "script\\main.txt";
  return s;
}

void expect_same(const task_state_image& a, const task_state_image& b) {
  ASSERT_EQ(a.blocks.size(), b.blocks.size());
  ASSERT_EQ(a.calls.size(), b.calls.size());
  ASSERT_EQ(a.loops.size(), b.loops.size());
  for (size_t i = 0; i < a.blocks.size(); ++i) {
    EXPECT_EQ(a.blocks[i].saved_loop_depth, b.blocks[i].saved_loop_depth);
    EXPECT_EQ(a.blocks[i].open_index, b.blocks[i].open_index);
    EXPECT_EQ(a.blocks[i].end_index, b.blocks[i].end_index);
  }
  for (size_t i = 0; i < a.calls.size(); ++i) {
    EXPECT_EQ(a.calls[i].saved_block_depth, b.calls[i].saved_block_depth);
    EXPECT_EQ(a.calls[i].saved_loop_depth, b.calls[i].saved_loop_depth);
    EXPECT_EQ(a.calls[i].return_index, b.calls[i].return_index);
    EXPECT_EQ(a.calls[i].return_script, b.calls[i].return_script);
  }
  for (size_t i = 0; i < a.loops.size(); ++i) {
    EXPECT_EQ(a.loops[i].saved_block_depth, b.loops[i].saved_block_depth);
    EXPECT_EQ(a.loops[i].body_start, b.loops[i].body_start);
    EXPECT_EQ(a.loops[i].end_index, b.loops[i].end_index);
    EXPECT_EQ(a.loops[i].counter, b.loops[i].counter);
    EXPECT_EQ(a.loops[i].limit, b.loops[i].limit);
  }
  EXPECT_EQ(a.mark, b.mark);
  EXPECT_EQ(a.pc, b.pc);
  EXPECT_EQ(a.name, b.name);
}

}  // namespace

TEST(TaskStateText, ExactLayoutOfASmallState) {
  task_state_image s;
  s.blocks.push_back({2, 0x10, 0x2F});
  s.calls.push_back({1, 2, 0x30, 3});
  s.loops.push_back({1, 0x40, 0x50, 2, -1});
  s.mark = 0xA5;
  s.pc = 0x1234;
  s.name = "m.txt";
  std::string text;
  write_task_state(s, text);
  const std::string expected = std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8) +
                               "ab" + "ac" "aaaaaaba" "aaaaaacp" +
                               "ab" + "ab" "ac" "aaaaaada" "aaaaaaad" +
                               "ab" + "ab" "aaaaaaea" "aaaaaafa" "aaaaaaac" "pppppppp" +
                               "aaaaaakf" + "aaaabcde" + "aaaaaaaf" + "m.txt";
  EXPECT_EQ(text, expected);
  task_state_image back;
  EXPECT_EQ(parse_task_state(text, back), static_cast<int>(text.size()));
  expect_same(s, back);
}

TEST(TaskStateText, EmptyStacksGiveTheShortestText) {
  task_state_image s;
  s.name = "abc";
  std::string text;
  write_task_state(s, text);
  EXPECT_EQ(text.size(), 8u + 2 + 2 + 2 + 24 + 3);
  EXPECT_EQ(text.size(), task_state_fixed_length + 3);
}

TEST(TaskStateText, RoundTripAtTheDepthLimitAndTrailingText) {
  task_state_image s = sample_image(63, 63, 63);
  std::string text;
  write_task_state(s, text);
  EXPECT_EQ(text.size(), task_state_fixed_length + 63 * (18 + 20 + 34) + s.name.size());
  task_state_image back;
  // Characters after the name are not part of the state.
  EXPECT_EQ(parse_task_state(text + "tail", back), static_cast<int>(text.size()));
  expect_same(s, back);
}

TEST(TaskStateText, LoopValuesTravelAsLow32BitsSignExtended) {
  task_state_image s;
  s.loops.push_back({0, 1, 2, (int64_t{5} << 32) + 7, int64_t{0x80000000}});
  std::string text;
  write_task_state(s, text);
  task_state_image back;
  ASSERT_GT(parse_task_state(text, back), 0);
  EXPECT_EQ(back.loops[0].counter, 7);
  EXPECT_EQ(back.loops[0].limit, int64_t{INT32_MIN});
}

TEST(TaskStateText, LongNamesAreCutAtTheReadLimit) {
  task_state_image s;
  s.name.assign(400, 'n');
  std::string text;
  write_task_state(s, text);
  EXPECT_EQ(text.size(), task_state_fixed_length + task_state_name_max);
  task_state_image back;
  EXPECT_EQ(parse_task_state(text, back), static_cast<int>(text.size()));
  EXPECT_EQ(back.name.size(), task_state_name_max);
}

TEST(TaskStateText, DamagedTextsAreRefusedAndLeaveTheImage) {
  std::string good;
  write_task_state(sample_image(3, 2, 4), good);
  task_state_image keep = sample_image(1, 0, 0);
  auto refused = [&](const std::string& text) {
    task_state_image out = keep;
    int r = parse_task_state(text, out);
    expect_same(out, keep);
    return r;
  };
  // Magic.
  EXPECT_EQ(refused(""), task_state_bad_magic);
  std::string bad = good;
  bad[7] = 9;
  EXPECT_EQ(refused(bad), task_state_bad_magic);
  // Every truncation.
  for (size_t n = 8; n < good.size(); ++n) ASSERT_EQ(refused(good.substr(0, n)), task_state_malformed) << n;
  // A letter outside 'a'..'p' anywhere in the letter part.
  const size_t letters_end = good.size() - 15;  // the name is 15 bytes
  for (size_t i = 8; i < letters_end; ++i) {
    bad = good;
    bad[i] = 'q';
    ASSERT_EQ(refused(bad), task_state_malformed) << i;
    bad[i] = 'A';
    ASSERT_EQ(refused(bad), task_state_malformed) << i;
  }
  // Counts above 63 (up to 255) never fill frames, even with zeros to spare
  // (which would otherwise read as empty frames and a good state).
  const std::string magic = good.substr(0, 8);
  ASSERT_GT(parse_task_state(magic + "dp" + std::string(20000, 'a'), keep), 0);
  keep = sample_image(1, 0, 0);
  for (const char* count : {"ea", "pp"}) {
    EXPECT_EQ(refused(magic + count + std::string(20000, 'a')), task_state_malformed);
    EXPECT_EQ(refused(magic + "aa" + count + std::string(20000, 'a')), task_state_malformed);
    EXPECT_EQ(refused(magic + "aaaa" + count + std::string(20000, 'a')), task_state_malformed);
  }
  // A saved depth of 64 inside a frame.
  bad = good;
  bad.replace(10, 2, "ea");
  EXPECT_EQ(refused(bad), task_state_malformed);
  // A return script beyond 16 bits.
  task_state_image one;
  one.calls.push_back({0, 0, 1, 1});
  std::string text;
  write_task_state(one, text);
  text[8 + 2 + 2 + 4 + 8 + 3] = 'b';  // upper half of the script number
  EXPECT_EQ(refused(text), task_state_malformed);
  // A name length past the end.
  write_task_state(one, text);
  text.replace(text.size() - 8, 8, "aaaaaaab");
  EXPECT_EQ(refused(text), task_state_malformed);
}
