// Direct handler calls: the canonical command file installed, and a running
// instruction built from (parameter name, value type, expression) triples.
#pragma once
#include <initializer_list>
#include <string>
#include <vector>

#include "resources/command_table.h"
#include "script/argument_binding.h"
#include "script_test_support.h"
#include "support/argument_list.h"

namespace script_test {

// The canonical command file installed as the loaded command table (0 or the
// loader's code); a parameter id by its canonical name (-1: none).
int install_canonical_command_file();
int canonical_parameter_id(int command, const std::string& name);

struct test_argument {
  std::string parameter;  // canonical parameter name
  std::string source;     // expression language
  uint8_t value_type = 1;
  uint8_t op = 0;
};

class test_instruction {
 public:
  test_instruction(int command, std::initializer_list<test_argument> args) : command_(command) {
    for (const test_argument& a : args) {
      int id = canonical_parameter_id(command, a.parameter);
      EXPECT_GE(id, 0) << "no parameter " << a.parameter << " in command " << command;
      arguments_.add_bytes(static_cast<uint8_t>(id), a.value_type, compile(a.source), a.op);
    }
  }
  void install() const { arguments_.install(); }
  // Installs and runs the command's handler; its return value.
  int run() const {
    install();
    return command_handler_for(static_cast<unsigned>(command_))();
  }

 private:
  int command_;
  argument_list arguments_;
};

class CommandFixture : public ScriptFixture {
 protected:
  void SetUp() override {
    ScriptFixture::SetUp();
    ASSERT_EQ(install_canonical_command_file(), 0);
    for (int code : {101450, 107010, 108200, 108220, 120010, 120020, 120110, 120120}) {
      error_table.codes.push_back(code);
      error_table.texts.push_back("error " + std::to_string(code));
    }
  }
  void TearDown() override {
    running_instruction = running_instruction_record{};
    ScriptFixture::TearDown();
  }
  // Runs a command; the codes it reported, and its result in `result`.
  std::vector<int> run(int command, std::initializer_list<test_argument> args, int* result = nullptr) {
    test_instruction in(command, args);
    return reported_codes([&] {
      int r = in.run();
      if (result) *result = r;
    });
  }
};

}  // namespace script_test
