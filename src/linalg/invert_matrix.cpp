#include "linalg/invert_matrix.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <utility>

#include "linalg/row_steps.h"

namespace korvan {

[[noreturn]] void ThrowSingular(int step, const float* colRecFrom, const float* colRecTo) {
  SingularEquations singular;
  singular.step = step;
  for (const float* c = colRecFrom; c != colRecTo; ++c) singular.unpivotedColumns.push_back(static_cast<int>(*c));
  std::sort(singular.unpivotedColumns.begin(), singular.unpivotedColumns.end());
  throw singular;
}

// Where the undo sweep of an interchange record moves things: for i = 1..n,
// the position k >= i that holds i is exchanged with i. Applying the returned
// pairs in order replays the sweep.
std::vector<std::pair<int, int>> UndoExchanges(std::vector<float> record, int n) {
  std::vector<int> position(static_cast<std::size_t>(n) + 1);
  for (int k = 1; k <= n; ++k) position[static_cast<std::size_t>(record[k])] = k;
  std::vector<std::pair<int, int>> exchanges;
  for (int i = 1; i <= n; ++i) {
    const int k = position[static_cast<std::size_t>(i)];
    assert(k >= i);
    if (k > i) {
      exchanges.emplace_back(i, k);
      record[static_cast<std::size_t>(k)] = record[static_cast<std::size_t>(i)];
      position[static_cast<std::size_t>(record[static_cast<std::size_t>(k)])] = k;
    }
  }
  return exchanges;
}

void InvertMatrix(Table2<float>& invMat, int n, std::vector<float>& rowSwapRec,
                  std::vector<float>& colSwapRec) {
  assert(n <= invMat.LastRow() && n + 1 <= invMat.LastCol());
  assert(static_cast<int>(rowSwapRec.size()) > n && static_cast<int>(colSwapRec.size()) > n);
  auto& a = invMat;
  for (int k = 1; k <= n; ++k) {
    rowSwapRec[k] = static_cast<float>(k);
    colSwapRec[k] = static_cast<float>(k);
  }
  for (int i = 1; i <= n; ++i) {
    // Column by column, strictly larger only: of equal magnitudes the first
    // met wins, the diagonal element first.
    float piv = a(i, i);
    int pr = i, pc = i;
    for (int c = i; c <= n; ++c)
      for (int r = i; r <= n; ++r)
        if (std::fabs(piv) < std::fabs(a(r, c))) {
          piv = a(r, c);
          pr = r;
          pc = c;
        }
    if (pr != i || pc != i) {
      if (pr != i) std::swap_ranges(a.Row(i) + 1, a.Row(i) + n + 2, a.Row(pr) + 1);
      std::swap(rowSwapRec[i], rowSwapRec[pr]);
      for (int r = 1; r <= n; ++r) std::swap(a(r, i), a(r, pc));
      std::swap(colSwapRec[i], colSwapRec[pc]);
    }
    a(i, i) = 1.0f;
    if (PivotTooSmall(piv)) ThrowSingular(i, colSwapRec.data() + i, colSwapRec.data() + n + 1);
    float* pivotRow = a.Row(i);
    for (int c = 1; c <= n + 1; ++c) pivotRow[c] = pivotRow[c] / piv;
    const float* const pivotRows[1] = {pivotRow};
    for (int k = 1; k <= n; ++k) {
      if (k == i) continue;
      float* row = a.Row(k);
      const float t = row[i];
      row[i] = 0.0f;
      UpdateRow(row, 1, n + 1, &t, pivotRows, 1);
    }
  }
  // The row interchanges permuted the columns of the inverse, the column
  // interchanges its rows and the solution.
  for (const auto& [i, k] : UndoExchanges(rowSwapRec, n)) {
    for (int r = 1; r <= n; ++r) std::swap(a(r, i), a(r, k));
    rowSwapRec[k] = rowSwapRec[i];
  }
  for (const auto& [i, k] : UndoExchanges(colSwapRec, n)) {
    std::swap_ranges(a.Row(i) + 1, a.Row(i) + n + 2, a.Row(k) + 1);
    colSwapRec[k] = colSwapRec[i];
  }
}

}  // namespace korvan
