// Damaged saves: every truncation and byte flips in the header, table, entry
// heads and payloads fail with their designed error and change nothing; a
// damaged memory-slot image restores no slot; a process killed while saving
// leaves a complete save behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "save_test_support.h"

using namespace save_test;

namespace {

struct loaded_state {
  std::vector<int64_t> m;
  std::vector<std::string> t;
  std::vector<uint8_t> pixels;
  int32_t width = 0;
  std::vector<std::vector<uint8_t>> slots;
  bool operator==(const loaded_state&) const = default;
};

class SaveHostile : public SaveFixture {
 protected:
  void SetUp() override {
    SaveFixture::SetUp();
    for (int i = 0; i < 10; ++i) set_numeric_element(var_m, i, 1000 + i);
    set_string_element(var_t, 0, "saved text");
    source_layer = make_layer("src", 2, 2, 0x10203040);
    target_layer = make_layer("dst", 1, 1, 0x99);
    set_numeric_element(var_n, 0, 5);
    ASSERT_EQ(run_codes(save_cmd().slot(0).val(1).var("n"), cmd_save_value, 0), codes({}));
    ASSERT_EQ(run_codes(save_cmd().slot(42).val(9).var("m[]"), cmd_save_value, 0), codes({}));
    ASSERT_EQ(run_codes(save_cmd().val(1).var("m[]"), cmd_save_value, 0), codes({}));
    ASSERT_EQ(run_codes(save_cmd().val(2).var("t[0]"), cmd_save_value, 0), codes({}));
    ASSERT_EQ(run_codes(save_cmd().val(3).layer("src"), cmd_save_value, 0), codes({}));
    ASSERT_EQ(run_codes(save_cmd().slot(99999), cmd_save_value, 0), codes({}));
    ASSERT_EQ(run_codes(save_cmd().file("h"), cmd_save_value, 0), codes({}));
    file = save_file("h.sd");
    source_slots = slots();
    // Targets hold other values, and the slots other contents, before each load.
    for (int i = 0; i < 10; ++i) set_numeric_element(var_m, i, -1);
    set_string_element(var_t, 1, "untouched");
    set_numeric_element(var_n, 0, 6);
    ASSERT_EQ(run_codes(save_cmd().slot(0).val(2).var("n"), cmd_save_value, 0), codes({}));
    ASSERT_EQ(run_codes(save_cmd().slot(7).val(2).var("n"), cmd_save_value, 0), codes({}));
    quit_flag = 0;
  }

  std::vector<std::vector<uint8_t>> slots() {
    std::vector<std::vector<uint8_t>> out(memory_slot_count);
    for (uint32_t s = 0; s < memory_slot_count; ++s)
      out[s].assign(memory_save_slots.buffer[s], memory_save_slots.buffer[s] + memory_save_slots.length[s]);
    return out;
  }
  loaded_state state() {
    loaded_state s;
    for (int i = 0; i < 10; ++i) s.m.push_back(get_int_element(var_m, i));
    for (int i = 0; i < 3; ++i) s.t.push_back(get_string_element(var_t, i));
    s.pixels = pixels_of(target_layer);
    s.width = picture_of_node(target_layer)->width;
    s.slots = slots();
    return s;
  }

  save_load_request request(uint32_t val_id) {
    save_load_request r;
    r.val_id = val_id;
    r.command_name = "load_value";
    r.val_id_name = "val_id";
    if (val_id == 1) {
      r.variable_id = var_m;
      r.whole = true;
    } else if (val_id == 2) {
      r.variable_id = var_t;
      r.element = 1;
    } else if (val_id == 3) {
      r.layer = target_layer;
      r.layer_path = "W0/dst";
    }
    return r;
  }

