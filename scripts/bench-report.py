#!/usr/bin/env python3
"""Runs every benchmark program of a build and prints one table: each figure
beside its baseline as a ratio, and whether the speed goal is met.

  scripts/bench-report.py BUILD_DIR [--repetitions N] [--reuse]

Each program runs N times (default 3) and the best run of every figure is
kept, so a busy machine disturbs the table less. --reuse prints the table
from the JSON files of an earlier run without running anything.
"""
import argparse
import glob
import json
import os
import subprocess
import sys


def run_all(build, repetitions, reuse):
    out_dir = os.path.join(build, "bench-results")
    os.makedirs(out_dir, exist_ok=True)
    results = {}
    for exe in sorted(glob.glob(os.path.join(build, "bench", "bench_*"))):
        if not os.access(exe, os.X_OK):
            continue
        name = os.path.basename(exe)
        out = os.path.join(out_dir, name + ".json")
        if not reuse:
            print(f"running {name} ({repetitions}x) ...", file=sys.stderr, flush=True)
            with open(os.devnull, "w") as null:
                rc = subprocess.call(
                    [exe, f"--benchmark_repetitions={repetitions}", "--benchmark_out_format=json",
                     f"--benchmark_out={out}"],
                    stdout=null, stderr=subprocess.STDOUT)
            if rc != 0:
                print(f"  {name} failed ({rc})", file=sys.stderr)
        if os.path.exists(out):
            with open(out) as f:
                try:
                    results[name] = json.load(f)["benchmarks"]
                except (ValueError, KeyError):
                    print(f"  {name}: unreadable results", file=sys.stderr)
    return results


class Figures:
    """The best of the repetitions of every benchmark, by run name."""

    def __init__(self, results):
        self.runs = {}
        for benches in results.values():
            for b in benches:
                if b.get("run_type") != "iteration" or b.get("error_occurred"):
                    continue
                self.runs.setdefault(b["run_name"], []).append(b)

    def has(self, name):
        return name in self.runs

    def seconds(self, name, field="cpu_time"):
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
        return min(b[field] * scale[b["time_unit"]] for b in self.runs[name])

    def most(self, name, counter):
        return max(b[counter] for b in self.runs[name] if counter in b)

    def least(self, name, counter):
        return min(b[counter] for b in self.runs[name] if counter in b)

    def paired(self, name, counter, other):
        """The run with the least `counter`, and its `other` (a ratio taken in
        that same run, so both come from one measurement)."""
        best = min((b for b in self.runs[name] if counter in b), key=lambda b: b[counter])
        return best[counter], best[other]


def fmt_time(s):
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.2f} us"
    return f"{s * 1e9:.0f} ns"


def fmt_rate(r):
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if r >= scale:
            return f"{r / scale:.2f} {unit}/s"
    return f"{r:.0f} /s"


