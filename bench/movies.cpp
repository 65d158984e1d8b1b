// Movie decoding: a 1280 x 720 MPEG-2 program stream (with MP2 sound) made by
// the ffmpeg program, decoded through the player's own path (demux, decode,
// conversion to BGRA at the movie's size, sound resampled to 44100 Hz) beside
// `ffmpeg -f null` decoding the same file. Prints frames per second of each,
// their ratio and how many times faster than real time the player decodes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/ffmpeg/ffmpeg_movie.h"

namespace {

constexpr int movie_seconds = 8;
constexpr int movie_fps = 25;

const std::string& bench_movie() {
  static const std::string path = [] {
    std::string p = "/tmp/zarvik-bench-movie-" + std::to_string(getpid()) + ".mpg";
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=" +
        std::to_string(movie_fps) + ":duration=" + std::to_string(movie_seconds) +
        " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=" + std::to_string(movie_seconds) +
        " -c:v mpeg2video -b:v 8M -g 15 -c:a mp2 -b:a 224k -f vob '" + p + "'";
    if (std::system(command.c_str()) != 0) p.clear();
    return p;
  }();
  return path;
}

void BM_movie_player(benchmark::State& state) {
  if (bench_movie().empty()) return state.SkipWithError("the ffmpeg program could not make the movie");
  int64_t frames = 0;
  for (auto _ : state) {
    std::string error;
    frames = FfmpegMoviePlayer::decode_all(bench_movie(), 1280, 720, &error);
    if (frames < 0) return state.SkipWithError(error.c_str());
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(frames) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_ffmpeg_null(benchmark::State& state) {
  if (bench_movie().empty()) return state.SkipWithError("the ffmpeg program could not make the movie");
  const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -i '" + bench_movie() + "' -f null -";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) return state.SkipWithError("ffmpeg -f null failed");
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(movie_seconds * movie_fps) * state.iterations(),
                                             benchmark::Counter::kIsRate);
}

// The bare decoder runs in a child process, so both sides are timed on the
// wall clock.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
        seconds[run.run_name.function_name] = run.GetAdjustedRealTime() / 1000.0;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;  // per iteration
};

}  // namespace

BENCHMARK(BM_movie_player)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ffmpeg_null)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double frames = movie_seconds * movie_fps;
  auto& s = reporter.seconds;
  if (s.count("BM_movie_player") && s.count("BM_ffmpeg_null")) {
    const double ours = frames / s["BM_movie_player"], peer = frames / s["BM_ffmpeg_null"];
    std::printf("1280x720 MPEG-2: player %.1f fps, ffmpeg -f null %.1f fps\n", ours, peer);
    std::printf("time player / ffmpeg = %.3f\n", s["BM_movie_player"] / s["BM_ffmpeg_null"]);
    std::printf("player speed / real time = %.1f\n", ours / movie_fps);
  }
  if (!bench_movie().empty()) std::remove(bench_movie().c_str());
  benchmark::Shutdown();
  return 0;
}
