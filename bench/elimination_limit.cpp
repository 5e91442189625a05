// elimination_limit: what one complete-pivot elimination of order n costs on
// this machine, against the memory traffic of the one-step-a-pass method it
// replaces. Each step of that method reads and writes every remaining element
// of the n x (n + 1 - i) working matrix once (n^3 / 2 elements in all), so
// the time of one such pass, summed over the steps, is the least it could
// cost once the matrix no longer fits the processor's caches.
//
//   elimination_limit [n ...]      (default: 621 4000 4041 6061)
//
// The matrix is the shape of the absorbed block equations: a dense positive
// definite matrix with a dominant diagonal (some hundred records a block)
// and small off-diagonal elements, so that the certain steps of a pass hold.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/tables.h"
#include "linalg/invert_matrix.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The one-step pass: every row of the remaining matrix less a multiple of a
// pivot row. Returns the seconds of a whole elimination's passes, from
// `samples` steps spread over it.
double OneStepPasses(int n, int samples) {
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  std::vector<float> w(stride * stride, 1.0f), pivotRow(stride, 0.5f);
  double seconds = 0, elements = 0;
  for (int s = 0; s < samples; ++s) {
    const int i = 1 + s * (n / samples);
    const Clock::time_point start = Clock::now();
    for (int k = 1; k <= n; ++k) {
      float* row = &w[static_cast<std::size_t>(k) * stride];
      const float t = row[i] * 1e-6f;
      for (int c = i + 1; c <= n; ++c) row[c] = row[c] - t * pivotRow[c];
    }
    seconds += SecondsSince(start);
    elements += static_cast<double>(n) * (n - i);
  }
  const double all = static_cast<double>(n) * n * n / 2;
  return seconds * all / elements;
}

korvan::Table2<float> BlockEquations(int n) {
  korvan::Table2<float> a(n, n);
  std::uint32_t state = 12345;
  auto next = [&state] { return (state = state * 1664525u + 1013904223u) >> 8; };
  for (int i = 1; i <= n; ++i)
    for (int j = i; j <= n; ++j) {
      const float x = i == j ? 350.0f + static_cast<float>(next() % 50) : 1.0f - static_cast<float>(next() % 256) / 1024.0f;
      a(i, j) = x;
      a(j, i) = x;
    }
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> orders;
  for (int k = 1; k < argc; ++k) orders.push_back(std::atoi(argv[k]));
  if (orders.empty()) orders = {621, 4000, 4041, 6061};
  std::printf("%6s %12s %12s %12s %12s %10s\n", "n", "bound s", "eliminate s", "ratio", "inverse s", "solve 3 s");
  for (const int n : orders) {
    const korvan::Table2<float> a = BlockEquations(n);
    const double bound = OneStepPasses(n, std::min(n, 64));
    Clock::time_point start = Clock::now();
    const korvan::Elimination e = korvan::EliminateMatrix(a, n);
    const double eliminate = SecondsSince(start);
    start = Clock::now();
    const korvan::Table2<float> inverse = korvan::InvertByElimination(e);
    const double invert = SecondsSince(start);
    korvan::Table2<float> rhs(n, 3);
    for (int i = 1; i <= n; ++i) rhs(i, 1) = rhs(i, 2) = rhs(i, 3) = static_cast<float>(i % 7);
    start = Clock::now();
    korvan::SolveColumns(e, rhs, 3);
    const double solve = SecondsSince(start);
    std::printf("%6d %12.3f %12.3f %12.2f %12.3f %10.3f\n", n, bound, eliminate, eliminate / bound, invert, solve);
    if (!(inverse(1, 1) > 0.0f)) return 1;  // keeps the inverse from being optimised away
  }
  return 0;
}
