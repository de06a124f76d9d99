// Whole-process decoder probe for scripts/bench.sh: runs FfmpegDecoder on one source for a fixed
// amount of video and prints what it delivered as one JSON line. CPU time and peak RSS are taken
// by the caller from wait4, the same way as for the `ffmpeg` program it is compared with, so both
// figures include the same process start, stream open and stream probing.
//
//   decode_probe --url URL [--mode adaptive|keyframe|all] [--streams K]
//                (--seconds S | --passes N) [--limit-s L]
//
// --seconds: each stream stops at the first frame whose presentation time is S seconds or more
//            after its first frame's (that frame is not counted), as `ffmpeg -t S` does.
// --passes:  for a finite source (a file): each stream stops once N connections have ended.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "analysis/decoder/ffmpeg_decoder.h"
#include "analysis/scene_detector.h"
#include "foundation/json.h"
#include "foundation/log.h"
#include "foundation/time.h"

namespace velmo::ai {
namespace {

struct ProbeOptions {
  std::string url;
  std::string mode = "all";
  int streams = 1;
  double seconds = 0.0;
  int passes = 0;
  double limit_s = 0.0;  // 0: derived from --seconds / --passes
};

[[noreturn]] void usage(const std::string& why) {
  std::cerr << "decode_probe: " << why << "\n"
            << "usage: decode_probe --url URL [--mode adaptive|keyframe|all] [--streams K] "
               "(--seconds S | --passes N) [--limit-s L]\n";
  std::exit(2);
}

ProbeOptions parse(int argc, char** argv) {
  ProbeOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage("missing value for " + arg);
      return argv[++i];
    };
    try {
      if (arg == "--url") {
        o.url = value();
      } else if (arg == "--mode") {
        o.mode = value();
      } else if (arg == "--streams") {
        o.streams = std::stoi(value());
      } else if (arg == "--seconds") {
        o.seconds = std::stod(value());
      } else if (arg == "--passes") {
        o.passes = std::stoi(value());
      } else if (arg == "--limit-s") {
        o.limit_s = std::stod(value());
      } else {
        usage("unknown option " + arg);
      }
    } catch (const std::logic_error&) {
      usage("bad value for " + arg);
    }
  }
  if (o.url.empty()) usage("--url is required");
  if (o.streams < 1 || o.streams > 64) usage("--streams must be 1..64");
  if ((o.seconds > 0.0) == (o.passes > 0)) usage("give exactly one of --seconds and --passes");
  return o;
}

std::int64_t rss_kib_now() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtoll(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

double cpu_seconds_now() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One decoded stream: its own decoder on its own thread, ended by its own stop source.
struct Stream {
  std::stop_source stop;
  std::atomic<std::uint64_t> frames{0};
  std::atomic<int> connections_ended{0};
  std::atomic<std::int64_t> first_frame_steady_ms{0};
  std::atomic<bool> done{false};
  std::int64_t first_pts_ms = 0;  // decoder thread only
  bool seen_first = false;        // decoder thread only
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::string error;
  std::thread thread;
};

void run_stream(Stream& s, const ProbeOptions& o) {
  DecoderOptions options;
  options.decode_mode = o.mode;
  options.hardware_decode = "off";  // the reference decodes in software too
  options.reconnect_delay_ms = o.passes > 0 ? 0 : 1000;
  const std::int64_t video_ms = static_cast<std::int64_t>(o.seconds * 1000.0);

  DecoderCallbacks callbacks;
  callbacks.on_state = [&](DecoderState state, const std::string&) {
    if (state != DecoderState::reopening) return;
    // A pass is a connection that delivered; the open of the next one is cut short by the stop.
    if (o.passes > 0 && s.frames.load() > 0 && s.connections_ended.fetch_add(1) + 1 >= o.passes) {
      s.stop.request_stop();
    }
  };
  callbacks.on_frame = [&](VideoFrame&& frame) {
    if (!s.seen_first) {
      s.seen_first = true;
      s.first_pts_ms = frame.pts_ms;
      s.first_frame_steady_ms.store(steady_millis());
      s.width = frame.width;
      s.height = frame.height;
    }
    if (video_ms > 0 && frame.pts_ms - s.first_pts_ms >= video_ms) {
      s.stop.request_stop();
      return false;
    }
    s.frames.fetch_add(1);
    return true;
  };
  // As in the service, the scene detector's reduction runs on each band of the conversion.
  SceneReduction reduction;
  callbacks.band_observer = &reduction;
  try {
    FfmpegDecoder decoder(o.url, options);
    decoder.run(s.stop.get_token(), callbacks);
  } catch (const std::exception& e) {
    s.error = e.what();
  }
  s.done.store(true);
}

int probe_main(int argc, char** argv) {
  const ProbeOptions o = parse(argc, argv);
  set_log_level("error");  // reconnection warnings are expected at the end of every pass

  const double limit_s = o.limit_s > 0.0 ? o.limit_s : (o.seconds > 0.0 ? o.seconds * 3.0 + 30.0 : 600.0);
  const std::int64_t start_rss_kib = rss_kib_now();
  const std::int64_t start_ms = steady_millis();
  const double start_cpu_s = cpu_seconds_now();

  std::vector<std::unique_ptr<Stream>> streams;
  for (int i = 0; i < o.streams; ++i) streams.push_back(std::make_unique<Stream>());
  for (auto& s : streams) {
    Stream* raw = s.get();
    raw->thread = std::thread([raw, &o] { run_stream(*raw, o); });
  }

  const std::int64_t deadline = start_ms + static_cast<std::int64_t>(limit_s * 1000.0);
  bool timed_out = false;
  for (;;) {
    bool all_done = true;
    for (auto& s : streams) all_done = all_done && s->done.load();
    if (all_done) break;
    if (steady_millis() > deadline) {
      timed_out = true;
      for (auto& s : streams) s->stop.request_stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (auto& s : streams) s->thread.join();

  const double wall_s = static_cast<double>(steady_millis() - start_ms) / 1000.0;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  Json per_stream = Json::array();
  std::uint64_t frames = 0;
  bool failed = timed_out;
  for (auto& s : streams) {
    frames += s->frames.load();
    const std::int64_t first = s->first_frame_steady_ms.load();
    per_stream.push_back({{"frames", s->frames.load()},
                          {"width", s->width},
                          {"height", s->height},
                          {"first_frame_s", first > 0 ? static_cast<double>(first - start_ms) / 1000.0 : -1.0},
                          {"error", s->error}});
    failed = failed || !s->error.empty() || s->frames.load() == 0;
  }
  const Json report = {
      {"url", o.url},
      {"mode", o.mode},
      {"streams", o.streams},
      {"seconds", o.seconds},
      {"passes", o.passes},
      {"frames", frames},
      {"wall_s", wall_s},
      {"cpu_s", cpu_seconds_now() - start_cpu_s},
      {"start_rss_kib", start_rss_kib},
      {"peak_rss_kib", usage.ru_maxrss},
      {"timed_out", timed_out},
      {"per_stream", per_stream},
  };
  std::cout << report.dump() << std::endl;
  return failed ? 1 : 0;
}

}  // namespace
}  // namespace velmo::ai

int main(int argc, char** argv) {
  try {
    return velmo::ai::probe_main(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "decode_probe: " << e.what() << "\n";
    return 1;
  }
}
