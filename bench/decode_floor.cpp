// The floor for the soak: N RTSP streams decoded in one process with libavcodec alone, each on its
// own thread, the way the service's decoder does it (RTSP over TCP with the same options, one
// decoding thread per stream, key packets only in key-frame mode with a drain and flush after each)
// but with nothing after the decoder: no conversion, no analysis, no memory tuning. The soak reads
// its CPU time and RSS beside the service's on the same streams in the same run.
//
//   decode_floor [--mode keyframe|all] [--progress FILE] URL...
//
// Prints {"idle_rss_kib": N} once set up, before the first stream is opened, then decodes until
// SIGINT or SIGTERM. --progress: every 0.5 s the file is replaced by {"frames": [per stream]}.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

std::atomic<bool> g_running{true};

void handle_signal(int) { g_running.store(false); }

int interrupt(void*) { return g_running.load() ? 0 : 1; }

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Decodes what the packet gives; false on a decoder error.
bool receive_all(AVCodecContext* codec, AVFrame* frame, std::atomic<unsigned long>& frames) {
  for (;;) {
    const int rc = avcodec_receive_frame(codec, frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
    if (rc < 0) return false;
    frames.fetch_add(1, std::memory_order_relaxed);
    av_frame_unref(frame);
  }
}

void decode_once(const std::string& url, bool keyframes_only, std::atomic<unsigned long>& frames) {
  AVFormatContext* format = avformat_alloc_context();
  if (format == nullptr) return;
  format->interrupt_callback.callback = interrupt;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "rtsp_transport", "tcp", 0);
  av_dict_set(&options, "timeout", "5000000", 0);
  av_dict_set(&options, "fflags", "nobuffer", 0);
  av_dict_set(&options, "fpsprobesize", "0", 0);
  const int opened = avformat_open_input(&format, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return;
  format->flags &= ~AVFMT_FLAG_NOBUFFER;  // as the service: keep the packets read while probing
  const int found = avformat_find_stream_info(format, nullptr);
  format->flags |= AVFMT_FLAG_NOBUFFER;
  const int index = found < 0 ? -1 : av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodec* decoder = index < 0 ? nullptr : avcodec_find_decoder(format->streams[index]->codecpar->codec_id);
  AVCodecContext* codec = decoder == nullptr ? nullptr : avcodec_alloc_context3(decoder);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool ok = codec != nullptr && packet != nullptr && frame != nullptr &&
            avcodec_parameters_to_context(codec, format->streams[index]->codecpar) >= 0;
  if (ok) {
    codec->thread_count = 1;
    codec->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ok = avcodec_open2(codec, decoder, nullptr) >= 0;
  }
  while (ok && g_running.load() && av_read_frame(format, packet) >= 0) {
    const bool wanted = packet->stream_index == index && (!keyframes_only || (packet->flags & AV_PKT_FLAG_KEY) != 0);
    if (wanted && avcodec_send_packet(codec, packet) >= 0) {
      ok = receive_all(codec, frame, frames);
      if (ok && keyframes_only) {
        if (avcodec_send_packet(codec, nullptr) >= 0) ok = receive_all(codec, frame, frames);
        avcodec_flush_buffers(codec);
      }
    }
    av_packet_unref(packet);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&codec);
  avformat_close_input(&format);
}

void write_progress(const std::string& path, const std::vector<std::unique_ptr<std::atomic<unsigned long>>>& frames) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "{\"frames\": [";
    for (std::size_t i = 0; i < frames.size(); ++i) out << (i > 0 ? ", " : "") << frames[i]->load();
    out << "]}\n";
  }
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  bool keyframes_only = false;
  std::string progress;
  std::vector<std::string> urls;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mode" && i + 1 < argc) {
      const std::string mode = argv[++i];
      keyframes_only = mode != "all";
    } else if (arg == "--progress" && i + 1 < argc) {
      progress = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: decode_floor [--mode keyframe|all] [--progress FILE] URL...\n");
      return 2;
    } else {
      urls.push_back(arg);
    }
  }
  if (urls.empty()) {
    std::fprintf(stderr, "decode_floor: no URL\n");
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = handle_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  av_log_set_level(AV_LOG_ERROR);
  avformat_network_init();

  std::vector<std::unique_ptr<std::atomic<unsigned long>>> frames;
  for (std::size_t i = 0; i < urls.size(); ++i) frames.push_back(std::make_unique<std::atomic<unsigned long>>(0));
  std::printf("{\"idle_rss_kib\": %ld}\n", rss_kib());
  std::fflush(stdout);

  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    threads.emplace_back([&, i] {
      while (g_running.load()) {
        decode_once(urls[i], keyframes_only, *frames[i]);
        for (int slept = 0; slept < 10 && g_running.load(); ++slept) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
    });
  }
  while (g_running.load()) {
    if (!progress.empty()) write_progress(progress, frames);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  for (auto& thread : threads) thread.join();
  if (!progress.empty()) write_progress(progress, frames);
  avformat_network_deinit();
  return 0;
}
