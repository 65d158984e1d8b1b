#include "app/command_handlers.h"
#include "format/canonical_commands.h"
#include "resources_fixture.h"

class commands : public resource_test {
 protected:
  void load_canonical() {
    install_command_handlers();
    game.write("kxbin/kxc.kbn", write_command_file(canonical_command_file()));
    ASSERT_EQ(load_command_table(), 0);
  }
};

TEST_F(commands, CanonicalFileLoadsIntoTheTables) {
  load_canonical();
  ASSERT_EQ(command_table.commands.size(), 108u);
  EXPECT_EQ(command_name(1), "layer");
  EXPECT_EQ(command_name(33), "call");
  ASSERT_EQ(command_table.errno_texts.size(), 37u);
  EXPECT_EQ(command_table.errno_texts[2], "No such file or directory");
  EXPECT_EQ(command_table.errno_texts[36], "Resource deadlock avoided");

  // Jump targets and declaration targets are raw; outputs are integer
  // expressions so the binder records the variable they name.
  EXPECT_EQ(command_parameter(32, 0)->kind, param_kind_raw);
  EXPECT_EQ(command_parameter(34, 2)->kind, param_kind_raw);
  EXPECT_EQ(command_parameter(45, 1)->kind, param_kind_raw);
  EXPECT_EQ(command_parameter(40, 0)->kind, param_kind_raw);
  EXPECT_EQ(command_parameter(42, 1)->kind, param_kind_integer);
  EXPECT_EQ(command_parameter(33, 17)->kind, param_kind_raw);  // real argument 1
  EXPECT_EQ(command_parameter(33, 33)->kind, param_kind_string);
  EXPECT_EQ(command_parameter(13, 99)->name, "option97");
}

TEST_F(commands, SlotsHoldTheirDesignedHandlers) {
  load_canonical();
  for (int slot : {0, 9, 41, 64, 67, 69, 70, 71}) {
    EXPECT_EQ(command_handler_table[slot], return_zero) << slot;
    EXPECT_EQ(command_handler_table[slot](), 0);
  }
  for (int slot : {15, 16, 17, 18, 28, 29, 30, 31, 49, 72, 100, 101, 102, 104, 105, 106, 107})
    EXPECT_EQ(command_handler_table[slot], cmd_unknown) << slot;
  EXPECT_EQ(command_handler_table[14], cmd_args_only_14);
  EXPECT_EQ(command_handler_table[88], cmd_args_only_88);
  EXPECT_EQ(command_handler_table[13], cmd_set_engine_options);
  for (int slot = 0; slot < command_slot_count; ++slot) EXPECT_NE(command_handler_table[slot], nullptr);

  report_probe probe;
  EXPECT_EQ(command_handler_table[15](), -1);
  EXPECT_EQ(quit_flag.load(), 1);
  EXPECT_EQ(probe.codes(), std::vector<int>{900050});
}

TEST_F(commands, NumbersAndIdsPastTheTablesAreChecked) {
  // A shorter file than the slot table: commands past it have no parameters.
  compiled_command_file f;
  f.commands = {{"zero", {}}, {"one", {{"a", 0, 0}, {"b", 1, 3}}}};
  f.errno_texts = default_errno_texts();
  game.write("kxbin/kxc.kbn", write_command_file(f));
  install_command_handlers();
  ASSERT_EQ(load_command_table(), 0);
  EXPECT_EQ(command_handler_for(255), cmd_unknown);
  EXPECT_EQ(command_handler_for(108), cmd_unknown);
  EXPECT_EQ(command_handler_for(9), return_zero);
  EXPECT_EQ(command_parameter(1, 1)->range_check, 3);
  EXPECT_EQ(command_parameter(1, 2), nullptr);
  EXPECT_EQ(command_parameter(2, 0), nullptr);
  EXPECT_EQ(command_parameter(200, 0), nullptr);
  EXPECT_EQ(command_name(50), "");
}

TEST_F(commands, MissingCommandFileFails) {
  report_probe probe;
  EXPECT_EQ(load_command_table(), -1);
  EXPECT_EQ(probe.codes(), std::vector<int>{104060});
}

namespace {
int bound_command = -1;
int fake_bind(int number) {
  bound_command = number;
  return number == 57 ? -1 : 0;
}
bool fake_arguments(int id, int64_t& value) {
  if (id == 3) {
    value = 0;
    return true;
  }
  if (id == 4) {
    value = 256 + 7;  // low 8 bits
    return true;
  }
  if (id == 99) {
    value = 5;
    return true;
  }
  return false;
}
}  // namespace

TEST_F(commands, BindOnlyHandlersAndEngineOptionsUseTheBinder) {
  load_canonical();
  EXPECT_EQ(cmd_args_only_56(), 0);  // no binder yet: nothing to bind
  bind_arguments_hook = fake_bind;
  EXPECT_EQ(command_handler_table[56](), 0);
  EXPECT_EQ(bound_command, 56);
  EXPECT_EQ(command_handler_table[57](), -1);

  reset_engine_options();
  argument_integer_hook = fake_arguments;
  EXPECT_EQ(command_handler_table[13](), 0);
  EXPECT_EQ(bound_command, 13);
  EXPECT_EQ(engine_options[1], 0);
  EXPECT_EQ(engine_options[2], 7);
  EXPECT_EQ(engine_options[97], 5);
  EXPECT_EQ(engine_options[3], 1);
  EXPECT_EQ(engine_options[0], 1);
  EXPECT_EQ(engine_options[127], 1);
  bind_arguments_hook = nullptr;
  argument_integer_hook = nullptr;
}
