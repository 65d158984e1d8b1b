// The code-file parser and loader: exact layout against the writer, every
// truncation and hostile header, handler arrays, load-time label resolution
// and the label lookup.
#include <gtest/gtest.h>

#include <memory>

#include "core/engine_state.h"
#include "format/canonical_commands.h"
#include "format/compiled_files.h"
#include "format/expression_compiler.h"
#include "format/hashes.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "app/command_handlers.h"

namespace {

const std::array<uint8_t, 4> key = {0x5A, 0xC3, 0x01, 0xFE};

std::vector<uint8_t> text(const char* t) {
  std::vector<uint8_t> out;
  append_text_literal(out, t);
  return out;
}

// Three instructions: goto "b" (constant), call "a" with one integer, and an
// unknown command 200 with no arguments.
compiled_code_file sample() {
  compiled_code_file f;
  std::vector<uint8_t> b = text("b"), a = text("a"), one;
  append_integer_literal(one, 1);
  f.expression_pool = b;
  const uint32_t a_at = static_cast<uint32_t>(f.expression_pool.size());
  f.expression_pool.insert(f.expression_pool.end(), a.begin(), a.end());
  const uint32_t one_at = static_cast<uint32_t>(f.expression_pool.size());
  f.expression_pool.insert(f.expression_pool.end(), one.begin(), one.end());
  compiled_instruction go;
  go.command = 32;
  go.source_line = 7;
  go.arguments = {{0, 3, 0, static_cast<uint32_t>(b.size()), 0}};
  compiled_instruction call;
  call.command = 33;
  call.flags = 1;
  call.source_line = 8;
  call.arguments = {{0, 3, 0, static_cast<uint32_t>(a.size()), a_at},
                    {1, 1, 0, static_cast<uint32_t>(one.size()), one_at}};
  compiled_instruction odd;
  odd.command = 200;
  odd.source_line = 9;
  f.instructions = {go, call, odd};
  return f;
}

class CodeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    install_expression_tables();
    install_scheduler();
    const std::vector<uint8_t> commands = write_command_file(canonical_command_file());
    install_command_handlers();
    ASSERT_EQ(install_command_file(commands.data(), commands.size()), 0);
    // Label 0 is "zero" (never pre-resolved into a call's field), then "a", "b".
    std::vector<compiled_label_record> labels(3);
    labels[0].name = "a";
    labels[1].name = "b";
    labels[2].name = "zero";
    std::vector<uint8_t> file = write_label_file(labels);
    ASSERT_EQ(install_label_table(file.data(), file.size()), 0);
    std::vector<uint8_t> list = write_script_list_file({{0, "s.txt", 0}});
    ASSERT_EQ(install_script_name_list(list.data(), list.size()), 0);
  }
  void TearDown() override { reset_scheduler(); }
};

}  // namespace

TEST_F(CodeFile, ParsesWhatTheWriterWrote) {
  const compiled_code_file f = sample();
  const std::vector<uint8_t> bytes = write_code_file(f, key);
  script_code c;
  ASSERT_EQ(parse_code_file(bytes.data(), bytes.size(), key, c), compiled_ok);
  ASSERT_EQ(c.instruction_count, 3u);
  EXPECT_EQ(c.commands, (std::vector<uint8_t>{32, 33, 200}));
  EXPECT_EQ(c.flags, (std::vector<uint8_t>{0, 1, 0}));
  EXPECT_EQ(c.argument_counts, (std::vector<uint8_t>{1, 2, 0}));
  EXPECT_EQ(c.first_argument, (std::vector<uint32_t>{0, 1, 3}));
  EXPECT_EQ(c.line_table, (std::vector<uint32_t>{7, 8, 9}));
  EXPECT_EQ(c.expression_pool, f.expression_pool);
  ASSERT_EQ(c.arguments.size(), 3u);
  EXPECT_EQ(c.arguments[2].parameter_id, 1);
  EXPECT_EQ(c.arguments[2].offset, f.instructions[1].arguments[1].offset);
  // Under another key the sections read as other bytes: refused or different.
  script_code other;
  if (parse_code_file(bytes.data(), bytes.size(), {0, 0, 0, 0}, other) == compiled_ok) {
    EXPECT_NE(other.expression_pool, f.expression_pool);
  }
}

