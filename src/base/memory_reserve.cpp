#include "base/memory_reserve.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace korvan {

namespace {

// The hook is a plain function the allocator calls, so the block it gives
// back is the one piece of state shared by the whole process.
std::atomic<void*> reserved{nullptr};

void GiveBackAndFail() {
  if (void* block = reserved.exchange(nullptr)) std::free(block);
  throw std::bad_alloc();
}

}  // namespace

MemoryReserve::MemoryReserve(std::size_t bytes) {
  void* block = std::malloc(bytes);
  if (block == nullptr) return;
  // Touched, so that the pages are the program's before memory is short.
  std::memset(block, 0, bytes);
  reserved.store(block);
  std::set_new_handler(GiveBackAndFail);
}

MemoryReserve::~MemoryReserve() {
  std::set_new_handler(nullptr);
  std::free(reserved.exchange(nullptr));
}

}  // namespace korvan
