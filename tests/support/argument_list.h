// The arguments of one script instruction made in a test: records and their
// expression pool, installed as the running instruction for a handler.
#pragma once
#include <cstdint>
#include <vector>

#include "script/argument_binding.h"

struct argument_list {
  std::vector<argument_record> records;
  std::vector<uint8_t> pool;

  // One argument whose compiled expression is `bytes`.
  void add_bytes(uint8_t parameter_id, uint8_t value_type, const std::vector<uint8_t>& bytes, uint8_t op = 0) {
    argument_record r{};
    r.parameter_id = parameter_id;
    r.value_type = value_type;
    r.assignment_operator = op;
    r.length = static_cast<uint32_t>(bytes.size());
    r.offset = static_cast<uint32_t>(pool.size());
    pool.insert(pool.end(), bytes.begin(), bytes.end());
    records.push_back(r);
  }
  void install() const {
    running_instruction.argument_count = static_cast<uint32_t>(records.size());
    running_instruction.arguments = records.data();
    running_instruction.expression_pool = pool.data();
    running_instruction.expression_pool_size = static_cast<uint32_t>(pool.size());
  }
};