TEST_F(CodeFile, EveryTruncationAndHostileHeaderIsRefused) {
  const std::vector<uint8_t> bytes = write_code_file(sample(), key);
  for (size_t n = 0; n < bytes.size(); ++n) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
    script_code c;
    EXPECT_EQ(parse_code_file(cut.data(), cut.size(), key, c), compiled_truncated) << n;
  }
  auto with = [&](size_t at, uint32_t v) {
    std::vector<uint8_t> b = bytes;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    script_code c;
    return parse_code_file(b.data(), b.size(), key, c);
  };
  EXPECT_EQ(with(8, 4), compiled_truncated);             // count against section 1
  EXPECT_EQ(with(8, 0x40000001u), compiled_truncated);   // count * 4 wraps in 32 bits
  EXPECT_EQ(with(12, 0xFFFFFFFCu), compiled_truncated);  // sizes whose sum wraps in 32 bits
  EXPECT_EQ(with(20, 0xFFFFFFFFu), compiled_truncated);
  EXPECT_EQ(with(16, 24), compiled_truncated);           // fewer records than the counts name
  EXPECT_EQ(with(16, 37), compiled_truncated);           // not whole records
  // Trailing bytes after section 4 are allowed (the size fields say where sections end).
  std::vector<uint8_t> longer = bytes;
  longer.push_back(0);
  script_code c;
  EXPECT_EQ(parse_code_file(longer.data(), longer.size(), key, c), compiled_ok);
}

TEST_F(CodeFile, InstallBuildsHandlerArraysAndResolvesConstantLabels) {
  const std::vector<uint8_t> bytes = write_code_file(sample(), key);
  std::unique_ptr<script_code> c(new script_code());
  ASSERT_EQ(parse_code_file(bytes.data(), bytes.size(), key, *c), compiled_ok);
  ASSERT_EQ(install_script_code(0, std::move(c)), 1);
  const script_code* code = loaded_script_code(0);
  ASSERT_NE(code, nullptr);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(code->handlers[0][i], instruction_pre_hook);
  EXPECT_EQ(code->handlers[1][0], command_handler_table[32]);
  EXPECT_EQ(code->handlers[1][2], cmd_unknown);  // a number past the 108 slots
  const int b = find_label("b");
  const int a = find_label("a");
  ASSERT_GE(b, 0);
  ASSERT_GE(a, 0);
  EXPECT_EQ(code->arguments[0].length, static_cast<uint32_t>(b) + resolved_label_flag);
  const argument_record& label = code->arguments[1];
  if (a == 0) {
    EXPECT_EQ(label.value_type | (label.assignment_operator << 8), 0);  // looked up by name when it runs
  } else {
    EXPECT_EQ(label.value_type | (label.assignment_operator << 8), a);
  }
  // The evaluator is back in run mode.
  EXPECT_NE(binary_op_table[static_cast<uint8_t>('H')], nullptr);
}

TEST_F(CodeFile, LabelLookupByHashBucket) {
  EXPECT_GE(find_label("zero"), 0);
  EXPECT_EQ(find_label("nowhere"), -1);
  EXPECT_EQ(find_label(""), -1);
  // A bucket entry past the table finds nothing and reads nothing.
  label_table.buckets.fill(1000);
  if ((name_hash("b") >> 24) == 0) {
    EXPECT_GE(find_label("b"), 0);  // bucket 0 always starts at the first label
  } else {
    EXPECT_EQ(find_label("b"), -1);
  }
}

TEST_F(CodeFile, ScriptNumbersPastTheListAreRefused) {
  quit_flag = 0;
  EXPECT_EQ(load_script_file(1), 0);
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_EQ(loaded_script_code(1), nullptr);
}
