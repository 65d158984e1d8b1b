// Commands 25 and 26 through the command table, argument binding and the
// variable store, on a rasterizer whose glyphs are boxes.
#include "font_test_support.h"
#include "graphics/pixel_kernels.h"
#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script/script_test_support.h"
#include "support/argument_list.h"

using namespace font_test;
using namespace script_test;

namespace {

// Parameter numbers as scripts count them: parameter n is id n - 1.
struct instruction : argument_list {
  instruction& arg(int parameter, const std::string& source, uint8_t op = 0, uint8_t value_type = 1) {
    add_bytes(static_cast<uint8_t>(parameter - 1), value_type, compile(source), op);
    return *this;
  }
  int run(int command) {
    install();
    return command_handler_for(static_cast<unsigned>(command))();
  }
};

enum : uint8_t { op_set = 0, op_add = 1, op_sub = 2, op_mul = 3, op_div = 4 };

font_slot_record mirrored;
int mirror_calls = 0;
void record_mirror(const font_slot_record& s) {
  mirrored = s;
  ++mirror_calls;
}

class FontCommands : public ScriptFixture {
 protected:
  void SetUp() override {
    ScriptFixture::SetUp();
    ASSERT_EQ(install_canonical_commands(), 0);
    r.faces = {{"Arial", 1, 1}, {sj("ＭＳ ゴシック"), 0, 0}, {sj("ＭＳ Ｐゴシック"), 0, 1}};
    r.ink_per_mille = {{"W", 750}};
    build_font_list();
    mirror_calls = 0;
    mirror_font_slot0 = record_mirror;
  }
  void TearDown() override {
    mirror_font_slot0 = nullptr;
    message_window_font = nullptr;
    release_glyph_caches();
    running_instruction = running_instruction_record{};
    ScriptFixture::TearDown();
  }
  int64_t n() { return get_int_element(var_n, 0); }
  box_rasterizer r;
  font_platform fp{&r};
};

}  // namespace

TEST_F(FontCommands, HandlersSitInTheirSlots) {
  EXPECT_EQ(command_handler_table[25], cmd_font_settings);
  EXPECT_EQ(command_handler_table[26], cmd_font_info);
  EXPECT_EQ(command_name(25), "font");
  EXPECT_EQ(command_parameter(25, 2)->kind, param_kind_string);
  EXPECT_EQ(command_parameter(26, 17)->kind, param_kind_string);
  EXPECT_EQ(command_parameter(26, 18)->kind, param_kind_integer);
}

TEST_F(FontCommands, FaceNumberOneSelectsTheFirstFace) {
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[0], 1);
  ASSERT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(2, "1").run(25), 0); }), codes({}));
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[0], 0);
  // Command 26 reads the current face's number: its name is the first face's.
  ASSERT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(2, "1").arg(19, "`t[1]").run(26), 0); }), codes({}));
  EXPECT_STREQ(get_string_element(var_t, 1), "Arial");
  // Relative to the current number: 1 + 2 is the third face.
  instruction().arg(2, "2", op_add).run(25);
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[0], 2);
  instruction().arg(14, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 0);  // the third face is Japanese
  instruction().arg(1, "1").arg(14, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 1);  // face number 1 is not
}

TEST_F(FontCommands, FaceNumbersOutsideTheListAreRefused) {
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(2, "0").run(25), -1); }), codes({101010}));
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(2, "4").run(25), -1); }), codes({101240}));
  // An addition is lowered to the count, so it never fails high.
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(2, "10", op_add).run(25), 0); }), codes({}));
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[0], 2);
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(1, "0").arg(2, "1").arg(19, "`t[0]").run(26), -1); }),
            codes({101010}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(1, "9").arg(14, "1").arg(19, "`n").run(26), -1); }),
            codes({101240}));
}

TEST_F(FontCommands, SlotNumbersOutsideTheEightSlotsAreRefused) {
  for (const char* slot : {"8", "-1", "4294967296"}) {
    EXPECT_EQ(reported_codes([&] { EXPECT_EQ(instruction().arg(1, slot).arg(5, "0x123456").run(25), -1); }),
              codes({101000}))
        << slot;
  }
  // Also when an operator takes the slot out of range.
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(1, "7").run(25), 0); }), codes({}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(1, "9", op_add).run(25), -1); }), codes({101000}));
  for (const font_slot_record& s : font_slots) EXPECT_EQ(s.colour, 0xFFFFFF);
  EXPECT_EQ(pixel_kernels.fonts.current_slot, 0);
}

