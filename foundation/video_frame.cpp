#include "foundation/video_frame.h"

#include <sys/mman.h>

#include <chrono>

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

FramePool::~FramePool() {
  for (void* block : free_) unmap_block(block, block_bytes_);
}

void* FramePool::take(std::size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    const std::int64_t now = now_ms();
    busy_ = last_take_ms_ != 0 && now - last_take_ms_ < keep_within_ms_;
    last_take_ms_ = now;
    if (bytes == block_bytes_ && !free_.empty()) {
      void* block = free_.back();
      free_.pop_back();
      return block;
    }
    if (bytes != block_bytes_) {
      // The picture size changed (or this is the first): blocks of the old size are of no use.
      for (void* block : free_) unmap_block(block, block_bytes_);
      free_.clear();
      block_bytes_ = bytes;
    }
  }
  return map_block(bytes);
}

void FramePool::give(void* block, std::size_t bytes) noexcept {
  {
    std::lock_guard lock(mutex_);
    if (bytes == block_bytes_ && busy_ && free_.size() < max_free_) {
      free_.push_back(block);
      return;
    }
  }
  unmap_block(block, bytes);
}

std::size_t FramePool::free_blocks() const {
  std::lock_guard lock(mutex_);
  return free_.size();
}

}  // namespace velmo::ai