def build_rows(f):
    rows = []  # (area, figure, value, baseline, ratio, goal, met)

    def row(area, figure, value, baseline, ratio, goal_text, met):
        rows.append((area, figure, value, baseline, f"{ratio:.2f}x", goal_text, "yes" if met else "NO"))

    def info(area, figure, value, baseline, ratio):
        rows.append((area, figure, value, baseline, f"{ratio:.2f}x" if ratio is not None else "", "-", ""))

    # Script machine against Lua 5.4 (globals): iterations per second.
    for label, title in (("INT_LOOP", "integer loop"), ("TEXT_LOOP", "text build + substring"),
                         ("ARRAY_LOOP", "2-D array read/write"), ("CALL_LOOP", "call with args/return")):
        ours, lua = f"BM_ScriptMachine/{label}", f"BM_Lua54Globals/{label}"
        if f.has(ours) and f.has(lua):
            a, b = f.most(ours, "iterations/s"), f.most(lua, "iterations/s")
            row("script", title, fmt_rate(a), "Lua globals " + fmt_rate(b), a / b, ">= 1.0x Lua", a >= b)
    if f.has("BM_Lua54LocalsLoop") and f.has("BM_ScriptMachine/INT_LOOP"):
        a, b = f.most("BM_ScriptMachine/INT_LOOP", "iterations/s"), f.most("BM_Lua54LocalsLoop", "iterations/s")
        info("script", "integer loop vs Lua locals", fmt_rate(a), "Lua locals " + fmt_rate(b), a / b)

    # Blend modes: the slowest of the six variants per mode, against the
    # normal-alpha span (one thread, full HD, CPU time).
    base = "mode/0/alpha/min_time:0.050"
    if f.has(base):
        t0 = f.seconds(base)
        if f.has("pixman_OVER/sprite"):
            p = f.seconds("pixman_OVER/sprite")
            info("blend", "normal alpha span", fmt_time(t0), "pixman OVER " + fmt_time(p), t0 / p)
        heavy = {4, 11, 12, 15, 16}
        variants = ("plain", "opacity", "alpha", "alpha_opacity", "rule", "rule_alpha")
        for m in range(19):
            times = {v: f.seconds(f"mode/{m}/{v}/min_time:0.050") for v in variants
                     if f.has(f"mode/{m}/{v}/min_time:0.050")}
            if not times:
                continue
            worst = max(times, key=times.get)
            limit = 4.0 if m in heavy else 2.0
            ratio = times[worst] / t0
            row("blend", f"mode {m:2d} slowest ({worst})", fmt_time(times[worst]), "normal alpha " + fmt_time(t0),
                ratio, f"<= {limit:.0f}x", ratio <= limit)

    # Compositor: small dirty rectangles against pixman, workers scaling.
    for w in (1, 2, 4):
        name = f"BM_small_rects/workers:{w}/real_time"
        if f.has(name):
            us, x = f.paired(name, "rect_us", "x_pixman")
            row("compositor", f"40x40 rect over 8 layers, {w} worker(s)", f"{us:.2f} us",
                f"pixman {us / x:.2f} us", x, "<= 1.0x pixman", x <= 1.0)
    one = "BM_frame/scene:1/layers:16/workers:1/real_time"
    four = "BM_frame/scene:1/layers:16/workers:4/real_time"
    if f.has(one) and f.has(four):
        a, b = f.least(four, "frame_ms"), f.least(one, "frame_ms")
        row("compositor", "16 alpha layers, 4 workers", f"{a:.2f} ms", f"1 worker {b:.2f} ms", a / b,
            "<= 0.5x 1 worker", a / b <= 0.5)
        mem = f.paired(four, "frame_ms", "x_memcpy")[1]
        info("compositor", "16 alpha layers, 4 workers vs memcpy", f"{a:.2f} ms", f"memcpy {a / mem:.2f} ms", mem)
        # The bytes the frame brings from memory per second, beside what plain
        # copies reach on one and on four threads: near the latter, memory is
        # the wall.
        copy4 = "BM_memcpy_frame/real_time/threads:4"
        wall = f.most(copy4, "bytes_per_second") if f.has(copy4) else None
        for w in (1, 2, 4):
            name = f"BM_frame/scene:1/layers:16/workers:{w}/real_time"
            if f.has(name) and "GBps" in f.runs[name][0]:
                gb = f.paired(name, "frame_ms", "GBps")[1]
                info("compositor", f"16 alpha layers, {w} worker(s), bandwidth", f"{gb:.2f} GB/s",
                     f"memcpy 4 threads {wall / 1e9:.2f} GB/s" if wall else "", gb * 1e9 / wall if wall else None)
        if f.has("BM_memcpy_frame/real_time"):
            bw = f.most("BM_memcpy_frame/real_time", "bytes_per_second")
            info("compositor", "memcpy bandwidth (one thread)", f"{bw / 1e9:.2f} GB/s", "", None)
        if wall:
            info("compositor", "memcpy bandwidth (four threads)", f"{wall / 1e9:.2f} GB/s", "", None)
    for k in (1, 8):
        for name in (f"BM_frame/scene:1/layers:{k}/workers:1/real_time",):
            if f.has(name):
                ms, x = f.paired(name, "frame_ms", "x_pixman")
                info("compositor", f"{k} alpha layer(s), 1 worker", f"{ms:.2f} ms", f"pixman {ms / x:.2f} ms", x)

    # Glyphs: warm cache against bare FreeType rendering one afresh; an edge
    # (five passes) or shadow (three) may cost the plain glyph plus its extra
    # kernel passes.
    ft = "BM_freetype_bare_render/24"
    base_t = f.seconds(ft) if f.has(ft) else None
    base_text = "bare FreeType " + (fmt_time(base_t) if base_t else "?")
    plain = f.seconds("BM_glyph_warm_plain") if f.has("BM_glyph_warm_plain") else None
    kernel = f.seconds("BM_glyph_part/kernel_flat") if f.has("BM_glyph_part/kernel_flat") else None
    if plain is not None:
        row("glyphs", "warm 24px glyph, flat, no edge/shadow", fmt_time(plain), base_text,
            plain / base_t if base_t else 0.0, "< 500 ns", plain < 0.5e-6)
    for name, title, extra_passes in (("BM_glyph_warm_edge", "warm glyph with edge (5 passes)", 4),
                                      ("BM_glyph_warm_shadow", "warm glyph with shadow (3 passes)", 2)):
        if f.has(name) and plain is not None and kernel is not None:
            t = f.seconds(name)
            allowed = plain + extra_passes * kernel
            row("glyphs", title, fmt_time(t), f"plain + {extra_passes} passes {fmt_time(allowed)}", t / allowed,
                "<= 1.0x", t <= allowed * 1.05)
    for name, title in (("BM_glyph_warm_antialiased", "warm glyph, gradient"),
                        ("BM_glyph_warm_one_bit", "warm glyph, one bit")):
        if f.has(name):
            t = f.seconds(name)
            info("glyphs", title, fmt_time(t), base_text, t / base_t if base_t else None)
    # Where a warm glyph's time goes: every part the benchmark measures, in
    # its order, then what the extra passes of an edge and a shadow add.
    for name in [n for n in f.runs if n.startswith("BM_glyph_part/")]:
        info("glyphs", "  part: " + name.split("/", 1)[1], fmt_time(f.seconds(name)), "", None)
    if plain is not None:
        for name, title in (("BM_glyph_warm_edge", "  part: edge's 4 extra passes"),
                            ("BM_glyph_warm_shadow", "  part: shadow's 2 extra passes")):
            if f.has(name):
                info("glyphs", title, fmt_time(f.seconds(name) - plain), "", None)

    # Packs.
    if f.has("BM_OpenPackArchives") and f.has("BM_Baseline_ReadAllTables"):
        a, b = f.seconds("BM_OpenPackArchives"), f.seconds("BM_Baseline_ReadAllTables")
        row("packs", "open 100 packs / 100,000 entries", fmt_time(a), "read tables " + fmt_time(b), a / b,
            "<= 10x and < 16 ms", a / b <= 10 and a < 16e-3)
    if f.has("BM_FindInPacks"):
        a = f.seconds("BM_FindInPacks")
        row("packs", "name look-up", fmt_time(a), "", a / 150e-9, "< 150 ns", a < 150e-9)
    return rows


def print_table(rows):
    head = ("area", "figure", "ours", "baseline", "ratio", "goal", "met")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = "  ".join("-" * w for w in widths)
    print("  ".join(h.ljust(w) for h, w in zip(head, widths)))
    print(line)
    for r in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    goals = [r for r in rows if r[6] in ("yes", "NO")]
    print(line)
    print(f"goals met: {sum(r[6] == 'yes' for r in goals)} of {len(goals)}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--repetitions", type=int, default=3)
    ap.add_argument("--reuse", action="store_true")
    args = ap.parse_args()
    results = run_all(args.build, args.repetitions, args.reuse)
    print_table(build_rows(Figures(results)))


if __name__ == "__main__":
    main()
