// The listing assembler: exact instruction layouts of blocks, loops, calls and
// returns, label depths, the files of a game, and the errors a bad listing gets.
#include <gtest/gtest.h>

#include <string>

#include "format/compiled_files.h"
#include "format/script_assembler.h"

namespace {

assemble_result assemble(const std::string& listing) {
  assembler_options o;
  o.code_key = {1, 2, 3, 4};
  return assemble_listing(listing, o);
}

std::vector<uint8_t> commands_of(const assembled_script& s) {
  std::vector<uint8_t> out;
  for (const compiled_instruction& i : s.code.instructions) out.push_back(i.command);
  return out;
}

std::vector<uint32_t> error_lines(const assemble_result& r) {
  std::vector<uint32_t> out;
  for (const assembler_diagnostic& d : r.errors) out.push_back(d.line);
  return out;
}

}  // namespace

TEST(ScriptAssembler, IfChainTargets) {
  assemble_result r = assemble(
      "global int x = 0\n"
      "if x == 1\n"      // 0
      "  x = 2\n"        // 1, then else 2
      "elseif x == 2\n"  // 3
      "  x = 3\n"        // 4, then else 5
      "else\n"
      "  x = 4\n"        // 6
      "end\n"            // 7
      "if x\n"           // 8
      "end\n");          // 9
  ASSERT_TRUE(r.ok);
  const assembled_script& s = r.scripts[0];
  EXPECT_EQ(commands_of(s), (std::vector<uint8_t>{34, 43, 35, 11, 43, 35, 43, 38, 34, 38}));
  const auto& ins = s.code.instructions;
  ASSERT_EQ(ins[0].arguments.size(), 3u);
  EXPECT_EQ(ins[0].arguments[1].length, 3u);  // false: the elseif
  EXPECT_EQ(ins[0].arguments[2].length, 7u);  // end
  EXPECT_EQ(ins[3].arguments[1].length, 6u);  // false: the else body
  EXPECT_EQ(ins[8].arguments[1].length, 0u);  // no else: 0, the end index serves
  EXPECT_EQ(ins[8].arguments[2].length, 9u);
  EXPECT_EQ(ins[1].source_line, 3u);
}

TEST(ScriptAssembler, LoopsCallsReturnsAndLabelDepths) {
  assemble_result r = assemble(
      "global real f = 0.0\n"
      "global string t = \"\"\n"
      "loop 3\n"                     // 0
      "  if 1\n"                     // 1
      "*inner\n"
      "    call sub(1, f, t, real 2, text 5)\n"  // 2
      "  end\n"                      // 3
      "end\n"                        // 4
      "*sub\n"
      "return 1, 2.5, \"x\"\n");     // 5
  ASSERT_TRUE(r.ok) << r.errors[0].message;
  const auto& ins = r.scripts[0].code.instructions;
  EXPECT_EQ(commands_of(r.scripts[0]), (std::vector<uint8_t>{45, 34, 33, 38, 48, 66}));
  EXPECT_EQ(ins[0].arguments[1].length, 4u);
  ASSERT_EQ(ins[2].arguments.size(), 6u);
  EXPECT_EQ(ins[2].flags, 5);
  std::vector<uint8_t> ids;
  for (const compiled_argument& a : ins[2].arguments) ids.push_back(a.parameter_id);
  EXPECT_EQ(ids, (std::vector<uint8_t>{0, 1, 18, 35, 20, 37}));
  ids.clear();
  for (const compiled_argument& a : ins[5].arguments) ids.push_back(a.parameter_id);
  EXPECT_EQ(ids, (std::vector<uint8_t>{0, 17, 34}));
  EXPECT_EQ(ins[5].flags, 3);
  ASSERT_EQ(r.labels.size(), 2u);
  EXPECT_EQ(r.labels[0].name, "inner");
  EXPECT_EQ(r.labels[0].position, 2u);
  EXPECT_EQ(r.labels[0].block_depth, 1);
  EXPECT_EQ(r.labels[0].loop_depth, 1);
  EXPECT_EQ(r.labels[1].position, 5u);
  EXPECT_EQ(r.labels[1].block_depth, 0);
}

TEST(ScriptAssembler, WritesEveryFileOfTheGame) {
  assemble_result r = assemble(
      "config title \"My game\"\n"
      "config size 800 600\n"
      "error 108180 \"no label %s\"\n"
      "script a.txt\n*SYSTEM_START\nwait 1\n"
      "script b.txt\n*other\nreturn\n");
  ASSERT_TRUE(r.ok);
  std::vector<std::string> names;
  for (const assembled_file& f : r.files) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"kxbin\\kxcfg.kbn", "kxbin\\kxc.kbn", "kxbin\\kxt.kbn",
                                             "kxbin\\kxt_list.kbn", "kxbin\\kxl.kbn", "kxbin\\kxv.kbn",
                                             "kxbin\\kxe.kbn", "kxbin\\kxt00000.kbn", "kxbin\\kxt00001.kbn"}));
  compiled_engine_config c;
  ASSERT_EQ(parse_engine_config_file(r.files[0].bytes.data(), r.files[0].bytes.size(), c), compiled_ok);
  EXPECT_EQ(c.title, "My game");
  EXPECT_EQ(c.main_width, 800u);
  uint32_t count = 0;
  std::vector<compiled_script_record> scripts;
  ASSERT_EQ(parse_script_list_file(r.files[3].bytes.data(), r.files[3].bytes.size(), count, scripts), compiled_ok);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(scripts[1].source_name, "b.txt");
  std::vector<compiled_error_text> texts;
  ASSERT_EQ(parse_error_text_file(r.files[6].bytes.data(), r.files[6].bytes.size(), texts), compiled_ok);
  int overridden = 0;
  for (const compiled_error_text& t : texts)
    if (t.code == 108180) overridden += t.text == "no label %s";
  EXPECT_EQ(overridden, 1);
}

