#pragma once

#include <cstddef>

namespace korvan {

// Memory held back for the moment it runs out. When an allocation fails,
// the reserve is given back before the failure is thrown, so that the
// unwinding that follows has memory of its own: some destructors allocate
// (a JSON document's, for one), and one that cannot while an exception
// passes ends the program without a word, its temporary files left behind.
// The allocator's failure hook is one for the whole process, so one program
// makes one reserve, before its run, for as long as it runs.
class MemoryReserve {
 public:
  explicit MemoryReserve(std::size_t bytes = std::size_t{8} << 20);
  ~MemoryReserve();
  MemoryReserve(const MemoryReserve&) = delete;
  MemoryReserve& operator=(const MemoryReserve&) = delete;
};

}  // namespace korvan