  struct outcome {
    int result = 0;
    std::vector<int> codes;
    std::vector<std::string> boxes;
  };
  outcome load(const std::vector<uint8_t>& bytes, uint64_t size, uint32_t val_id) {
    outcome o;
    const size_t boxes_before = platform_->ui.boxes().size();
    o.codes = reported_codes([&] { o.result = load_saved_value(bytes.data(), size, request(val_id)); });
    std::vector<std::string> all = box_texts();
    o.boxes.assign(all.begin() + static_cast<std::ptrdiff_t>(boxes_before), all.end());
    // A fresh recorder, so thousands of loads do not copy ever longer lists.
    if (!o.boxes.empty()) {
      platform_.reset();
      platform_ = std::make_unique<HeadlessPlatform>(game.path());
    }
    return o;
  }

  uint32_t entry_offset(uint32_t val_id) const { return get_u32le(file.data() + 12 + 4 * val_id); }
  uint64_t entry_end(uint32_t val_id) const {
    const uint32_t at = entry_offset(val_id);
    return uint64_t{at} + 16 + get_u32le(file.data() + at + 8);
  }

  object_node* source_layer = nullptr;
  object_node* target_layer = nullptr;
  std::vector<uint8_t> file;
  std::vector<std::vector<uint8_t>> source_slots;
};

const std::vector<std::string> error1 = {"Uncompress Status Error 1."};
const std::vector<std::string> error4 = {"Uncompress Status Error 4."};

TEST_F(SaveHostile, EveryTruncationFailsAndChangesNothing) {
  const loaded_state before = state();
  for (uint32_t v : {1u, 2u, 3u, 1024u}) {
    const uint64_t end = entry_end(v);
    ASSERT_LE(end, file.size());
    for (uint64_t length = 0; length < end; ++length) {
      outcome o = load(file, length, v);
      ASSERT_EQ(o.result, -1) << v << " cut at " << length;
      if (length < 4) {
        ASSERT_EQ(o.codes, codes({108030})) << length;
      } else if (length < 8) {
        ASSERT_EQ(o.codes, codes({108040})) << length;
      } else {
        ASSERT_EQ(o.codes, codes({})) << v << " cut at " << length;
        ASSERT_EQ(o.boxes, error1) << v << " cut at " << length;
      }
      ASSERT_TRUE(state() == before) << v << " cut at " << length;
    }
  }
  // The command path: a file cut inside the table.
  game.write("save/cut.sd", std::vector<uint8_t>(file.begin(), file.begin() + 2000));
  EXPECT_EQ(run_codes(save_cmd().file("cut").val(1).var("m[]"), cmd_load_value, -1), codes({}));
  EXPECT_EQ(box_texts().back(), "Uncompress Status Error 1.");
  EXPECT_TRUE(state() == before);
}

TEST_F(SaveHostile, ByteFlipsFailWithTheirErrorOrLoadExactly) {
  const loaded_state before = state();
  // What a good load gives, per value.
  std::vector<loaded_state> good(4);
  for (uint32_t v : {1u, 2u, 3u}) {
    ASSERT_EQ(load(file, file.size(), v).result, 0);
    good[v] = state();
    ASSERT_EQ(run_codes(save_cmd().slot(0).val(2).var("n"), cmd_save_value, 0), codes({}));
    for (int i = 0; i < 10; ++i) set_numeric_element(var_m, i, -1);
    set_string_element(var_t, 1, "untouched");
    fake_install_picture(target_layer, "", 1, 1, static_cast<uint8_t*>(std::calloc(12, 1)));
    put_u32le(picture_of_node(target_layer)->block, 0x99);
  }
  ASSERT_TRUE(state() == before);

  for (uint32_t v : {1u, 2u, 3u}) {
    const uint32_t at = entry_offset(v);
    const uint64_t end = entry_end(v);
    for (uint8_t pattern : {uint8_t{0xFF}, uint8_t{0x01}}) {
      // Every byte: header, table, entry heads and payloads of all values.
      std::vector<uint64_t> positions;
      for (uint64_t pos = 0; pos < file.size(); ++pos) positions.push_back(pos);
      for (uint64_t pos : positions) {
        std::vector<uint8_t> damaged = file;
        damaged[pos] ^= pattern;
        outcome o = load(damaged, damaged.size(), v);
        const std::string where = std::to_string(v) + " flip " + std::to_string(pattern) + " at " + std::to_string(pos);
        const bool in_slot = pos >= 12 + 4 * v && pos < 16 + 4 * v;
        const bool in_entry = pos >= at && pos < end;
        if (pos < 4) {
          ASSERT_EQ(o.codes, codes({108030})) << where;
        } else if (pos < 8) {
          ASSERT_EQ(o.codes, codes({108040})) << where;
        } else if (in_entry && pos == at + 4 && pattern == 0x01) {
          // Kind 0 and 1 swapped.
          ASSERT_EQ(o.codes, codes({v == 3 ? 108100 : 108050})) << where;
        } else if (in_slot || (in_entry && !(pos >= at + 5 && pos < at + 8))) {
          ASSERT_EQ(o.codes, codes({})) << where;
          ASSERT_EQ(o.boxes, error1) << where;
        } else {
          // Bytes readers skip or that belong to other values.
          ASSERT_EQ(o.result, 0) << where;
          ASSERT_TRUE(state() == good[v]) << where;
          // Back to the starting state for the next flip.
          for (int i = 0; i < 10; ++i) set_numeric_element(var_m, i, -1);
          set_string_element(var_t, 1, "untouched");
          fake_install_picture(target_layer, "", 1, 1, static_cast<uint8_t*>(std::calloc(12, 1)));
          put_u32le(picture_of_node(target_layer)->block, 0x99);
          continue;
        }
        ASSERT_EQ(o.result, -1) << where;
        ASSERT_TRUE(state() == before) << where;
      }
    }
  }
}

TEST_F(SaveHostile, DamagedSlotImagesRestoreNoSlot) {
  const loaded_state before = state();
  const uint32_t at = entry_offset(1024);
  const uint64_t end = entry_end(1024);
  int restored = 0, refused = 0;
  for (uint64_t pos = at; pos < end; ++pos) {
    std::vector<uint8_t> damaged = file;
    damaged[pos] ^= 0x5A;
    outcome o = load(damaged, damaged.size(), 1024);
    ASSERT_EQ(o.codes, codes({})) << pos;
    if (o.result == 0) {
      // Only bytes nobody reads (the skipped head bytes, the packed length of an
      // empty slot) can change without harm.
      ++restored;
      ASSERT_EQ(slots(), source_slots) << pos;
      ASSERT_EQ(run_codes(save_cmd().slot(0).val(2).var("n"), cmd_save_value, 0), codes({}));
      ASSERT_EQ(run_codes(save_cmd().slot(7).val(2).var("n"), cmd_save_value, 0), codes({}));
      continue;
    }
    ++refused;
    ASSERT_EQ(o.result, -1) << pos;
    ASSERT_TRUE(o.boxes == error1 || o.boxes == error4) << pos;
    ASSERT_TRUE(state() == before) << pos;
  }
  EXPECT_GT(refused, 1000);
  EXPECT_GT(restored, 0);
  // Totals that disagree with the records.
  std::vector<uint8_t> damaged = file;
  put_u32le(damaged.data() + at + 12, get_u32le(damaged.data() + at + 12) + 1);
  EXPECT_EQ(load(damaged, damaged.size(), 1024).boxes, error4);
  EXPECT_TRUE(state() == before);
  // The good image restores.
  ASSERT_EQ(load(file, file.size(), 1024).result, 0);
  EXPECT_EQ(slots(), source_slots);
}

TEST_F(SaveHostile, DataThatDisagreesWithTheVariableIsRefused) {
  const loaded_state before = state();
  auto stage_raw = [](uint32_t val_id, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> packed = test_packed(payload);
    std::vector<uint8_t>& e = staged_values.entry[val_id - 1];
    e = {save_kind_variable, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put_u32le(e.data() + 4, static_cast<uint32_t>(packed.size()));
    put_u32le(e.data() + 8, static_cast<uint32_t>(payload.size()));
    e.insert(e.end(), packed.begin(), packed.end());
  };
  auto words = [](std::initializer_list<uint32_t> w) {
    std::vector<uint8_t> out;
    for (uint32_t x : w) append_u32le(out, x);
    return out;
  };
  stage_raw(1, words({1, 1, 10, 80, 1, 2}));            // too few bytes for ten elements
  stage_raw(2, words({1, 0, 16, 1, 0, 2, 0}));          // two elements into one
  stage_raw(3, words({3, 0, 8, 8, 0x41414141}));        // a text longer than its data
  stage_raw(4, words({4, 0, 8, 0, 0}));                 // type 4
  stage_raw(5, words({1, 9, 8, 0, 0}));                 // nine dimensions
  stage_raw(6, words({1, 1, 10, 40000001}));            // data size past the limit
  ASSERT_EQ(run_codes(save_cmd().file("raw"), cmd_save_value, 0), codes({}));
  EXPECT_EQ(run_codes(save_cmd().file("raw").val(1).var("m[]"), cmd_load_value, -1), codes({108070}));
  EXPECT_EQ(run_codes(save_cmd().file("raw").val(2).var("m[9]"), cmd_load_value, -1), codes({108070}));
  EXPECT_EQ(run_codes(save_cmd().file("raw").val(3).var("t[1]"), cmd_load_value, -1), codes({108070}));
  EXPECT_EQ(run_codes(save_cmd().file("raw").val(4).var("m[1]"), cmd_load_value, -1), codes({900000}));
  EXPECT_EQ(run_codes(save_cmd().file("raw").val(5).var("m[1]"), cmd_load_value, -1), codes({900000}));
  EXPECT_EQ(run_codes(save_cmd().file("raw").val(6).var("m[]"), cmd_load_value, -1), codes({108070}));
  EXPECT_TRUE(state() == before);
}

// A child saves an 8 MB container over and over; it is killed at a random
// moment. What is left must be one complete save: it loads, and every element
// holds the same round number.
TEST_F(SaveHostile, KilledWhileSavingLeavesACompleteSave) {
  const uint32_t big = var_free;
  const uint32_t size[1] = {1000000};
  ASSERT_EQ(declare_int_variable(big, 1, size, 0), 0);
  std::mt19937 random(12345);
  for (int round = 0; round < 4; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(120);  // never outlive a parent that failed to kill us
      for (int64_t n = round * 1000000;; ++n) {
        for (int64_t i = 0; i < 1000000; ++i) set_numeric_element(big, i, n);
        if (run_codes(save_cmd().file("crash").val(1).var("free[]"), cmd_save_value, 0) != codes({})) _exit(3);
      }
    }
    // Wait for a first complete save of this round (bounded), then let it
    // run a little and kill it mid-work.
    for (int i = 0; i < 20000; ++i) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) FAIL() << "child ended early: " << status;
      std::vector<uint8_t> bytes;
      if (platform().files->read_file("save\\crash.sd", bytes) && bytes.size() > 4112 &&
          load_saved_value(bytes.data(), bytes.size(), [&] {
            save_load_request r;
            r.val_id = 1;
            r.variable_id = big;
            r.whole = true;
            return r;
          }()) == 0 &&
          get_int_element(big, 0) >= round * 1000000)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 150));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    for (int64_t i = 0; i < 1000000; ++i) set_numeric_element(big, i, -7);
    ASSERT_EQ(run_codes(save_cmd().file("crash").val(1).var("free[]"), cmd_load_value, 0), codes({})) << round;
    const int64_t first = get_int_element(big, 0);
    EXPECT_GE(first, round * 1000000);
    int64_t mismatches = 0;
    for (int64_t i = 0; i < 1000000; ++i) mismatches += get_int_element(big, i) != first;
    EXPECT_EQ(mismatches, 0) << round;
  }
}

}  // namespace
