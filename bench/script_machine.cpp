// The script machine in loop iterations per second: four workloads assembled
// from a listing and run by the scheduler, beside Lua 5.4 running the same
// work in the same process (with globals, as the script machine's variables
// are; the integer loop also with locals).
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

// Four workloads, each a label that runs its loop once per tick and waits a
// frame; the same work in Lua 5.4 with globals (as the script machine's
// variables are) and, for the integer loop, with locals.
//   integer loop: s += i, i += 1 (three instructions per iteration)
//   text: build a text by joining, then take a substring of it
//   array: read and write a 100 x 100 integer array crosswise
//   calls: call a label with two arguments and read its return value
const char* const listing = R"(
global int i = 0
global int s = 0
global int x = 0
global int y = 0
global int a[100][100] = 0
global string t = ""
global string u = ""
*SYSTEM_START
wait 1
goto SYSTEM_START
*INT_LOOP
i = 0
s = 0
loop 100000
  s += i
  i += 1
end
wait 1
goto INT_LOOP
*TEXT_LOOP
i = 0
loop 10000
  t = "item" + str(i)
  t += "!"
  array_util source=t, destination=u, substring=1, start=2, count=3
  i += 1
end
wait 1
goto TEXT_LOOP
*ARRAY_LOOP
y = 0
loop 100
  x = 0
  loop 100
    a[y][x] = a[x][y] + 1
    x += 1
  end
  y += 1
end
wait 1
goto ARRAY_LOOP
*CALL_LOOP
i = 0
loop 10000
  call add(i, 2)
  s = ret_int[1]
  i += 1
end
wait 1
goto CALL_LOOP
*add
return arg_int[1] + arg_int[2]
)";

struct workload {
  const char* label;
  int64_t iterations;  // loop iterations per tick
  const char* lua;     // the same work in Lua (globals)
};

const workload workloads[] = {
    {"INT_LOOP", 100000,
     "i, s = 0, 0\n"
     "for _ = 1, 100000 do s = s + i; i = i + 1 end\n"
     "return s"},
    {"TEXT_LOOP", 10000,
     "i = 0\n"
     "for _ = 1, 10000 do t = 'item' .. tostring(i); t = t .. '!'; u = string.sub(t, 2, 4); i = i + 1 end\n"
     "return #u"},
    {"ARRAY_LOOP", 10000,
     "if not a then a = {} for r = 0, 99 do a[r] = {} for c = 0, 99 do a[r][c] = 0 end end end\n"
     "y = 0\n"
     "for _ = 1, 100 do x = 0; for _ = 1, 100 do a[y][x] = a[x][y] + 1; x = x + 1 end; y = y + 1 end\n"
     "return y"},
    {"CALL_LOOP", 10000,
     "function add(p, q) return p + q end\n"
     "i = 0\n"
     "for _ = 1, 10000 do s = add(i, 2); i = i + 1 end\n"
     "return s"},
};

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
  }
  void start(const char* name) {
    label = find_label(name);
    switch_task_to_label(task, label);
  }
};

machine& the_machine() {
  static machine m;
  return m;
}

void BM_ScriptMachine(benchmark::State& state, const workload& w) {
  machine& m = the_machine();
  m.start(w.label);
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
      benchmark::Counter(static_cast<double>(state.iterations()) * double(w.iterations), benchmark::Counter::kIsRate);
}

// The same loop in Lua 5.4.
void run_lua(benchmark::State& state, const char* chunk, int64_t loop_count) {
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
          "return s",
          100000);
}
BENCHMARK(BM_Lua54LocalsLoop)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  for (const workload& w : workloads) {
    std::string name = std::string("BM_ScriptMachine/") + w.label;
    benchmark::RegisterBenchmark(name.c_str(), [&w](benchmark::State& st) { BM_ScriptMachine(st, w); })
        ->Unit(benchmark::kMillisecond);
    name = std::string("BM_Lua54Globals/") + w.label;
    benchmark::RegisterBenchmark(name.c_str(), [&w](benchmark::State& st) { run_lua(st, w.lua, w.iterations); })
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
