// The variable store: element access at the edges, declarations and resizes
// (run under ASan too), the initial-variable image and the system variables.
#include <cmath>
#include <cstring>

#include "platform/headless/headless_platform.h"
#include "core/engine_config.h"
#include "core/play_time.h"
#include "script_test_support.h"
#include "support/temp_folder.h"

using namespace script_test;

namespace {

class VariableStore : public ScriptFixture {};

TEST_F(VariableStore, ElementsOutsideReadZeroAndWriteNothing) {
  for (int64_t i = 0; i < 10; ++i) ASSERT_EQ(set_numeric_element(var_m, i, i + 100), 0);
  EXPECT_EQ(get_int_element(var_m, 9), 109);
  EXPECT_EQ(get_int_element(var_m, -1), 0);
  EXPECT_EQ(get_int_element(var_m, 10), 0);
  EXPECT_EQ(set_numeric_element(var_m, -1, 5), -1);
  EXPECT_EQ(set_numeric_element(var_m, 10, 5), -1);
  EXPECT_EQ(get_real_element(var_r, 4), 0.0);
  EXPECT_EQ(set_real_element(var_r, 4, 1.0), -1);
  EXPECT_EQ(get_string_element(var_t, 3), nullptr);
  EXPECT_EQ(get_string_element(var_t, -1), nullptr);
  EXPECT_EQ(set_string_element(var_t, 3, "x"), -1);
  EXPECT_EQ(set_string_element(var_t, -1, "x"), -1);
  // Ids past the table and undeclared ids read nothing and store nothing.
  EXPECT_EQ(get_int_element(60000, 0), 0);
  EXPECT_EQ(get_string_element(60000, 0), nullptr);
  EXPECT_EQ(set_numeric_element(60000, 0, 1), -1);
  EXPECT_EQ(set_string_element(var_free, 0, "x"), -1);
  EXPECT_EQ(quit_flag.load(), 0);
}

TEST_F(VariableStore, NumericConversionsAndTypeErrors) {
  EXPECT_EQ(set_numeric_element(var_r, 0, 7), 0);
  EXPECT_DOUBLE_EQ(get_real_element(var_r, 0), 7.0);
  EXPECT_EQ(set_real_element(var_m, 0, -2.9), 0);
  EXPECT_EQ(get_int_element(var_m, 0), -2);
  EXPECT_EQ(set_real_element(var_m, 0, 1e30), 0);
  EXPECT_EQ(get_int_element(var_m, 0), INT64_MAX);  // saturates
  EXPECT_EQ(get_int_element(var_r, 0), 7);
  EXPECT_DOUBLE_EQ(get_real_element(var_m, 0), static_cast<double>(INT64_MAX));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(set_numeric_element(var_t, 0, 1), -1); }), codes({101140}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(set_real_element(var_t, 0, 1.0), -1); }), codes({101140}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(set_string_element(var_m, 0, "x"), -1); }), codes({101140}));
  EXPECT_EQ(quit_flag.load(), 1);
}

TEST_F(VariableStore, TextElementsKeepTheirBuffers) {
  std::string hundred(100, 'h');
  ASSERT_EQ(set_string_element(var_t, 2, hundred.c_str()), 0);
  variable_record* v = find_variable(var_t);
  const char* buffer = v->text_values[2];
  EXPECT_EQ(v->text_capacities[2], 101u);
  ASSERT_EQ(set_string_element(var_t, 2, "ten bytes!"), 0);
  EXPECT_EQ(v->text_values[2], buffer);
  EXPECT_EQ(v->text_capacities[2], 101u);
  EXPECT_STREQ(get_string_element(var_t, 2), "ten bytes!");
  ASSERT_EQ(set_string_element_n(var_t, 2, "abcdef", 3), 0);
  EXPECT_STREQ(get_string_element(var_t, 2), "abc");
  // Texts beyond 64 KiB keep their exact capacity.
  std::string big(70000, 'b');
  ASSERT_EQ(set_string_element_n(var_t, 0, big.data(), big.size()), 0);
  EXPECT_EQ(v->text_capacities[0], 70001u);
  EXPECT_EQ(std::strlen(get_string_element(var_t, 0)), 70000u);
}

