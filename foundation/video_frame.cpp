#include "foundation/video_frame.h"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace velmo::ai {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Whole huge pages where the kernel offers them: a 6 MB picture then costs three page faults, not
// fifteen hundred. The part that does not fill a huge page stays in small pages, so a 1080p block
// holds its 6.2 MB, not 8.
void* map_block(std::size_t bytes) {
  const std::size_t size = mapped_size(bytes);
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  const std::size_t whole = bytes / kHugePage * kHugePage;
  if (whole > 0) (void)::madvise(block, whole, MADV_HUGEPAGE);
  if (whole < size) (void)::madvise(static_cast<char*>(block) + whole, size - whole, MADV_NOHUGEPAGE);
  return block;
}

void unmap_block(void* block, std::size_t bytes) noexcept { ::munmap(block, mapped_size(bytes)); }

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

FramePool::FramePool(std::int64_t window_ms, std::size_t max_free_bytes, Clock clock)
    : window_ms_(window_ms), max_free_bytes_(max_free_bytes), clock_(std::move(clock)) {
  window_start_ms_ = now();
}

FramePool::~FramePool() {
  for (SizeClass& c : classes_) {
    for (void* block : c.free) unmap_block(block, c.bytes);
  }
}

const std::shared_ptr<FramePool>& FramePool::process_pool() {
  // Pictures overlap for milliseconds at a time; a peak is remembered long enough to outlast the
  // longest usual gap between a stream's pictures (key frames a few seconds apart).
  constexpr std::int64_t kWindowMs = 10000;
  constexpr std::size_t kMaxFreeBytes = std::size_t{256} << 20;
  static const std::shared_ptr<FramePool> pool = std::make_shared<FramePool>(kWindowMs, kMaxFreeBytes);
  return pool;
}

std::int64_t FramePool::now() const { return clock_ ? clock_() : now_ms(); }

FramePool::SizeClass& FramePool::size_class(std::size_t bytes) {
  for (SizeClass& c : classes_) {
    if (c.bytes == bytes) return c;
  }
  SizeClass& c = classes_.emplace_back();
  c.bytes = bytes;
  return c;
}

void FramePool::roll(std::int64_t now) {
  if (now - window_start_ms_ < window_ms_) return;
  // A whole window without a take or a give held its level throughout.
  const bool quiet = now - window_start_ms_ >= 2 * window_ms_;
  window_start_ms_ = now;
  for (SizeClass& c : classes_) {
    c.previous_peak = quiet ? c.in_use : c.peak;
    c.peak = c.in_use;
    const std::size_t wanted = std::max(c.peak, c.previous_peak) - c.in_use;
    while (c.free.size() > wanted) {
      unmap_block(c.free.back(), c.bytes);  // once a window at most
      free_bytes_ -= c.bytes;
      c.free.pop_back();
    }
  }
  std::erase_if(classes_, [](const SizeClass& c) { return c.in_use == 0 && c.free.empty() && c.previous_peak == 0; });
}

void* FramePool::take(std::size_t bytes) {
  void* block = nullptr;
  {
    std::lock_guard lock(mutex_);
    roll(now());
    SizeClass& c = size_class(bytes);
    ++c.in_use;
    c.peak = std::max(c.peak, c.in_use);
    if (!c.free.empty()) {
      block = c.free.back();
      c.free.pop_back();
      free_bytes_ -= bytes;
    }
  }
  if (block != nullptr) return block;
  try {
    return map_block(bytes);
  } catch (...) {
    std::lock_guard lock(mutex_);
    --size_class(bytes).in_use;
    throw;
  }
}

void FramePool::give(void* block, std::size_t bytes) noexcept {
  bool kept = false;
  {
    std::lock_guard lock(mutex_);
    roll(now());
    SizeClass& c = size_class(bytes);
    if (c.in_use > 0) --c.in_use;
    // Kept while the blocks of this size, free and in use, are fewer than were in use at once.
    if (c.free.size() + c.in_use < std::max(c.peak, c.previous_peak) && free_bytes_ + bytes <= max_free_bytes_) {
      c.free.push_back(block);
      free_bytes_ += bytes;
      kept = true;
    }
  }
  if (!kept) unmap_block(block, bytes);
}

std::size_t FramePool::free_blocks() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const SizeClass& c : classes_) n += c.free.size();
  return n;
}

std::size_t FramePool::blocks_in_use() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const SizeClass& c : classes_) n += c.in_use;
  return n;
}

}  // namespace velmo::ai
