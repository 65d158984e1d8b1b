// Expression evaluation speed: a typical ten-operator integer expression over
// three variables, beside the same arithmetic written directly in C++ (the
// peer baseline), plus a text expression and an indexed one.
#include <benchmark/benchmark.h>

#include "format/expression_compiler.h"
#include "script/expression.h"
#include "script/variable_store.h"

namespace {

const expression_names names = {{"a", 1000}, {"b", 1001}, {"c", 1002}, {"grid", 1003}, {"t", 1004}};

struct bench_setup {
  bench_setup() {
    install_expression_tables();
    create_variable_table(1010, 0);
    const uint32_t one[1] = {1}, grid[2] = {16, 16};
    declare_int_variable(1000, 1, one, 1234);
    declare_int_variable(1001, 1, one, 99);
    declare_int_variable(1002, 1, one, 37);
    declare_int_variable(1003, 2, grid, 5);
    declare_string_variable(1004, 1, one, "name", 4);
  }
};

std::vector<uint8_t> compiled(const char* source) {
  static bench_setup setup;
  return compile_expression(source, names).bytes;
}

// Ten operators: * + - / + & * > - %
constexpr const char* typical = "a * 3 + b - c / 2 + (a & 7) * (b > c) - c % 5";

void BM_EvaluateTypicalInteger(benchmark::State& state) {
  std::vector<uint8_t> b = compiled(typical);
  for (auto _ : state) benchmark::DoNotOptimize(eval_to_int(b.data(), static_cast<uint32_t>(b.size())));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateTypicalInteger);

void BM_NativeBaseline(benchmark::State& state) {
  compiled(typical);
  for (auto _ : state) {
    int64_t a = get_int_element(1000, 0), b = get_int_element(1001, 0), c = get_int_element(1002, 0);
    benchmark::DoNotOptimize(a * 3 + b - c / 2 + (a & 7) * (b > c) - c % 5);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NativeBaseline);

void BM_EvaluateTypicalReal(benchmark::State& state) {
  std::vector<uint8_t> b = compiled(typical);
  for (auto _ : state) benchmark::DoNotOptimize(eval_to_float(b.data(), static_cast<uint32_t>(b.size())));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateTypicalReal);

void BM_EvaluateIndexed(benchmark::State& state) {
  std::vector<uint8_t> b = compiled("grid[a % 16][b % 16] + grid[c % 16][3] * 2");
  for (auto _ : state) benchmark::DoNotOptimize(eval_to_int(b.data(), static_cast<uint32_t>(b.size())));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateIndexed);

void BM_EvaluateText(benchmark::State& state) {
  std::vector<uint8_t> b = compiled("\"player \" + t + \": \" + str(a * 2)");
  char buffer[string_slot_size];
  for (auto _ : state) benchmark::DoNotOptimize(eval_to_string(buffer, b.data(), static_cast<uint32_t>(b.size())));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateText);

}  // namespace

BENCHMARK_MAIN();