TEST_F(VariableStore, DeclarationLimits) {
  const uint32_t ok[2] = {2000, 2000};
  EXPECT_EQ(declare_int_variable(var_free, 2, ok, 3), 0);
  variable_record* v = find_variable(var_free);
  EXPECT_EQ(v->element_count, 4000000u);
  EXPECT_EQ(get_int_element(var_free, 3999999), 3);
  const uint32_t over[2] = {2000, 2001};
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(declare_int_variable(var_free, 2, over, 0), -1); }), codes({101100}));
  EXPECT_EQ(v->element_count, 4000000u);  // the old layout stands
  EXPECT_EQ(v->dimensions[1], 2000u);
  // A product that wraps 64 bits is refused at the factor that passes the limit.
  const uint32_t wrap[8] = {65536, 65536, 65536, 65536, 1, 1, 1, 1};
  EXPECT_EQ(count_elements(8, wrap), max_variable_elements + 1);
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(declare_int_variable(var_free, 8, wrap, 0), -1); }), codes({101100}));
  const uint32_t zero[3] = {5, 0, 5};
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(declare_real_variable(var_free, 3, zero, 0.0), -1); }), codes({101110}));
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(declare_string_variable(var_free, 0, zero, "", 0), -1); }),
            codes({101110}));
  const uint32_t nine[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(declare_int_variable(var_free, 9, nine, 0), -1); }), codes({107010}));
  EXPECT_EQ(reported_codes([&] { EXPECT_EQ(declare_int_variable(60000, 1, nine, 0), -1); }), codes({108010}));
}

TEST_F(VariableStore, RedeclarationAcrossTypesFreesByTheOldLayout) {
  // Text with many elements, then an integer with fewer, then text again with
  // more: every step frees exactly what the previous one made (ASan checks).
  const uint32_t six[2] = {2, 3};
  ASSERT_EQ(declare_string_variable(var_free, 2, six, "init", 4), 0);
  ASSERT_EQ(set_string_element(var_free, 5, "grown past the first capacity"), 0);
  const uint32_t two[1] = {2};
  ASSERT_EQ(declare_int_variable(var_free, 1, two, -9), 0);
  variable_record* v = find_variable(var_free);
  EXPECT_EQ(v->type, variable_type_int);
  EXPECT_EQ(v->text_values, nullptr);
  EXPECT_EQ(v->dimension_count, 1);
  EXPECT_EQ(v->dimensions[1], 0u);
  EXPECT_EQ(get_int_element(var_free, 1), -9);
  const uint32_t ten[1] = {10};
  ASSERT_EQ(declare_real_variable(var_free, 1, ten, 0.5), 0);
  EXPECT_EQ(v->int_values, nullptr);
  EXPECT_DOUBLE_EQ(get_real_element(var_free, 9), 0.5);
  ASSERT_EQ(declare_string_variable(var_free, 1, ten, "abc", 3), 0);
  EXPECT_EQ(v->real_values, nullptr);
  for (int i = 0; i < 10; ++i) EXPECT_STREQ(get_string_element(var_free, i), "abc");
  // Each element owns its copy.
  EXPECT_NE(v->text_values[0], v->text_values[1]);
  // The record-layout form: the caller writes the sizes, then declares.
  v->dimension_count = 2;
  v->dimensions[0] = 4;
  v->dimensions[1] = 5;
  ASSERT_EQ(declare_int_variable(var_free, int64_t{1}), 0);
  EXPECT_EQ(v->element_count, 20u);
  EXPECT_EQ(get_int_element(var_free, 19), 1);
  EXPECT_EQ(update_element_count(var_free), 0);
  v->dimensions[1] = 0;
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(update_element_count(var_free), -1); }), codes({101110}));
  EXPECT_EQ(v->element_count, 20u);  // the count stays with the arrays
}

