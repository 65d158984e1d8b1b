// A game folder on a temporary folder with the headless platform installed,
// and the resource subsystem back at its start-up state.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/reported_errors.h"
#include "core/engine_state.h"
#include "core/error_report.h"
#include "format/pack_format.h"
#include "platform/headless/headless_platform.h"
#include "resources/command_table.h"
#include "resources/compiled_loaders.h"
#include "core/engine_config.h"
#include "resources/pack_archive.h"
#include "resources/resource_locator.h"
#include "support/temp_folder.h"

inline std::vector<uint8_t> bytes_of(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

inline pack_writer_entry pack_file(const std::string& name, const std::vector<uint8_t>& data,
                                   uint8_t compression = pack_stored, bool repair = true, uint8_t type = 0xFF) {
  pack_writer_entry e;
  e.name = name;
  e.data = data;
  e.compression = compression;
  e.repair = repair;
  e.type = type;
  return e;
}

inline std::vector<uint8_t> pattern_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return v;
}

// Collects the codes of the reports made while it lives. Reports reach stderr
// as "error CODE" lines until the error dialog lands; this is the one place
// that knows how to observe them.
// Error codes reported while a probe lives.
using report_probe = reported_errors;

class resource_test : public testing::Test {
 protected:
  void SetUp() override {
    platform_ = std::make_unique<HeadlessPlatform>(game.path());
    reset_pack_tables();
    reset_resource_caches();
    reset_compiled_tables();
    pack_folder_prefix.clear();
    engine_config = engine_config_record{};
    quit_flag = 0;
    // The first error dialog of a run is the one shown: each case is a new run.
    error_dialog_shown = 0;
    build_name_length_table();
  }
  void TearDown() override { platform_.reset(); }

  void write_pack(const std::string& relative, const std::vector<pack_writer_entry>& entries,
                  const pack_writer_options& options = {}) {
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(build_pack(entries, bytes, nullptr, options));
    game.write(relative, bytes);
  }

  // Finds and reads `name` through the resolver; empty optional-like result
  // when not found (found = false).
  struct read_result {
    int resolve = 1;
    int read = -99;
    std::string name;
    resource_locator locator;
  };
  read_result fetch(std::string name, int kind = resource_kind_any) {
    read_result r;
    r.resolve = resolve_resource_name(r.locator, r.name, name, kind);
    if (r.resolve == 0) r.read = read_located_resource(r.locator, r.name);
    return r;
  }

  temp_folder game;
  std::unique_ptr<HeadlessPlatform> platform_;
};
