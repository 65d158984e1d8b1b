#!/usr/bin/env bash
# The hook guard itself: it sees the engine's tables, passes on a planted
# tree whose table is filled five ways, and names each field whose one fill
# is removed.   usage: check_hooks_test.sh CHECK_HOOKS SOURCE_ROOT
set -euo pipefail
check="$1"
source_root="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The tables it must find in the engine, with a field each.
tables=$("$check" --tables "$source_root")
for expected in "cg_gpu_hook_table cg_gpu_hooks .*read_back_buffer_with_tone" \
                "client_size_hook_table client_size_hooks fullscreen_resize" \
                "save_layer_hooks_record save_layer_hooks .*stamp_load_time" \
                "object_tree_payload_hooks object_tree_hooks root first_node" \
                "frame_step_table default_frame_steps .*present_movie$" \
                "sound_thread_record sound_thread sleep_ms \\(and data\\)$"; do
  grep -qE "^$expected" <<<"$tables" || { echo "table not found: $expected"; exit 1; }
done

mkdir -p "$tmp/src/low" "$tmp/src/high" "$tmp/tests/low"
cat > "$tmp/src/low/planted.h" <<'H'
#pragma once
// A comment that names (*decoy)(int), and a member function below.
struct planted_hook_table {
  int (*direct)(int) = nullptr;
  void (*designated)() = nullptr;
  void (*arrayed)() = nullptr;
  bool (*through_pointer)(const char* text) = nullptr;
  void set_all(bool (*given)(int));
};
extern planted_hook_table planted_links;
extern planted_hook_table planted_set[2];
struct plain_positional_table {
  void (*first)();
  int (*second)(int);
};
extern plain_positional_table positional_links;
H
cat > "$tmp/src/high/fill.cpp" <<'C'
#include "low/planted.h"
planted_hook_table planted_links;
planted_hook_table planted_set[2];
plain_positional_table positional_links = {one, two};
void fill() {
  const char* text = "planted_links.designated = nothing";
  planted_links.direct = twice;  // DIRECT
  planted_links = planted_hook_table{.designated = go};  // DESIGNATED
  planted_set[1].arrayed = go;  // ARRAYED
  planted_hook_table* p = &planted_links;
  p->through_pointer = check;  // POINTER
  planted_links.arrayed = nullptr;
}
C
printf 'void stand_ins() {\n  planted_links.direct = fake;\n}\n' > "$tmp/tests/low/planted_test.cpp"
"$check" "$tmp" >/dev/null || { echo "a tree with every field filled was refused:"; "$check" "$tmp"; exit 1; }

expect_reported() {  # expect_reported <marker removed, or a sed expression> <line the report must hold>
  local case_root
  case_root=$(mktemp -d -p "$tmp")
  cp -r "$tmp/src" "$tmp/tests" "$case_root/"
  sed -i "$1" "$case_root/src/high/fill.cpp"
  if out=$("$check" "$case_root"); then
    echo "not reported after '$1'"
    exit 1
  fi
  grep -qxF "$2" <<<"$out" || { echo "report lacks '$2':"; echo "$out"; exit 1; }
  [ "$(grep -c ': assigned' <<<"$out")" -eq 1 ] || { echo "more than one field reported:"; echo "$out"; exit 1; }
}

expect_reported '/DIRECT/d' 'planted_links.direct (planted_hook_table, src/low/planted.h): assigned only in tests'
expect_reported '/DESIGNATED/d' 'planted_links.designated (planted_hook_table, src/low/planted.h): assigned nowhere'
expect_reported '/ARRAYED/d' 'planted_links.arrayed (planted_hook_table, src/low/planted.h): assigned nowhere'
expect_reported '/POINTER/d' 'planted_links.through_pointer (planted_hook_table, src/low/planted.h): assigned nowhere'
# A positional fill of one value covers only the first field.
expect_reported 's/{one, two}/{one}/' 'positional_links.second (plain_positional_table, src/low/planted.h): assigned nowhere'
echo "the hook guard names every planted removal"