TEST_F(VariableStore, ResizeOneDimensional) {
  ASSERT_EQ(set_string_element(var_t, 0, "zero"), 0);
  ASSERT_EQ(set_string_element(var_t, 2, "two"), 0);
  ASSERT_EQ(resize_array_1d(var_t, 5), 0);
  variable_record* v = find_variable(var_t);
  EXPECT_EQ(v->element_count, 5u);
  EXPECT_EQ(v->dimensions[0], 5u);
  EXPECT_STREQ(get_string_element(var_t, 0), "zero");
  EXPECT_STREQ(get_string_element(var_t, 2), "two");
  EXPECT_STREQ(get_string_element(var_t, 3), "");
  EXPECT_STREQ(get_string_element(var_t, 4), "");
  EXPECT_EQ(v->text_capacities[4], 1u);
  ASSERT_EQ(resize_array_1d(var_t, 1), 0);  // frees the texts past the new size
  EXPECT_EQ(get_string_element(var_t, 1), nullptr);
  EXPECT_STREQ(get_string_element(var_t, 0), "zero");

  for (int i = 0; i < 10; ++i) set_numeric_element(var_m, i, i + 1);
  ASSERT_EQ(resize_array_1d(var_m, 12), 0);
  EXPECT_EQ(get_int_element(var_m, 9), 10);
  EXPECT_EQ(get_int_element(var_m, 11), 0);
  ASSERT_EQ(resize_array_1d(var_r, 2), 0);
  EXPECT_EQ(find_variable(var_r)->element_count, 2u);

  // Checked before anything is allocated; the variable stays as it was.
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(resize_array_1d(var_m, 4000001), -1); }), codes({101100}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(resize_array_1d(var_m, 0), -1); }), codes({101110}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(resize_array_1d(var_m, -5), -1); }), codes({101110}));
  EXPECT_EQ(find_variable(var_m)->element_count, 12u);
  EXPECT_EQ(resize_array_1d(var_m, 4000000), 0);
  // Not one-dimensional, or not declared: refused without a change.
  EXPECT_EQ(resize_array_1d(var_grid, 5), -1);
  EXPECT_EQ(find_variable(var_grid)->element_count, 12u);
  EXPECT_EQ(resize_array_1d(var_free, 5), -1);
}

std::vector<uint8_t> text_expression(const std::string& source) {
  auto r = compile_expression(source, {});
  EXPECT_TRUE(r.ok) << r.error;
  return r.bytes;
}

TEST_F(VariableStore, InitialImageScopes) {
  std::vector<initial_variable_entry> entries;
  initial_variable_entry a;
  a.scope = 1, a.variable_id = var_n, a.type = 1, a.dimensions = {1}, a.int_value = -77;
  initial_variable_entry b;
  b.scope = 3, b.variable_id = var_r, b.type = 2, b.dimensions = {2, 2}, b.real_value = 0.125;
  initial_variable_entry c;
  c.scope = 2, c.script_number = 7, c.variable_id = var_free, c.type = 3, c.dimensions = {3};
  c.text_expression = text_expression("\"s\" + str(7 * 6)");
  initial_variable_entry d = a;
  d.scope = 2, d.script_number = 8, d.variable_id = var_m, d.int_value = 5;
  entries = {a, b, c, d};
  set_initial_variable_image(write_variable_image(entries));
  ASSERT_EQ(init_static_variables(-1), 0);
  EXPECT_EQ(get_int_element(var_n, 0), -77);
  EXPECT_EQ(find_variable(var_r)->element_count, 4u);
  EXPECT_DOUBLE_EQ(get_real_element(var_r, 3), 0.125);
  EXPECT_EQ(find_variable(var_free)->type, variable_type_none);
  ASSERT_EQ(init_static_variables(7), 0);
  EXPECT_STREQ(get_string_element(var_free, 2), "s42");
  EXPECT_EQ(get_int_element(var_m, 0), 0);
  ASSERT_EQ(init_static_variables(8), 0);
  EXPECT_EQ(find_variable(var_m)->element_count, 1u);
  EXPECT_EQ(get_int_element(var_m, 0), 5);
}

