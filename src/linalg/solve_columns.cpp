#include "linalg/invert_matrix.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "base/parallel.h"
#include "base/vector_clones.h"
#include "linalg/row_steps.h"

namespace korvan {

KORVAN_VECTOR_CLONES void ApplyToColumns(const Elimination& e, Table2<float>& rhs, int c0, int c1) {
  const int n = e.n;
  for (int i = 1; i <= n; ++i) {
    if (e.pivotRow[i] != i) std::swap_ranges(rhs.Row(i) + c0, rhs.Row(i) + c1 + 1, rhs.Row(e.pivotRow[i]) + c0);
    const float piv = e.pivot[i];
    float* pivotRow = rhs.Row(i);
    for (int c = c0; c <= c1; ++c) pivotRow[c] = pivotRow[c] / piv;
    const float* steps = &e.multipliers[static_cast<std::size_t>(i) * (static_cast<std::size_t>(n) + 1)];
    const float* const pivotRows[1] = {pivotRow};
    for (int k = 1; k <= n; ++k)
      if (k != i) UpdateRow(rhs.Row(k), c0, c1, &steps[k], pivotRows, 1);
  }
  for (const auto& [i, k] : e.rowExchangesAfter)
    std::swap_ranges(rhs.Row(i) + c0, rhs.Row(i) + c1 + 1, rhs.Row(k) + c0);
}


void SolveColumns(const Table2<float>& a, int n, Table2<float>& rhs, int m) {
  assert(n <= a.LastRow() && n <= a.LastCol() && n <= rhs.LastRow() && m <= rhs.LastCol());
  if (n == 0 || m == 0) return;
  SolveColumns(EliminateMatrix(a, n), rhs, m);
}

void SolveColumns(const Elimination& e, Table2<float>& rhs, int m) {
  const int n = e.n;
  assert(n <= rhs.LastRow() && m <= rhs.LastCol());
  if (n == 0 || m == 0) return;
  const int bands = (m + kBandColumns - 1) / kBandColumns;
  auto carryBand = [&](int band) {
    const int c0 = 1 + band * kBandColumns;
    ApplyToColumns(e, rhs, c0, std::min(m, c0 + kBandColumns - 1));
  };
  ForEachChunk(bands, static_cast<double>(n) * n * m, carryBand);
}

}  // namespace korvan
