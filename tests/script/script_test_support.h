// Shared set-up of the script tests: operator tables, a variable table with the
// system declarations and a few game variables, expressions written in the
// expression language, and the error codes a step reported.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/reported_errors.h"
#include "core/engine_state.h"
#include "core/error_report.h"
#include "format/expression_compiler.h"
#include "format/variable_image.h"
#include "script/expression.h"
#include "script/system_values.h"
#include "script/variable_store.h"

namespace script_test {

// Game variables of the fixture.
enum : uint32_t { var_n = 1000, var_m = 1001, var_r = 1002, var_t = 1003, var_grid = 1004, var_cube = 1005,
                  var_words = 1006, var_free = 1007, var_count = 1010 };

inline expression_names fixture_names() {
  return {{"n", var_n},       {"m", var_m},         {"r", var_r},         {"t", var_t},
          {"grid", var_grid}, {"cube", var_cube},   {"words", var_words}, {"free", var_free},
          {"pi", 10},         {"args", 12},         {"chr", 117},         {"version", 98},
          {"clock", 0},       {"files", 14},        {"file_count", 15}};
}

inline std::vector<uint8_t> compile(const std::string& source) {
  expression_compile_result r = compile_expression(source, fixture_names());
  EXPECT_TRUE(r.ok) << source << ": " << r.error << " at " << r.position;
  return r.bytes;
}

// Runs `step` and returns the codes it reported.
inline std::vector<int> reported_codes(const std::function<void()>& step) {
  quit_flag = 0;
  reported_errors probe;
  step();
  return probe.codes();
}

inline std::vector<int> codes(std::initializer_list<int> list) { return std::vector<int>(list); }

class ScriptFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    install_expression_tables();
    engine_facts = engine_facts_record{};
    kept_system_values = kept_system_values_record{};
    // Error texts that carry their code, so a report names it however it is shown.
    for (int code : {100010, 101000, 101010, 101020, 101030, 101100, 101110, 101140, 101210, 101220, 107010,
                     108010, 108210, 160010, 900030, 900070}) {
      error_table.codes.push_back(code);
      error_table.texts.push_back("error " + std::to_string(code));
    }
    ASSERT_EQ(create_variable_table(var_count, 77), 0);
    std::vector<initial_variable_entry> entries = system_variable_entries();
    auto add = [&](uint16_t id, uint8_t type, std::vector<uint32_t> dims) {
      initial_variable_entry e;
      e.variable_id = id;
      e.type = type;
      e.dimensions = std::move(dims);
      if (type == 3) append_text_literal(e.text_expression, "");
      entries.push_back(e);
    };
    add(var_n, 1, {1});
    add(var_m, 1, {10});
    add(var_r, 2, {4});
    add(var_t, 3, {3});
    add(var_grid, 1, {3, 4});
    add(var_cube, 1, {2, 3, 4});
    add(var_words, 3, {5});
    set_initial_variable_image(write_variable_image(entries));
    ASSERT_EQ(init_static_variables(-1), 0);
    quit_flag = 0;
  }
  void TearDown() override { destroy_variable_table(); }

  int64_t int_of(const std::string& source) {
    auto b = compile(source);
    return eval_to_int(b.data(), static_cast<uint32_t>(b.size()));
  }
  double real_of(const std::string& source) {
    auto b = compile(source);
    return eval_to_float(b.data(), static_cast<uint32_t>(b.size()));
  }
  std::string text_of(const std::string& source, int mode = result_mode_text_int) {
    auto b = compile(source);
    char buffer[string_slot_size];
    int n = mode == result_mode_text_int ? eval_to_string(buffer, b.data(), static_cast<uint32_t>(b.size()))
                                         : eval_to_string_alt(buffer, b.data(), static_cast<uint32_t>(b.size()));
    if (n < 0) return "<failed>";
    return std::string(buffer, static_cast<size_t>(n));
  }
  // Evaluates raw records in a mode; the codes reported.
  std::vector<int> fail_codes(const std::vector<uint8_t>& bytes, int mode = result_mode_int) {
    return reported_codes([&] {
      EXPECT_NE(evaluate_expression(bytes.data(), static_cast<uint32_t>(bytes.size()), mode), 0);
    });
  }
};

}  // namespace script_test