TEST_F(VariableStore, InitialImageExactLayout) {
  initial_variable_entry e;
  e.scope = 1, e.script_number = 0x0102, e.variable_id = 0x03E9, e.type = 1, e.dimensions = {2, 0x01000000};
  e.int_value = -2;
  std::vector<uint8_t> img = write_variable_image({e});
  const std::vector<uint8_t> expected = {'K', 'X', 'V', 0, 0x29, 0x02, 0, 0, 1, 0,      // header, count 1
                                         1, 0x02, 0x01, 0xE9, 0x03, 1, 2,               // scope .. dims
                                         2, 0, 0, 0, 0, 0, 0, 1,                        // sizes
                                         0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // -2
  EXPECT_EQ(img, expected);
}

TEST_F(VariableStore, DamagedImagesStopWith900070) {
  initial_variable_entry e;
  e.variable_id = var_n, e.type = 1, e.int_value = 4;
  std::vector<uint8_t> good = write_variable_image({e, e});
  // Every truncation inside the records is refused, never read past.
  for (size_t cut = 10; cut < good.size(); ++cut) {
    if (cut == 10 + (good.size() - 10) / 2) {
      // Exactly one whole record: the second is missing.
      set_initial_variable_image(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut)));
      EXPECT_EQ(reported_codes([] { EXPECT_EQ(init_static_variables(-1), -1); }), codes({900070}));
      continue;
    }
    std::vector<uint8_t> img(good.begin(), good.begin() + static_cast<long>(cut));
    set_initial_variable_image(img);
    EXPECT_EQ(reported_codes([] { EXPECT_EQ(init_static_variables(-1), -1); }), codes({900070})) << cut;
  }
  e.variable_id = var_count + 1;  // past the table
  set_initial_variable_image(write_variable_image({e}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(init_static_variables(-1), -1); }), codes({900070}));
  e.variable_id = var_n;
  e.type = 9;
  set_initial_variable_image(write_variable_image({e}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(init_static_variables(-1), -1); }), codes({900070}));
  e.type = 1;
  e.dimensions = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  set_initial_variable_image(write_variable_image({e}));
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(init_static_variables(-1), -1); }), codes({900070}));
  // A record of another script is skipped by its size even when its id is bad.
  e.dimensions = {1};
  e.scope = 2;
  e.script_number = 3;
  e.variable_id = 65535;
  initial_variable_entry f;
  f.variable_id = var_n, f.type = 1, f.int_value = 99;
  set_initial_variable_image(write_variable_image({e, f}));
  EXPECT_EQ(init_static_variables(-1), 0);
  EXPECT_EQ(get_int_element(var_n, 0), 99);
}

int64_t fake_count() { return 2; }
std::string fake_entry(int64_t i) { return i == 0 ? "a.png" : "b\x82\xA0.png"; }
int64_t fake_memory(int which) { return 1000 + which; }
std::string fake_argument(int64_t slot) { return "arg" + std::to_string(slot); }
int64_t fake_frames() { return int64_t{1} << 40; }
int64_t fake_passes() { return 12345; }
int64_t fake_task_int(uint32_t id, int64_t element) { return id * 100 + element; }
double fake_task_real(uint32_t id, int64_t element) { return id + element / 10.0; }
std::string fake_task_text(uint32_t id, int64_t element) { return std::to_string(id) + ":" + std::to_string(element); }
std::string fake_message(int which) { return which ? "second" : "first"; }
std::string fake_tree(int tree) { return "tree" + std::to_string(tree); }
int64_t fake_mouse(int window, int axis) { return window * 10 + axis; }
int64_t fake_input(uint32_t id, int64_t element) { return -static_cast<int64_t>(id) - element; }
int64_t fake_other(uint32_t id, int64_t) { return id + 5; }

