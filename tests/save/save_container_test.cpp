// The container's bytes: a new file, an append and a rewrite byte for byte,
// memory slot rebuilds, and the 4 GiB refusal.
#include "save_test_support.h"

using namespace save_test;

namespace {

void le32(std::vector<uint8_t>& out, uint32_t v) { append_u32le(out, v); }
void le64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Payload of one integer element and of one text element.
std::vector<uint8_t> int_element_payload(int64_t v) {
  std::vector<uint8_t> p;
  le32(p, 1);
  le32(p, 0);
  le32(p, 8);
  le64(p, static_cast<uint64_t>(v));
  return p;
}
std::vector<uint8_t> text_element_payload(const std::string& s) {
  std::vector<uint8_t> p;
  le32(p, 3);
  le32(p, 0);
  le32(p, static_cast<uint32_t>(s.size() + 4));
  le32(p, static_cast<uint32_t>(s.size()));
  p.insert(p.end(), s.begin(), s.end());
  return p;
}

// A file entry: VAL_ID, kind, 1, 0, 0, P, U and the packed payload.
std::vector<uint8_t> entry_bytes(uint32_t val_id, uint8_t kind, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> packed = test_packed(payload);
  std::vector<uint8_t> e;
  le32(e, val_id);
  e.insert(e.end(), {kind, 1, 0, 0});
  le32(e, static_cast<uint32_t>(packed.size()));
  le32(e, static_cast<uint32_t>(payload.size()));
  e.insert(e.end(), packed.begin(), packed.end());
  return e;
}

// Header with the count and the given table entries.
std::vector<uint8_t> header_bytes(uint32_t count, std::vector<std::pair<uint32_t, uint32_t>> table) {
  std::vector<uint8_t> h = {'K', 'X', 'S', 'D'};
  le32(h, 312);
  le32(h, count);
  le32(h, 1024);
  h.resize(save_header_size, 0);
  for (auto [v, off] : table) put_u32le(h.data() + 12 + 4 * v, off);
  return h;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class SaveContainer : public SaveFixture {};

TEST_F(SaveContainer, NewFileIsTheDesignedBytes) {
  set_numeric_element(var_n, 0, 0x1122334455667788);
  ASSERT_EQ(run_codes(save_cmd().file("game1").val(5).var("n"), cmd_save_value, 0), codes({}));
  const std::vector<uint8_t> file = save_file("game1.sd");
  // The literal head of the one entry: VAL_ID 5, kind 0, 1, 0, 0, P = 28, U = 20.
  const std::vector<uint8_t> head = {5, 0, 0, 0, 0, 1, 0, 0, 28, 0, 0, 0, 20, 0, 0, 0};
  const std::vector<uint8_t> payload = {1, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(file, cat({header_bytes(1, {{5, 4112}}), head, test_packed(payload)}));
  EXPECT_EQ(file.size(), 4156u);
  // Table entries of values never saved are 0; the staged values are gone.
  for (uint32_t v = 1; v <= 1024; ++v) {
    if (v == 5) continue;
    EXPECT_EQ(get_u32le(file.data() + 12 + 4 * v), 0u) << v;
  }
  for (const auto& e : staged_values.entry) EXPECT_TRUE(e.empty());
}

TEST_F(SaveContainer, AppendAndRewriteAreTheDesignedBytes) {
  set_numeric_element(var_n, 0, 41);
  ASSERT_EQ(run_codes(save_cmd().file("g").val(5).var("n"), cmd_save_value, 0), codes({}));
  const std::vector<uint8_t> e5 = entry_bytes(5, 0, int_element_payload(41));

  // Two new values staged, then one write with only a file name: appended in
  // VAL_ID order, the second 4 + the first's staged length after the first.
  for (int i = 0; i < 4; ++i) set_real_element(var_r, i, 0.5 + i);
  set_numeric_element(var_n, 0, -2);
  ASSERT_EQ(run_codes(save_cmd().val(7).var("r[]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().val(2).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_FALSE(staged_values.entry[1].empty());
  ASSERT_EQ(run_codes(save_cmd().file("g"), cmd_save_value, 0), codes({}));
  std::vector<uint8_t> whole_r;
  le32(whole_r, 2);
  le32(whole_r, 1);
  le32(whole_r, 4);
  le32(whole_r, 32);
  for (int i = 0; i < 4; ++i) {
    double d = 0.5 + i;
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    le64(whole_r, bits);
  }
  const std::vector<uint8_t> e2 = entry_bytes(2, 0, int_element_payload(-2));
  const std::vector<uint8_t> e7 = entry_bytes(7, 0, whole_r);
  const uint32_t at2 = 4112 + static_cast<uint32_t>(e5.size());
  const uint32_t at7 = at2 + static_cast<uint32_t>(e2.size());
  const std::vector<uint8_t> appended = cat({header_bytes(3, {{5, 4112}, {2, at2}, {7, at7}}), e5, e2, e7});
  EXPECT_EQ(save_file("g.sd"), appended);

  // Re-saving 5 with a longer value and adding 3: 5 is replaced in place, 2 and
  // 7 follow unchanged at their new offsets, 3 is appended; the count grows
  // only by the appended value.
  set_string_element(var_t, 1, "hello");
  set_numeric_element(var_n, 0, 3);
  ASSERT_EQ(run_codes(save_cmd().val(5).var("t[1]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("G.SD").val(3).var("n"), cmd_save_value, 0), codes({}));
  const std::vector<uint8_t> n5 = entry_bytes(5, 0, text_element_payload("hello"));
  const std::vector<uint8_t> e3 = entry_bytes(3, 0, int_element_payload(3));
  const uint32_t r2 = 4112 + static_cast<uint32_t>(n5.size());
  const uint32_t r7 = r2 + static_cast<uint32_t>(e2.size());
  const uint32_t r3 = r7 + static_cast<uint32_t>(e7.size());
  EXPECT_EQ(save_file("g.sd"), cat({header_bytes(4, {{5, 4112}, {2, r2}, {7, r7}, {3, r3}}), n5, e2, e7, e3}));
}

TEST_F(SaveContainer, RewriteDropsBytesNoTableReferences) {
  set_numeric_element(var_n, 0, 1);
  ASSERT_EQ(run_codes(save_cmd().file("g").val(1).var("n"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("g").val(2).var("n"), cmd_save_value, 0), codes({}));
  // An entry left behind by another writer: no table slot names it.
  std::vector<uint8_t> file = save_file("g.sd");
  std::vector<uint8_t> orphan = entry_bytes(9, 0, int_element_payload(99));
  file.insert(file.end(), orphan.begin(), orphan.end());
  game.write("save/g.sd", file);
  set_numeric_element(var_n, 0, 5);
  ASSERT_EQ(run_codes(save_cmd().file("g").val(1).var("n"), cmd_save_value, 0), codes({}));
  const std::vector<uint8_t> e1 = entry_bytes(1, 0, int_element_payload(5));
  const std::vector<uint8_t> e2 = entry_bytes(2, 0, int_element_payload(1));
  EXPECT_EQ(save_file("g.sd"),
            cat({header_bytes(2, {{1, 4112}, {2, 4112 + static_cast<uint32_t>(e1.size())}}), e1, e2}));
}

TEST_F(SaveContainer, MemorySlotIsRebuiltWhole) {
  set_numeric_element(var_n, 0, 10);
  ASSERT_EQ(run_codes(save_cmd().val(1).var("n"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().val(2).var("m[]"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().slot(3).file("ignored").val(3).var("n"), cmd_save_value, 0), codes({}));
  // Slot over file: only the slot is written.
  EXPECT_FALSE(save_exists("ignored.sd"));
  EXPECT_EQ(memory_save_slots.capacity[3], memory_slot_min_capacity);
  const uint32_t first_length = memory_save_slots.length[3];
  const std::vector<uint8_t> e1 = entry_bytes(1, 0, int_element_payload(10));
  EXPECT_EQ(first_length, 4112 + e1.size() * 2 + entry_bytes(2, 0, std::vector<uint8_t>(12 + 4 + 80)).size());
  uint8_t* buffer = memory_save_slots.buffer[3];

  // Fewer values: the old ones are gone; the buffer is kept, never shrunk.
  set_numeric_element(var_n, 0, 11);
  ASSERT_EQ(run_codes(save_cmd().slot(3).val(4).var("n"), cmd_save_value, 0), codes({}));
  const std::vector<uint8_t> e4 = entry_bytes(4, 0, int_element_payload(11));
  const std::vector<uint8_t> expected = cat({header_bytes(1, {{4, 4112}}), e4});
  ASSERT_EQ(memory_save_slots.length[3], expected.size());
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + expected.size()), expected);
  EXPECT_EQ(memory_save_slots.buffer[3], buffer);
  EXPECT_EQ(memory_save_slots.capacity[3], memory_slot_min_capacity);
  for (int s : {0, 2, 4, 499}) EXPECT_EQ(memory_save_slots.length[s], 0u);
  // Announcements only for slots 495 to 499.
  EXPECT_TRUE(box_texts().empty());
  ASSERT_EQ(run_codes(save_cmd().slot(497).val(4).var("n"), cmd_save_value, 0), codes({}));
  EXPECT_EQ(box_texts().size(), 4u);
  EXPECT_EQ(box_texts().back(), "MEMNO = 497\r\nmTotalSize = 51200");
}

TEST_F(SaveContainer, FourGibIsRefusedBeforeAnythingIsRead) {
  staged_span spans[save_value_count];
  spans[0] = {nullptr, 0x7FFFFFF0u};
  spans[1] = {nullptr, 0x7FFFFFF0u};
  std::vector<uint8_t> out;
  EXPECT_EQ(write_new_save_container(spans, 1024, out), save_too_large);
  // Just below: the header and table plus one entry's 4-byte id stay below 2^32.
  EXPECT_FALSE(unpacked_size_fits(save_payload_form::layer, uint64_t{1} << 32));
  EXPECT_TRUE(unpacked_size_fits(save_payload_form::layer, 1648 + 4));
  EXPECT_FALSE(unpacked_size_fits(save_payload_form::layer, 1648 + 3));
  EXPECT_FALSE(unpacked_size_fits(save_payload_form::variable, variable_payload_limit + 1));
  EXPECT_FALSE(unpacked_size_fits(save_payload_form::variable, 11));
  std::vector<uint8_t> huge = {'K', 'X', 'S', 'D', 0x38, 1, 0, 0};
  EXPECT_EQ(check_save_header(huge.data(), uint64_t{1} << 32), save_too_large);
  EXPECT_EQ(check_save_header(huge.data(), huge.size()), save_found);
}

TEST_F(SaveContainer, RewriteRefusesDamageAndKeepsTheFile) {
  set_numeric_element(var_n, 0, 1);
  ASSERT_EQ(run_codes(save_cmd().file("g").val(1).var("n"), cmd_save_value, 0), codes({}));
  ASSERT_EQ(run_codes(save_cmd().file("g").val(2).var("n"), cmd_save_value, 0), codes({}));
  std::vector<uint8_t> file = save_file("g.sd");
  // The second entry claims to be value 1300.
  const uint32_t at2 = get_u32le(file.data() + 12 + 8);
  put_u32le(file.data() + at2, 1300);
  game.write("save/g.sd", file);
  ASSERT_EQ(run_codes(save_cmd().file("g").val(1).var("n"), cmd_save_value, -1), codes({}));
  EXPECT_EQ(save_file("g.sd"), file);
  ASSERT_FALSE(box_texts().empty());
  EXPECT_EQ(box_texts().back(), utf8_to_sjis("( DNO = 2 ) 不正なDNO番号を検出しました。"));
  // The staged value stays for another try.
  EXPECT_FALSE(staged_values.entry[0].empty());
  // A damaged magic or version: 108030 / 108040, file kept.
  file[0] = 'X';
  game.write("save/g.sd", file);
  EXPECT_EQ(run_codes(save_cmd().file("g"), cmd_save_value, -1), codes({108030}));
  file[0] = 'K';
  file[4] = 0x37;
  game.write("save/g.sd", file);
  EXPECT_EQ(run_codes(save_cmd().file("g"), cmd_save_value, -1), codes({108040}));
  EXPECT_EQ(save_file("g.sd"), file);
}

}  // namespace
