#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/clock.h"

namespace velmo::ai {

// Pixel blocks shared by every stream of the process. A picture is several megabytes, and the
// kernel clears a fresh mapping page by page, which costs more than converting into it; yet a block
// kept per stream between its pictures (one to three a second, usually) is memory held for nothing
// nearly all the time. So a block comes back here when its frame ends, on whatever thread, and is
// handed out again while it keeps being wanted: the most recently returned block goes out first,
// and a free block that nobody took for `keep_ms` goes back to the system. What stays warm is as
// many blocks as the conversions, queued frames and analyses in flight at once need, however many
// streams there are.
class FramePool {
 public:
  // keep_ms: how long a free block waits to be taken again (on the clock's steady time);
  // max_free_bytes: the most kept free. An empty clock is the system clock.
  FramePool(std::int64_t keep_ms, std::size_t max_free_bytes, std::shared_ptr<const Clock> clock = {});
  ~FramePool();
  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  // The pool of the decoders' pictures.
  static const std::shared_ptr<FramePool>& process_pool();

  void* take(std::size_t bytes);
  void give(void* block, std::size_t bytes) noexcept;
  std::size_t free_blocks() const;
  std::size_t blocks_in_use() const;

 private:
  struct FreeBlock {
    void* block = nullptr;
    std::int64_t returned_ms = 0;
  };
  // Blocks of one size: pictures of another size cannot use them.
  struct SizeClass {
    std::size_t bytes = 0;
    std::vector<FreeBlock> free;  // oldest first
    std::size_t in_use = 0;
  };
  std::int64_t now() const;
  SizeClass& size_class(std::size_t bytes);
  // Lets go of the free blocks that waited longer than keep_ms.
  void expire(std::int64_t now);

  mutable std::mutex mutex_;
  const std::int64_t keep_ms_;
  const std::size_t max_free_bytes_;
  const std::shared_ptr<const Clock> clock_;
  std::size_t free_bytes_ = 0;
  std::vector<SizeClass> classes_;
};

// Allocator of pixel buffers: from a pool when it has one, else from the heap. Growing a
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

// Something worked out from a frame's pixels as they were produced, attached to the frame for the
// consumer that asked for it, which alone knows the concrete type. Immutable once attached, so a
// frame may cross threads with it.
class FrameSummary {
 public:
  virtual ~FrameSummary() = default;
};

// One decoded picture: packed 8-bit BGR, row stride width * 3. Moved, never copied, from the
// decoder to the engine.
struct VideoFrame {
  std::uint64_t sequence = 0;  // first frame of a stream is 1
  std::int32_t width = 0;
  std::int32_t height = 0;
  PixelBuffer pixels;
  std::int64_t pts_ms = 0;   // presentation time, or wall-clock time when the stream has none
  std::int64_t wall_ms = 0;  // wall-clock time at delivery
  // What the producer's band observer worked out from `pixels` while it wrote them; empty when
  // none did. Whoever changes `pixels` clears it.
  std::shared_ptr<const FrameSummary> summary;
};

}  // namespace velmo::ai