TEST_F(VariableStore, SystemVariables) {
  temp_folder folder;
  HeadlessPlatform headless(folder.path());
  headless.clock.set(123456);
  headless.clock.set_local_time(local_time{2031, 12, 24, 18, 30, 15, 250, 3});
  engine_config.sound_on = 1;
  engine_config.debug_switch = 1;
  engine_facts_record& f = engine_facts;
  f.os_code = 61, f.system_info_count = 4, f.write_test_result = 1, f.save_folder_mode = 2;
  f.screen_bits_per_pixel = 32, f.screen_width = 1920, f.screen_height = 1080;
  f.memory_status = fake_memory, f.argument_count = fake_count, f.argument_text = fake_argument;
  f.file_list_count = fake_count, f.file_list_entry = fake_entry;
  start_play_time_counters(123456);
  for (int i = 0; i < 4; ++i) play_time_counters.counters[i].start -= 111 * (i + 1);
  f.frame_counter = fake_frames, f.scheduler_pass_counter = fake_passes;
  f.task_int_value = fake_task_int, f.task_real_value = fake_task_real, f.task_text_value = fake_task_text;
  f.message_text = fake_message, f.tree_path = fake_tree, f.mouse_position = fake_mouse;
  f.input_value = fake_input, f.other_int_value = fake_other;
  f.game_folder = "C:\\game\\", f.game_path = "C:\\game\\zarvik", f.save_folder = "C:\\game\\save\\";
  f.app_data_folder = "D:\\data\\", f.documents_folder = "D:\\docs\\";
  kept_system_values.time_extra[3] = 8080;
  ASSERT_TRUE(set_kept_system_value(109, -4));
  ASSERT_TRUE(set_kept_system_value(136, 6));
  EXPECT_FALSE(set_kept_system_value(111, 1));

  const std::vector<std::pair<uint32_t, std::vector<int64_t>>> ints = {
      {0, {2031, 12, 24, 3, 18, 30, 15, 250, 0, 0, 0, 8080}},
      {1, {123456, 111, 222, 333, 444}},
      {2, {61}}, {3, {4}}, {4, {1}}, {5, {1000}}, {6, {1001}}, {7, {1002}}, {8, {0}}, {9, {1}},
      {11, {1}}, {13, {2}}, {15, {2}}, {48, {4800}}, {49, {4900, 4901}}, {50, {5000, 5001}},
      {53, {5300, 5301}}, {54, {5400}}, {57, {5700}}, {58, {5800}}, {98, {553}},
      {99, {int64_t{1} << 40}}, {100, {12345}}, {101, {111}}, {102, {2}}, {103, {108}},
      {104, {32}}, {105, {1920}}, {106, {1080}}, {107, {0}}, {109, {-4}}, {111, {116}},
      {114, {77}}, {116, {11600}}, {122, {0}}, {123, {0}}, {127, {40}}, {128, {1}}, {132, {41}},
      {133, {138}}, {134, {-134, -135}}, {136, {6}}, {137, {-137}}, {537, {-537}}};
  for (const auto& [id, values] : ints)
    for (size_t e = 0; e < values.size(); ++e)
      EXPECT_EQ(get_int_element(id, static_cast<int64_t>(e)), values[e]) << "id " << id << " element " << e;
  EXPECT_DOUBLE_EQ(get_real_element(10, 0), 3.141592653589793);
  EXPECT_DOUBLE_EQ(get_real_element(51, 3), 51.3);
  EXPECT_DOUBLE_EQ(get_real_element(55, 16), 56.6);
  EXPECT_DOUBLE_EQ(get_real_element(59, 1), 59.1);

  const std::vector<std::tuple<uint32_t, int64_t, std::string>> texts = {
      {12, 0, "arg0"}, {12, 8, "arg8"}, {14, 0, "a.png"}, {14, 1, "b\x82\xA0.png"}, {52, 2, "52:2"},
      {56, 1, "56:1"}, {60, 16, "60:16"}, {93, 0, "C:\\game\\"}, {94, 0, "C:\\game\\zarvik"},
      {95, 0, "C:\\game\\save\\"}, {96, 0, "D:\\data\\"}, {97, 0, "D:\\docs\\"}, {112, 0, "first"},
      {113, 0, "second"}, {115, 0, "115:0"}, {117, 0x41, "A"}, {117, 0x82A0, "\x82\xA0"}, {117, 0, ""},
      {118, 0, "tree0"}, {119, 0, "tree1"}, {120, 0, "tree2"}, {121, 0, "tree3"}};
  for (const auto& [id, element, want] : texts) {
    const char* got = get_string_element(id, element);
    ASSERT_NE(got, nullptr) << id;
    EXPECT_EQ(std::string(got), want) << "id " << id << " element " << element;
  }
  // A text system variable lives in its own element once read.
  EXPECT_STREQ(find_variable(93)->text_values[0], "C:\\game\\");
  // Through the evaluator too, and beyond the declared sizes: 107010.
  EXPECT_EQ(text_of("files[1] + args[3]"), "b\x82\xA0.pngarg3");
  EXPECT_EQ(int_of("clock[0] * 10000 + clock[1] * 100 + clock[2]"), 20311224);
  EXPECT_EQ(fail_codes(compile("files[2]")), codes({107010}));  // past the file count
  EXPECT_EQ(fail_codes(compile("args[9]")), codes({107010}));
  EXPECT_EQ(fail_codes(compile("clock[16]")), codes({107010}));
  EXPECT_EQ(get_int_element(0, 16), 0);
}