TEST(ScriptAssembler, BadListingsNameTheirLines) {
  struct {
    const char* listing;
    std::vector<uint32_t> lines;
  } cases[] = {
      {"end\n", {1}},
      {"if 1\nx = 1\n", {1, 2}},         // unknown name x, then the open if
      {"loop 2\n", {1}},
      {"goto nowhere\n", {1}},
      {"*a\n*a\n", {2}},
      {"if 1\nelse\nelseif 1\nend\n", {3}},
      {"global int n = 0\nn == 1\n", {2}},
      {"frame_rate speed=3\n", {1}},
      {"loop 1\nelse\nend\n", {2}},
      {"call f(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17)\n*f\n", {1}},
  };
  for (const auto& c : cases) {
    assemble_result r = assemble(c.listing);
    EXPECT_FALSE(r.ok) << c.listing;
    EXPECT_TRUE(r.files.empty());
    EXPECT_EQ(error_lines(r), c.lines) << c.listing;
  }
}

TEST(ScriptAssembler, NamesAreKnownAboveTheirDeclaration) {
  assemble_result r =
      assemble("*SYSTEM_START\nlate = 3\nwords[1] += \"x\"\nint late\nglobal string words[4] = \"w\"\n");
  ASSERT_TRUE(r.ok) << r.errors[0].message;
  EXPECT_EQ(r.variables.at("late"), 1000u);
  EXPECT_EQ(r.variables.at("words"), 1001u);
  // The kind of the target picks the value type; the operator rides on the value.
  EXPECT_EQ(r.scripts[0].code.instructions[0].arguments[1].value_type, 1);
  EXPECT_EQ(r.scripts[0].code.instructions[1].arguments[1].value_type, 3);
  EXPECT_EQ(r.scripts[0].code.instructions[1].arguments[1].assignment_operator, 1);
}

// Parameters that name a variable refuse a literal, with a message that says
// how to write it; a variable there assembles.
TEST(ScriptAssembler, LiteralWhereACommandTakesAVariableIsRefused) {
  const struct {
    const char* line;
    bool ok;
  } cases[] = {
      {"save_value file=\"d\", val_id=1, variable=\"seconds\"", false},
      {"load_value file=\"d\", val_id=1, variable=\"seconds\"", false},
      {"save_value file=\"d\", val_id=1, variable=seconds", true},
      {"math output=\"seconds\", x=1, abs=1", false},
      {"math output=5, x=1, abs=1", false},
      {"math output=seconds, x=1, abs=1", true},
      {"variable_info variable=\"seconds\", output=seconds, size1=1", false},
  };
  for (const auto& c : cases) {
    assemble_result r = assemble_listing(std::string("script main.txt\nglobal int seconds = 0\n*SYSTEM_START\n") +
                                             c.line + "\n",
                                         assembler_options{});
    EXPECT_EQ(r.ok, c.ok) << c.line;
    if (!c.ok && !r.errors.empty()) {
      EXPECT_EQ(r.errors[0].line, 4u);
      EXPECT_NE(r.errors[0].message.find("takes a variable"), std::string::npos) << r.errors[0].message;
    }
  }
}

// Declarations and configuration above the first `script` line open no script
// of their own: the script list holds exactly the scripts the listing names
// (code above any `script` line is "main.txt"), and one name twice is refused.
TEST(ScriptAssembler, LinesAboveTheFirstScriptOpenNoScript) {
  const struct {
    const char* listing;
    std::vector<std::string> names;
  } cases[] = {
      {"global int a = 1\nscript main.txt\n*SYSTEM_START\nwait 1\n", {"main.txt"}},
      {"config title \"T\"\nerror 108180 \"x %s\"\nglobal string s = \"q\"\nstatic int b = 2\n"
       "script first.txt\n*SYSTEM_START\nwait 1\nscript second.txt\n*x\nreturn\n",
       {"first.txt", "second.txt"}},
      {"global int a = 1\n*SYSTEM_START\nwait 1\nscript other.txt\n*o\nreturn\n", {"main.txt", "other.txt"}},
      {"global int a = 1\n", {"main.txt"}},
  };
  for (const auto& c : cases) {
    assemble_result r = assemble(c.listing);
    ASSERT_TRUE(r.ok) << c.listing << r.errors[0].message;
    std::vector<std::string> names;
    for (const assembled_script& s : r.scripts) names.push_back(s.source_name);
    EXPECT_EQ(names, c.names) << c.listing;
    uint32_t count = 0;
    std::vector<compiled_script_record> list;
    ASSERT_EQ(parse_script_list_file(r.files[3].bytes.data(), r.files[3].bytes.size(), count, list), compiled_ok);
    EXPECT_EQ(count, c.names.size()) << c.listing;
  }
  // A name the player could not tell from an earlier script (without regard to case).
  const std::pair<const char*, uint32_t> twice[] = {{"*SYSTEM_START\nwait 1\nscript MAIN.txt\nwait 1\n", 3},
                                                    {"script a.txt\n*SYSTEM_START\nwait 1\nscript A.TXT\nwait 1\n", 4}};
  for (const auto& [listing, line] : twice) {
    assemble_result r = assemble(listing);
    EXPECT_FALSE(r.ok) << listing;
    EXPECT_EQ(error_lines(r), std::vector<uint32_t>({line})) << listing;
  }
}