TEST_F(FontCommands, SettingsGoToTheChosenSlotAndTheCurrentSlotReturnsToZero) {
  ASSERT_EQ(reported_codes([] {
              EXPECT_EQ(instruction()
                            .arg(1, "3")
                            .arg(3, "\"Arial\"", op_set, 3)
                            .arg(4, "0")
                            .arg(5, "0x112233")
                            .arg(6, "0x445566")
                            .arg(7, "5")
                            .arg(8, "2")
                            .arg(9, "1")
                            .arg(10, "30")
                            .arg(11, "40")
                            .arg(12, "1")
                            .run(25),
                        0);
            }),
            codes({}));
  const font_slot_record& s = font_slots[3];
  EXPECT_EQ(s.glyph_mode, 0);
  EXPECT_EQ(s.colour, 0x112233);
  EXPECT_EQ(s.second_colour, 0x445566);
  EXPECT_EQ(s.gradient, 5);
  EXPECT_EQ(s.rotation, 2);
  EXPECT_EQ(s.overlay_glyphs, 1);
  EXPECT_EQ(s.char_width, 30);
  EXPECT_EQ(s.char_height, 40);
  EXPECT_EQ(s.bold, 1);
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[3], 0);
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[0], 1);
  EXPECT_EQ(pixel_kernels.fonts.current_slot, 0);
  EXPECT_EQ(font_slots[0].colour, 0xFFFFFF);
  EXPECT_EQ(mirror_calls, 0);  // slot 0 did not change
  // A name not in the list changes nothing.
  instruction().arg(1, "3").arg(3, "\"Helvetica\"", op_set, 3).run(25);
  EXPECT_EQ(pixel_kernels.fonts.slot_faces[3], 0);
}

TEST_F(FontCommands, OperatorsCombineAndClamp) {
  // Adding to white stays white; subtracting below 0 stops at 0.
  instruction().arg(5, "0x000100", op_add).run(25);
  EXPECT_EQ(font_slots[0].colour, 0xFFFFFF);
  instruction().arg(6, "0x1000000", op_sub).run(25);
  EXPECT_EQ(font_slots[0].second_colour, 0);
  // A plain assignment is not clamped: -1 as the second colour means "the
  // first colour"; byte fields keep the low byte.
  instruction().arg(6, "-1").run(25);
  EXPECT_EQ(font_slots[0].second_colour, -1);
  instruction().arg(7, "20").run(25);
  EXPECT_EQ(font_slots[0].gradient, 20);
  instruction().arg(7, "1", op_add).run(25);
  EXPECT_EQ(font_slots[0].gradient, 8);
  instruction().arg(8, "5", op_sub).run(25);
  EXPECT_EQ(font_slots[0].rotation, 0);
  instruction().arg(10, "100", op_mul).run(25);
  EXPECT_EQ(font_slots[0].char_width, 256);
  instruction().arg(10, "0", op_div).run(25);  // division by 0 keeps the value
  EXPECT_EQ(font_slots[0].char_width, 256);
  instruction().arg(11, "1000").run(25);
  EXPECT_EQ(font_slots[0].char_height, 1000);
  instruction().arg(4, "0x302", op_set).run(25);
  EXPECT_EQ(font_slots[0].glyph_mode, 2);  // low byte, no range
  // Slot 0's values reach the message window.
  EXPECT_EQ(mirror_calls, 10);
  EXPECT_EQ(mirrored.char_height, 1000);
  EXPECT_EQ(mirrored.second_colour, -1);
}

TEST_F(FontCommands, InfoAnswersTheFirstAttributeAskedFor) {
  instruction().arg(5, "0x123456").arg(10, "24").arg(11, "26").arg(12, "1").run(25);
  instruction().arg(4, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 0x123456);
  instruction().arg(11, "1").arg(10, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 26);  // parameter 10, the cell height, comes first
  instruction().arg(9, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 24);
  instruction().arg(11, "0").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 1);  // present is enough, whatever its value
  instruction().arg(8, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 0);
  // The message window answers when it is there.
  message_window_font = [] {
    font_slot_record f;
    f.colour = 0xABCDEF;
    return f;
  };
  instruction().arg(4, "1").arg(19, "`m[2]").run(26);
  EXPECT_EQ(get_int_element(var_m, 2), 0xABCDEF);
}

TEST_F(FontCommands, InfoCountsMeasuresAndNames) {
  instruction().arg(12, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 3);
  set_numeric_element(var_n, 0, 77);
  instruction().arg(13, "5").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 0);
  // 12 must be 1 to count: 13 then answers.
  set_numeric_element(var_n, 0, 77);
  instruction().arg(12, "2").arg(13, "1").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 0);
  // Advance and height of a character with the message window's cell:
  // ＭＳ ゴシック is fixed pitch.
  instruction().arg(10, "30").arg(11, "32").run(25);
  instruction().arg(15, "1").arg(18, "\"W\"", op_set, 3).arg(19, "`n").run(26);
  EXPECT_EQ(n(), 15);
  instruction().arg(16, "1").arg(18, "\"W\"", op_set, 3).arg(19, "`n").run(26);
  EXPECT_EQ(n(), 32);
  // In the proportional face: ink columns 1..90 at four times 30: 90 / 4 + 4.
  instruction().arg(3, "\"" + sj("ＭＳ Ｐゴシック") + "\"", op_set, 3).run(25);
  instruction().arg(15, "1").arg(18, "\"W\"", op_set, 3).arg(19, "`n").run(26);
  EXPECT_EQ(n(), 26);
  // Anything else: 0.
  set_numeric_element(var_n, 0, 77);
  instruction().arg(2, "0").arg(19, "`n").run(26);
  EXPECT_EQ(n(), 0);
  // Without an output nothing is stored and nothing fails.
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(instruction().arg(12, "1").run(26), 0); }), codes({}));
}
