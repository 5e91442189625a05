#pragma once

#include <cstddef>

namespace korvan {

// The main thread's stack grows as it is first used, and under a limit on
// the address space (ulimit -v) growing it can fail late in a run, which
// ends the program by a segmentation fault, without a word and with its
// temporary files left. Touched at the start, while memory is there, that
// much of it stays the program's: a run that needs less never grows it.
// A quarter of the usual 8 MiB limit, far more than any stage uses.
// Windows fixes a program's stack when it is linked (1 MiB by default, less
// than this reserve) and has no such limit to guard against.
[[gnu::noinline]] inline void ReserveMainStack(std::size_t bytes = std::size_t{2} << 20) {
#ifdef _WIN32
  (void)bytes;
#else
  volatile unsigned char reserved[std::size_t{2} << 20];
  const std::size_t used = bytes < sizeof reserved ? bytes : sizeof reserved;
  for (std::size_t at = 0; at < used; at += 4096) reserved[at] = 0;
#endif
}

}  // namespace korvan
