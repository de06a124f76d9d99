#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace velmo::ai {

// Recycles the pixel blocks of one stream's frames: a picture is several megabytes, so while a
// stream converts pictures in quick succession, taking a block back from a finished frame beats a
// fresh allocation (and its page faults) per picture. Blocks are mapped from the system directly,
// so one that is not kept goes back to it at once: a stream that converts a picture only now and
// then (the usual 1 to 3 a second) holds no pixel memory in between. Keeps at most `max_free`
// blocks of the current size, and only while takes come less than `keep_within_ms` apart; a new
// size lets the old blocks go. Shared by the frames that came from it, on whatever thread they end.
class FramePool {
 public:
  FramePool(std::size_t max_free, std::int64_t keep_within_ms) : max_free_(max_free), keep_within_ms_(keep_within_ms) {}
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  void* take(std::size_t bytes);
  void give(void* block, std::size_t bytes) noexcept;
  std::size_t free_blocks() const;

 private:
  mutable std::mutex mutex_;
  std::size_t max_free_;
  std::int64_t keep_within_ms_;
  std::size_t block_bytes_ = 0;
  std::vector<void*> free_;
  std::int64_t last_take_ms_ = 0;
  bool busy_ = false;  // the last two takes came within keep_within_ms
};

// Allocator of pixel buffers: from a stream's pool when it has one, else from the heap. Growing a
// buffer leaves the new bytes uninitialised (they are about to be overwritten by a conversion or a
// read); `assign` fills as usual.
template <class T>
class PixelAllocator {
 public:
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;
  using is_always_equal = std::false_type;

  PixelAllocator() noexcept = default;
  explicit PixelAllocator(std::shared_ptr<FramePool> pool) noexcept : pool_(std::move(pool)) {}
  template <class U>
  PixelAllocator(const PixelAllocator<U>& other) noexcept : pool_(other.pool()) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    return static_cast<T*>(pool_ ? pool_->take(bytes) : ::operator new(bytes));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (pool_) {
      pool_->give(p, n * sizeof(T));
    } else {
      ::operator delete(p);
    }
  }
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;  // default-, not value-initialised: no zero-fill
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  const std::shared_ptr<FramePool>& pool() const noexcept { return pool_; }
  friend bool operator==(const PixelAllocator& a, const PixelAllocator& b) noexcept { return a.pool_ == b.pool_; }

 private:
  std::shared_ptr<FramePool> pool_;
};

using PixelBuffer = std::vector<std::uint8_t, PixelAllocator<std::uint8_t>>;

// One decoded picture: packed 8-bit BGR, row stride width * 3. Moved, never copied, from the
// decoder to the engine.
struct VideoFrame {
  std::uint64_t sequence = 0;  // first frame of a stream is 1
  std::int32_t width = 0;
  std::int32_t height = 0;
  PixelBuffer pixels;
  std::int64_t pts_ms = 0;   // presentation time, or wall-clock time when the stream has none
  std::int64_t wall_ms = 0;  // wall-clock time at delivery
  // The same picture averaged down to the scene detector's analysis size (packed BGR), when the
  // decoder made it alongside the conversion; empty otherwise. Whoever changes `pixels` clears it.
  std::vector<std::uint8_t> reduced;
};

}  // namespace velmo::ai
