#include "foundation/video_frame.h"

#include <sys/mman.h>

#include <utility>

namespace velmo::ai {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Whole huge pages where the kernel offers them: a 6 MB picture then costs three page faults, not
// fifteen hundred. The part that does not fill a huge page stays in small pages, so a 1080p block
// holds its 6.2 MB, not 8; those pages are filled in one call rather than faulted in one by one
// (5 ms a 1080p block under a virtual machine's page faults, 1.4 ms filled at once). The block is
// written whole right after, so nothing is filled for nothing.
void* map_block(std::size_t bytes) {
  const std::size_t size = mapped_size(bytes);
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  const std::size_t whole = bytes / kHugePage * kHugePage;
  if (whole > 0) (void)::madvise(block, whole, MADV_HUGEPAGE);
  if (whole < size) (void)::madvise(static_cast<char*>(block) + whole, size - whole, MADV_NOHUGEPAGE);
  // Kernels before 5.14 refuse it; the pages are then faulted in as they are written.
  (void)::madvise(block, bytes, MADV_POPULATE_WRITE);
  return block;
}

void unmap_block(void* block, std::size_t bytes) noexcept { ::munmap(block, mapped_size(bytes)); }

}  // namespace

FramePool::FramePool(std::int64_t keep_ms, std::size_t max_free_bytes, std::shared_ptr<const Clock> clock)
    : keep_ms_(keep_ms), max_free_bytes_(max_free_bytes), clock_(clock_or_system(std::move(clock))) {}

FramePool::~FramePool() {
  for (SizeClass& c : classes_) {
    for (const FreeBlock& f : c.free) unmap_block(f.block, c.bytes);
  }
}

const std::shared_ptr<FramePool>& FramePool::process_pool() {
  // Streams sample one to three pictures a second, or take each key frame a second or two apart:
  // a block in that rhythm stays warm, one wanted only by a rare burst goes.
  constexpr std::int64_t kKeepMs = 2500;
  constexpr std::size_t kMaxFreeBytes = std::size_t{256} << 20;
  static const std::shared_ptr<FramePool> pool = std::make_shared<FramePool>(kKeepMs, kMaxFreeBytes);
  return pool;
}

std::int64_t FramePool::now() const { return clock_->steady_ms(); }

FramePool::SizeClass& FramePool::size_class(std::size_t bytes) {
  for (SizeClass& c : classes_) {
    if (c.bytes == bytes) return c;
  }
  SizeClass& c = classes_.emplace_back();
  c.bytes = bytes;
  return c;
}

void FramePool::expire(std::int64_t now) {
  for (SizeClass& c : classes_) {
    std::size_t stale = 0;
    while (stale < c.free.size() && now - c.free[stale].returned_ms > keep_ms_) {
      unmap_block(c.free[stale].block, c.bytes);
      free_bytes_ -= c.bytes;
      ++stale;
    }
    c.free.erase(c.free.begin(), c.free.begin() + static_cast<std::ptrdiff_t>(stale));
  }
  std::erase_if(classes_, [](const SizeClass& c) { return c.in_use == 0 && c.free.empty(); });
}

void* FramePool::take(std::size_t bytes) {
  void* block = nullptr;
  {
    std::lock_guard lock(mutex_);
    expire(now());
    SizeClass& c = size_class(bytes);
    ++c.in_use;
    if (!c.free.empty()) {
      block = c.free.back().block;  // the warmest
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
    const std::int64_t t = now();
    expire(t);
    SizeClass& c = size_class(bytes);
    if (c.in_use > 0) --c.in_use;
    if (free_bytes_ + bytes <= max_free_bytes_) {
      try {
        c.free.push_back(FreeBlock{block, t});
        free_bytes_ += bytes;
        kept = true;
      } catch (const std::bad_alloc&) {
        // Not kept, then: it goes back to the system below.
      }
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
