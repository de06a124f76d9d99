#include "foundation/video_frame.h"

namespace velmo::ai {

FramePool::~FramePool() {
  for (void* block : free_) ::operator delete(block);
}

void* FramePool::take(std::size_t bytes) {
  {
    std::lock_guard lock(mutex_);
    if (bytes == block_bytes_ && !free_.empty()) {
      void* block = free_.back();
      free_.pop_back();
      return block;
    }
    if (bytes != block_bytes_) {
      // The picture size changed (or this is the first): blocks of the old size are of no use.
      for (void* block : free_) ::operator delete(block);
      free_.clear();
      block_bytes_ = bytes;
    }
  }
  return ::operator new(bytes);
}

void FramePool::give(void* block, std::size_t bytes) noexcept {
  {
    std::lock_guard lock(mutex_);
    if (bytes == block_bytes_ && free_.size() < max_free_) {
      free_.push_back(block);
      return;
    }
  }
  ::operator delete(block);
}

std::size_t FramePool::free_blocks() const {
  std::lock_guard lock(mutex_);
  return free_.size();
}

}  // namespace velmo::ai
