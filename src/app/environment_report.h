// The environment report of a GPU-drawing start: the facts gathered from the
// platform (displays, modes, sound devices, memory) and the subsystems
// (processor features, DirectX release), written to info.txt.
#pragma once
#include <string>
#include <vector>

#include "core/system_info.h"

// The GPU drawing adds what its device reports (adapter, driver) as lines
// after the display devices; null: nothing.
struct environment_report_hook_table {
  void (*gpu_lines)(std::vector<std::string>& lines) = nullptr;
};
extern environment_report_hook_table environment_report_hooks;

environment_facts collect_environment_facts();
// Reads the processor name, collects the facts and writes the report.
void write_environment_report();
