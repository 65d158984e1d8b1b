// The script machine in instructions per second: an integer loop assembled
// from a listing and run by the scheduler, beside Lua 5.4 running the same
// loop in the same process (with locals, and with globals as the script
// machine's variables are).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "core/engine_state.h"
#include "core/error_report.h"
#include "app/frame_loop.h"
#include "core/object_tree.h"
#include "format/compiled_files.h"
#include "format/pack_format.h"
#include "format/script_assembler.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "script/expression.h"
#include "script/scheduler.h"
#include "script/script_code.h"
#include "script/task.h"
#include "script/variable_store.h"
#include "app/command_handlers.h"

namespace {

constexpr int64_t loop_count = 100000;

// The loop: per iteration a let with an addition, a let with an increment,
// and the loop end: three instructions.
const char* const listing = R"(
global int i = 0
global int s = 0
*SYSTEM_START
i = 0
s = 0
loop 100000
  s += i
  i += 1
end
wait 1
goto SYSTEM_START
)";

struct machine {
  task_record* task = nullptr;
  int label = -1;
  machine() {
    error_dialog_shown = 1;
    install_expression_tables();
    install_scheduler();
    assembler_options options;
    options.code_key = derive_code_file_key();
    assemble_result r = assemble_listing(listing, options);
    if (!r.ok) {
      std::fprintf(stderr, "listing does not assemble\n");
      return;
    }
    auto file = [&](const char* name) -> const std::vector<uint8_t>& {
      for (const assembled_file& f : r.files)
        if (f.name == name) return f.bytes;
      static const std::vector<uint8_t> none;
      return none;
    };
    const auto& kxc = file("kxbin\\kxc.kbn");
    install_command_handlers();
    install_command_file(kxc.data(), kxc.size());
    install_variable_counts(file("kxbin\\kxt.kbn").data(), file("kxbin\\kxt.kbn").size());
    create_variable_table(variable_counts.variable_count, 0);
    install_script_name_list(file("kxbin\\kxt_list.kbn").data(), file("kxbin\\kxt_list.kbn").size());
    set_initial_variable_image(file("kxbin\\kxv.kbn"));
    init_static_variables(-1);
    install_label_table(file("kxbin\\kxl.kbn").data(), file("kxbin\\kxl.kbn").size());
    create_tree_roots();
    const auto& code_bytes = file("kxbin\\kxt00000.kbn");
    std::unique_ptr<script_code> code(new script_code());
    parse_code_file(code_bytes.data(), code_bytes.size(), derive_code_file_key(), *code);
    install_script_code(0, std::move(code));
    task = task_of(find_object_by_path(object_trees[tree_tasks].root, "SYSTEM", find_leaf));
    label = find_label("SYSTEM_START");
    switch_task_to_label(task, label);
  }
};

machine& the_machine() {
  static machine m;
  return m;
}

void BM_ScriptMachineIntegerLoop(benchmark::State& state) {
  machine& m = the_machine();
  uint64_t instructions = 0;
  for (auto _ : state) {
    m.task->wait_frames = 0;
    const uint64_t before = scheduler_state.instructions;
    ++frame_counters.script_tick;
    run_script_threads();
    instructions += scheduler_state.instructions - before;
  }
  if (quit_flag) state.SkipWithError("the script reported an error");
  const uint32_t s_id = 1001;
  benchmark::DoNotOptimize(get_int_element(s_id, 0));
  state.counters["instructions/s"] = benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
  state.counters["iterations/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * loop_count, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ScriptMachineIntegerLoop)->Unit(benchmark::kMillisecond);

// The same loop in Lua 5.4.
void run_lua(benchmark::State& state, const char* chunk) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  if (luaL_loadstring(L, chunk) != LUA_OK) {
    state.SkipWithError(lua_tostring(L, -1));
    lua_close(L);
    return;
  }
  const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
  for (auto _ : state) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
    if (lua_pcall(L, 0, 1, 0) != LUA_OK) {
      state.SkipWithError(lua_tostring(L, -1));
      break;
    }
    benchmark::DoNotOptimize(lua_tointeger(L, -1));
    lua_pop(L, 1);
  }
  state.counters["iterations/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * loop_count, benchmark::Counter::kIsRate);
  lua_close(L);
}

void BM_Lua54LocalsLoop(benchmark::State& state) {
  run_lua(state,
          "local i, s = 0, 0\n"
          "for _ = 1, 100000 do s = s + i; i = i + 1 end\n"
          "return s");
}
BENCHMARK(BM_Lua54LocalsLoop)->Unit(benchmark::kMillisecond);

void BM_Lua54GlobalsLoop(benchmark::State& state) {
  run_lua(state,
          "i, s = 0, 0\n"
          "for _ = 1, 100000 do s = s + i; i = i + 1 end\n"
          "return s");
}
BENCHMARK(BM_Lua54GlobalsLoop)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
