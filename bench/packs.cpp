// Pack archives at the design limits: 100 packs holding 100,000 entries.
// Each measurement sits beside a peer baseline of the same run: the bare file
// reads that the engine's work cannot avoid.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "format/pack_format.h"
#include "platform/headless/headless_platform.h"
#include "resources/pack_archive.h"
#include "resources/resource_locator.h"

namespace {

constexpr int pack_count = 100;
constexpr int entries_per_pack = 1000;

struct bench_game {
  std::string folder;
  std::unique_ptr<HeadlessPlatform> platform;
  std::vector<std::string> names;

  bench_game() {
    std::string templ = (std::filesystem::temp_directory_path() / "zarvik-bench-XXXXXX").string();
    folder = std::string(::mkdtemp(templ.data())) + "/";
    std::filesystem::create_directories(folder + "pac");
    for (int p = 0; p < pack_count; ++p) {
      std::vector<pack_writer_entry> entries;
      for (int e = 0; e < entries_per_pack; ++e) {
        pack_writer_entry w;
        w.name = "cg\\pack" + std::to_string(p) + "\\picture" + std::to_string(e) + ".png";
        // Every tenth entry is a 16 KiB zlib entry with repair data, the rest
        // small stored entries.
        if (e % 10 == 0) {
          w.data.assign(16384, static_cast<uint8_t>(e));
          w.compression = pack_zlib;
          w.repair = true;
        } else {
          w.data.assign(256, static_cast<uint8_t>(p + e));
          w.repair = false;
        }
        names.push_back(w.name);
        entries.push_back(std::move(w));
      }
      std::vector<uint8_t> bytes;
      build_pack(entries, bytes);
      std::ofstream(folder + (p % 2 ? "pac/" : "") + "data" + std::to_string(p) + ".kpf", std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    platform = std::make_unique<HeadlessPlatform>(folder);
    build_name_length_table();
    for (std::string& n : names) lower_name(n);
  }
  ~bench_game() {
    platform.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  static void lower_name(std::string& n) {
    for (char& c : n)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
};

bench_game& game() {
  static bench_game g;
  return g;
}

void BM_OpenPackArchives(benchmark::State& state) {
  game();
  for (auto _ : state) {
    if (open_pack_archives() != 0) state.SkipWithError("open failed");
    benchmark::DoNotOptimize(pack_entry_tables.hashes.data());
  }
  state.SetItemsProcessed(state.iterations() * pack_count * entries_per_pack);
}
BENCHMARK(BM_OpenPackArchives)->Unit(benchmark::kMillisecond);

// Baseline: reading every pack's header and entry table, nothing else.
void BM_Baseline_ReadAllTables(benchmark::State& state) {
  game();
  open_pack_archives();
  std::vector<uint8_t> table;
  for (auto _ : state) {
    for (const std::string& path : pack_entry_tables.pack_paths) {
      auto f = platform().files->open_read(path);
      uint8_t h[16];
      f->read_at(0, h, 16);
      table.resize(get_u32(h + 12));
      f->read_at(32, table.data(), table.size());
    }
    benchmark::DoNotOptimize(table.data());
  }
  state.SetItemsProcessed(state.iterations() * pack_count * entries_per_pack);
}
BENCHMARK(BM_Baseline_ReadAllTables)->Unit(benchmark::kMillisecond);

void BM_FindInPacks(benchmark::State& state) {
  bench_game& g = game();
  open_pack_archives();
  std::mt19937 rng(1);
  std::vector<std::string> shuffled = g.names;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  // The names back to back in the order asked: a caller's name was just
  // built and sits in cache, so reading it must not cost a trip to memory
  // that the lookup would be charged with.
  std::string text;
  std::vector<std::pair<size_t, size_t>> order;
  for (const std::string& n : shuffled) {
    order.emplace_back(text.size(), n.size());
    text += n;
  }
  size_t i = 0;
  for (auto _ : state) {
    resource_locator l;
    if (find_in_packs(l, std::string_view(text).substr(order[i].first, order[i].second)) != 2)
      state.SkipWithError("not found");
    i = (i + 1) % order.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindInPacks);

// Resolve (normalise, probe, locate) and read: the whole path a picture
// load takes. Arg 0: small stored entries; 1: 16 KiB zlib entries.
void BM_ResolveAndRead(benchmark::State& state) {
  bench_game& g = game();
  open_pack_archives();
  std::vector<std::string> picks;
  for (size_t k = 0; k < g.names.size(); ++k)
    if ((k % 10 == 0) == (state.range(0) == 1)) picks.push_back(g.names[k]);
  std::shuffle(picks.begin(), picks.end(), std::mt19937(2));
  size_t i = 0;
  uint64_t bytes = 0;
  for (auto _ : state) {
    std::string in = picks[i].substr(0, picks[i].size() - 4);  // without ".png": probing
    resource_locator l;
    std::string name;
    if (resolve_resource_name(l, name, in, resource_kind_image) != 0 || read_located_resource(l, name) != 0)
      state.SkipWithError("read failed");
    bytes += l.size;
    i = (i + 1) % picks.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ResolveAndRead)->Arg(0)->Arg(1);

// Baseline: opening the entry's pack and reading its stored bytes, no lookup,
// no check, no inflation.
void BM_Baseline_OpenAndRead(benchmark::State& state) {
  game();
  open_pack_archives();
  const pack_entry_tables_record& t = pack_entry_tables;
  std::vector<size_t> picks;
  for (size_t k = 0; k < t.hashes.size(); ++k) picks.push_back(k);
  std::shuffle(picks.begin(), picks.end(), std::mt19937(3));
  std::vector<uint8_t> buffer(256);
  size_t i = 0;
  for (auto _ : state) {
    size_t k = picks[i];
    auto f = platform().files->open_read(t.pack_paths[t.pack_index(k)]);
    uint8_t raw[pack_entry_fields_size];
    f->read_at(t.data_position(k), raw, sizeof raw);
    pack_entry_fields fields;
    decode_pack_entry_fields(raw, fields);
    buffer.resize(fields.stored_size);
    f->read_at(fields.data_offset, buffer.data(), buffer.size());
    benchmark::DoNotOptimize(buffer.data());
    i = (i + 1) % picks.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Baseline_OpenAndRead);

}  // namespace

BENCHMARK_MAIN();