TEST_F(VariableStore, SystemVariablesWithoutTheirSubsystems) {
  // Nothing filled in: zero and empty, never a crash; no platform either.
  EXPECT_EQ(get_int_element(0, 0), 0);
  EXPECT_EQ(get_int_element(1, 0), 0);
  EXPECT_EQ(get_int_element(5, 0), 0);
  EXPECT_EQ(get_int_element(99, 0), 0);
  EXPECT_EQ(get_int_element(134, 500), 0);
  EXPECT_STREQ(get_string_element(12, 1), "");
  EXPECT_STREQ(get_string_element(118, 0), "");
  EXPECT_EQ(get_int_element(15, 0), 0);
  EXPECT_EQ(reported_codes([] { EXPECT_EQ(get_string_element(14, 0), nullptr); }), codes({107010}));
}

TEST_F(VariableStore, SystemVariablesUndeclared) {
  // A table without the system declarations still computes reads by kind.
  destroy_variable_table();
  ASSERT_EQ(create_variable_table(1000, 5), 0);
  EXPECT_EQ(get_int_element(98, 0), 553);
  EXPECT_EQ(get_int_element(114, 0), 5);
  EXPECT_DOUBLE_EQ(get_real_element(10, 0), 3.141592653589793);
  EXPECT_STREQ(get_string_element(117, 0x42), "B");
  EXPECT_EQ(int_of("version + 1"), 554);
}

uint8_t phase_byte = 0;
int64_t value_slot = 0;
uint8_t* phase_of(int code) { return code == 7 ? &phase_byte : nullptr; }
int64_t* value_of(int code) { return code == 7 ? &value_slot : nullptr; }

TEST_F(VariableStore, SetSystemValueFollowsTheKeyPhase) {
  set_system_value(7, 5);  // no key states yet: nothing happens
  engine_facts.key_state_phase = phase_of;
  engine_facts.key_state_value = value_of;
  phase_byte = 0;
  set_system_value(7, -3);
  EXPECT_EQ(value_slot, -3);
  set_system_value(7, 4);
  EXPECT_EQ(value_slot, 0);
  phase_byte = 2;
  set_system_value(7, 4);
  EXPECT_EQ(value_slot, 4);
  set_system_value(7, -4);
  EXPECT_EQ(value_slot, 0);
  set_system_value(8, 9);  // unknown code
  EXPECT_EQ(value_slot, 0);
}

}  // namespace
