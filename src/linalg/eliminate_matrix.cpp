#include "linalg/invert_matrix.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "base/parallel.h"
#include "base/vector_clones.h"
#include "linalg/row_steps.h"

namespace korvan {

namespace {

// Square working copy with rows and columns from 1, like the tables.
class Square : public AlignedRows {
 public:
  explicit Square(int n) : AlignedRows(n, n) {}
};

// A float's magnitude as an integer that orders as the magnitudes do, so
// that the search vectorizes; NaN counts as 0, so that it never wins.
inline std::int32_t MagnitudeBits(float x) {
  const std::int32_t m = std::bit_cast<std::int32_t>(x) & 0x7fffffff;
  return m > 0x7f800000 ? 0 : m;
}

// Sixteen running maxima side by side keep the vector units busy instead of
// waiting on one chain of comparisons.
KORVAN_VECTOR_CLONES std::int32_t LargestMagnitude(const float* row, int from, int to) {
  constexpr int kLanes = 16;
  std::int32_t lane[kLanes] = {};
  int c = from;
  for (; c + kLanes - 1 <= to; c += kLanes)
    for (int l = 0; l < kLanes; ++l) lane[l] = std::max(lane[l], MagnitudeBits(row[c + l]));
  std::int32_t largest = 0;
  for (; c <= to; ++c) largest = std::max(largest, MagnitudeBits(row[c]));
  for (int l = 0; l < kLanes; ++l) largest = std::max(largest, lane[l]);
  return largest;
}

// The first element of largest magnitude in the order columns i..n, rows
// i..n within each column, as the strict comparison of InvertMatrix finds
// it: the same element however the submatrix is scanned. `rowLargest` holds
// each remaining row's largest magnitude over columns i..n, so only the
// rows that hold the largest one are scanned. NaN never wins, except a NaN
// on the diagonal, which the strict comparison can never replace.
std::pair<int, int> FindPivot(const Square& w, const std::vector<std::int32_t>& rowLargest, int n, int i) {
  const float diagonal = w.Row(i)[i];
  if (std::isnan(diagonal)) return {i, i};
  std::int32_t largest = 0;
  for (int r = i; r <= n; ++r) largest = std::max(largest, rowLargest[r]);
  if (MagnitudeBits(diagonal) >= largest) return {i, i};
  int bestRow = 0, bestCol = n + 1;
  for (int r = i; r <= n; ++r) {
    if (rowLargest[r] != largest) continue;
    const float* row = w.Row(r);
    for (int c = i; c < bestCol; ++c)
      if (MagnitudeBits(row[c]) == largest) {
        bestRow = r;
        bestCol = c;
        break;
      }
  }
  return {bestRow, bestCol};
}

// Pivots by which the row interchanges and column interchanges are the same
// keep the diagonal as the diagonal, so the pass can follow it.
struct FusedSteps {
  explicit FusedSteps(int n) : pivotRows(kFusedSteps - 1, n) {}
  int first = 0, last = 0;
  AlignedRows pivotRows;          // step first + j divided by its pivot: row j, columns first + j + 1 .. n
  std::vector<float> rowSteps;    // multiplier of step first + j of unpivoted row k at k * kFusedSteps + j
  bool zerosStay = true;          // no pivot row holds -0, an infinity or NaN
  std::vector<int> nonzeroColumns;  // one step only, few non-zero columns: those of the pivot row
  float* PivotRow(int j) { return pivotRows.Row(j); }
  const float* PivotRow(int j) const { return pivotRows.Row(j); }
};

inline bool IsNegativeZero(float x) { return std::bit_cast<std::uint32_t>(x) == 0x80000000u; }

// An off-diagonal element after a step is x - t * p, rounded twice; the
// factor covers both roundings of single precision with room to spare.
inline double BoundAfterStep(double bound, float t, double largestPivotRow) {
  return (bound + std::fabs(static_cast<double>(t)) * largestPivotRow) * (1.0 + 1.0 / (1 << 20));
}

inline double MagnitudeOf(std::int32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

// The state of one elimination in progress.
struct Working {
  int n = 0;
  Square w;
  std::vector<std::int32_t> rowLargest;  // each unpivoted row's largest magnitude over the unpivoted columns
  std::vector<double> offBound;          // no larger than any of them off the diagonal (an upper bound)
  std::vector<float> colRec;
  // The matrix holds no -0. Then subtracting a zero product (t or p zero, both
  // finite) from any element changes no bit: x - (+-0) is x for x != 0, and
  // +0 - (+-0) is +0. Only -0 - (-0) would change, to +0. Elimination itself
  // never makes a -0 (x - y is -0 only for x = -0); only a pivot row divided
  // by a negative pivot, or an underflow, brings one in.
  bool noNegativeZero = true;
  std::vector<float> diagonal;  // the diagonal as the steps of the pass so far leave it
  std::vector<float> scratch;   // a pivot row as the steps before it leave it
  explicit Working(int order)
      : n(order), w(order), rowLargest(static_cast<std::size_t>(order) + 1, 0),
        offBound(static_cast<std::size_t>(order) + 1, 0.0), colRec(static_cast<std::size_t>(order) + 1),
        diagonal(static_cast<std::size_t>(order) + 1), scratch(static_cast<std::size_t>(order) + 1) {}

  void SwapRows(int i, int r, int fromColumn, FusedSteps& steps) {
    if (r == i) return;
    std::swap_ranges(w.Row(i) + fromColumn, w.Row(i) + n + 1, w.Row(r) + fromColumn);
    std::swap(rowLargest[i], rowLargest[r]);
    std::swap(offBound[i], offBound[r]);
    std::swap_ranges(&steps.rowSteps[static_cast<std::size_t>(i) * kFusedSteps],
                     &steps.rowSteps[static_cast<std::size_t>(i + 1) * kFusedSteps],
                     &steps.rowSteps[static_cast<std::size_t>(r) * kFusedSteps]);
  }
  void SwapColumns(int i, int c, int pivotRowsSoFar, FusedSteps& steps) {
    if (c == i) return;
    for (int r = 1; r <= n; ++r) std::swap(w.Row(r)[i], w.Row(r)[c]);
    for (int j = 0; j < pivotRowsSoFar; ++j) std::swap(steps.PivotRow(j)[i], steps.PivotRow(j)[c]);
    std::swap(colRec[i], colRec[c]);
  }
};

std::int32_t OffDiagonalLargest(const float* row, int from, int to, int k) {
  if (k < from || k > to) return LargestMagnitude(row, from, to);
  return std::max(k > from ? LargestMagnitude(row, from, k - 1) : 0, k < to ? LargestMagnitude(row, k + 1, to) : 0);
}

// Divides the pivot row of step first + j into its place among the fused
// steps and notes whether it keeps zeros exact.
void StorePivotRow(const float* x, int s, float piv, int j, FusedSteps& steps, int n) {
  float* p = steps.PivotRow(j);
  bool clean = true;
  for (int c = s + 1; c <= n; ++c) {
    p[c] = x[c] / piv;
    clean = clean && std::isfinite(p[c]) && !IsNegativeZero(p[c]);
  }
  steps.zerosStay = steps.zerosStay && clean;
}

// The pivots of one pass, from step i on: the searched one, then as many
// certain ones as the pass may carry. Records every pivot and, for every
// row still unpivoted at a step, its multiplier there. Returns the last step.
int ChooseSteps(Working& wk, Elimination& e, int i, FusedSteps& steps) {
  const int n = wk.n;
  steps.first = i;
  steps.zerosStay = true;
  steps.nonzeroColumns.clear();
  const auto [pr, pc] = FindPivot(wk.w, wk.rowLargest, n, i);
  wk.SwapRows(i, pr, i, steps);
  wk.SwapColumns(i, pc, 0, steps);
  // A pivot off the diagonal puts a row's own diagonal element off its
  // diagonal; the row's largest magnitude bounds them all.
  if (pr != pc)
    for (const int r : {pr, pc}) wk.offBound[r] = std::max(wk.offBound[r], MagnitudeOf(wk.rowLargest[r]));
  const float piv = wk.w.Row(i)[i];
  if (PivotTooSmall(piv)) ThrowSingular(i, wk.colRec.data() + i, wk.colRec.data() + n + 1);
  e.pivot[i] = piv;
  e.pivotRow[i] = pr;
  StorePivotRow(wk.w.Row(i), i, piv, 0, steps, n);
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  int nonzeroSteps = 0;
  for (int r = i + 1; r <= n; ++r) {
    const float t = wk.w.Row(r)[i];
    steps.rowSteps[static_cast<std::size_t>(r) * kFusedSteps] = t;
    e.multipliers[static_cast<std::size_t>(i) * stride + r] = t;
    nonzeroSteps += t != 0.0f;
  }
  // A step that leaves most rows alone is a step of sparse equations: it
  // goes alone, over the columns where its pivot row is not zero.
  if (2 * nonzeroSteps < n - i) {
    const float* p = steps.PivotRow(0);
    for (int c = i + 1; c <= n; ++c)
      if (p[c] != 0.0f) steps.nonzeroColumns.push_back(c);
    if (4 * steps.nonzeroColumns.size() > static_cast<std::size_t>(n - i)) steps.nonzeroColumns.clear();
    return steps.last = i;
  }
  if (pr != pc) return steps.last = i;

  std::vector<float>& diagonal = wk.diagonal;
  auto afterStep = [&](int j, int s) {  // the diagonal and bounds of rows s + 1..n after step s = i + j
    const float* p = steps.PivotRow(j);
    // An infinity or NaN anywhere makes every later bound NaN, and a NaN
    // bound stops the pass.
    double largest = 0;
    for (int c = s + 1; c <= n; ++c) {
      const double a = std::fabs(static_cast<double>(p[c]));
      if (!(a <= largest)) largest = a;
    }
    for (int r = s + 1; r <= n; ++r) {
      const float t = steps.rowSteps[static_cast<std::size_t>(r) * kFusedSteps + j];
      diagonal[r] = diagonal[r] - t * p[r];
      wk.offBound[r] = BoundAfterStep(wk.offBound[r], t, largest);
    }
  };
  for (int r = i + 1; r <= n; ++r) diagonal[r] = wk.w.Row(r)[r];
  afterStep(0, i);
  int s = i + 1;
  for (; s <= n && s - i < kFusedSteps; ++s) {
    int c = s;
    double boundOff = 0;
    for (int r = s; r <= n; ++r) {
      if (std::fabs(diagonal[r]) > std::fabs(diagonal[c])) c = r;
      if (!(wk.offBound[r] <= boundOff)) boundOff = wk.offBound[r];
    }
    const float candidate = diagonal[c];
    if (!std::isfinite(candidate) || !(static_cast<double>(std::fabs(candidate)) > boundOff) ||
        PivotTooSmall(candidate))
      break;
    const int j = s - i;
    wk.SwapRows(s, c, i, steps);
    std::swap(diagonal[s], diagonal[c]);
    wk.SwapColumns(s, c, j, steps);
    e.pivot[s] = candidate;
    e.pivotRow[s] = c;
    // The pivot row as the steps before left it.
    float* x = wk.scratch.data();
    const float* ownSteps = &steps.rowSteps[static_cast<std::size_t>(s) * kFusedSteps];
    const float* row = wk.w.Row(s);
    for (int col = s + 1; col <= n; ++col) x[col] = row[col];
    const float* before[kFusedSteps];
    for (int q = 0; q < j; ++q) before[q] = steps.PivotRow(q);
    UpdateRow(x, s + 1, n, ownSteps, before, j);
    StorePivotRow(x, s, candidate, j, steps, n);
    int nonzero = 0;
    for (int r = s + 1; r <= n; ++r) {
      float* rs = &steps.rowSteps[static_cast<std::size_t>(r) * kFusedSteps];
      float t = wk.w.Row(r)[s];
      for (int q = 0; q < j; ++q) t = t - rs[q] * steps.PivotRow(q)[s];
      rs[j] = t;
      e.multipliers[static_cast<std::size_t>(s) * stride + r] = t;
      nonzero += t != 0.0f;
    }
    afterStep(j, s);
    if (2 * nonzero < n - s) {
      ++s;
      break;
    }
  }
  return steps.last = s - 1;
}

// Rows from..to through the steps of one pass: every element gets the steps
// in order, as one step at a time would give them. A zero multiplier or a
// zero of the pivot row is passed over while the matrix keeps zeros exact
// (Working::noNegativeZero). The unpivoted rows note their largest magnitude
// for the next search and the bound for the next certain steps.
KORVAN_VECTOR_CLONES void PassRows(Working& wk, Elimination& e, const FusedSteps& steps, bool zerosStay, int from,
                                   int to) {
  const int n = wk.n, i = steps.first, last = steps.last, count = last - i + 1;
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  const bool sparse = !steps.nonzeroColumns.empty();
  const float* everyRow[kFusedSteps];
  for (int j = 0; j < count; ++j) everyRow[j] = steps.PivotRow(j);
  auto noteLargest = [&](int k) {
    if (k <= last) return;
    const float* row = wk.w.Row(k);
    wk.rowLargest[k] = last < n ? LargestMagnitude(row, last + 1, n) : 0;
    wk.offBound[k] = last < n ? MagnitudeOf(OffDiagonalLargest(row, last + 1, n, k)) : 0.0;
  };
  int waiting = 0;  // a row that takes every step, waiting for a second one
  float waitingT[kFusedSteps];
  for (int k = from; k <= to; ++k) {
    float* row = wk.w.Row(k);
    float t[kFusedSteps] = {};
    int firstStep = 0;
    if (k < i || k > last) {
      const float* own = &steps.rowSteps[static_cast<std::size_t>(k) * kFusedSteps];
      for (int j = 0; j < count; ++j) {
        if (k > last) {
          t[j] = own[j];
          continue;
        }
        float x = row[i + j];
        for (int q = 0; q < j; ++q) x = x - t[q] * steps.PivotRow(q)[i + j];
        t[j] = x;
        e.multipliers[static_cast<std::size_t>(i + j) * stride + static_cast<std::size_t>(k)] = x;
      }
    } else {
      // The pivot row of step k, and a pivoted row for the steps after it.
      const float* own = steps.PivotRow(k - i);
      std::copy(own + k + 1, own + n + 1, row + k + 1);
      firstStep = k - i + 1;
      for (int j = firstStep; j < count; ++j) {
        float x = row[i + j];
        for (int q = firstStep; q < j; ++q) x = x - t[q] * steps.PivotRow(q)[i + j];
        t[j] = x;
        e.multipliers[static_cast<std::size_t>(i + j) * stride + static_cast<std::size_t>(k)] = x;
      }
    }
    bool allZero = true, finite = true;
    for (int j = firstStep; j < count; ++j) {
      allZero = allZero && t[j] == 0.0f;
      finite = finite && std::isfinite(t[j]);
    }
    if (zerosStay && allZero) continue;  // unchanged; its largest magnitude and bound still hold
    if (sparse && zerosStay && finite) {
      const float tj = t[0];
      const float* p = steps.PivotRow(0);
      std::int32_t before = 0, after = 0;
      for (const int c : steps.nonzeroColumns) {
        before = std::max(before, MagnitudeBits(row[c]));
        row[c] = row[c] - tj * p[c];
        after = std::max(after, MagnitudeBits(row[c]));
      }
      if (k > last) {
        // Unless the largest stood where the row changed, or in the pivot
        // column, it still stands.
        if (std::max(before, MagnitudeBits(tj)) < wk.rowLargest[k])
          wk.rowLargest[k] = std::max(wk.rowLargest[k], after);
        else
          wk.rowLargest[k] = LargestMagnitude(row, last + 1, n);
        wk.offBound[k] = std::max(wk.offBound[k], MagnitudeOf(after));
      }
      continue;
    }
    float activeT[kFusedSteps];
    const float* activeRow[kFusedSteps];
    int active = 0;
    for (int j = firstStep; j < count; ++j)
      if (!(zerosStay && t[j] == 0.0f)) {
        activeT[active] = t[j];
        activeRow[active++] = steps.PivotRow(j);
      }
    if (active < count) {
      UpdateRow(row, last + 1, n, activeT, activeRow, active);
      noteLargest(k);
    } else if (waiting == 0) {
      waiting = k;
      std::copy(t, t + count, waitingT);
    } else {
      // Two rows through all the steps share every load of the pivot rows.
      UpdateTwoRows(wk.w.Row(waiting), row, last + 1, n, waitingT, t, everyRow, count);
      noteLargest(waiting);
      noteLargest(k);
      waiting = 0;
    }
  }
  if (waiting != 0) {
    UpdateRow(wk.w.Row(waiting), last + 1, n, waitingT, everyRow, count);
    noteLargest(waiting);
  }
}

}  // namespace

// The columns already pivoted (where InvertMatrix builds the inverse) never
// feed back into the unpivoted columns or the right-hand side, so the
// elimination does not compute them at all.
Elimination EliminateMatrix(const Table2<float>& a, int n) {
  Elimination e;
  e.n = n;
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  e.pivot.assign(stride, 0.0f);
  e.pivotRow.assign(stride, 0);
  e.multipliers.assign(stride * stride, 0.0f);
  Working wk(n);
  for (int k = 1; k <= n; ++k) wk.colRec[k] = static_cast<float>(k);
  for (int r = 1; r <= n; ++r) {
    float* row = wk.w.Row(r);
    std::copy(a.Row(r) + 1, a.Row(r) + n + 1, row + 1);
    wk.rowLargest[r] = LargestMagnitude(row, 1, n);
    wk.offBound[r] = MagnitudeOf(OffDiagonalLargest(row, 1, n, r));
    for (int c = 1; c <= n; ++c) wk.noNegativeZero = wk.noNegativeZero && !IsNegativeZero(row[c]);
  }
  FusedSteps steps(n);
  steps.rowSteps.assign(stride * kFusedSteps, 0.0f);
  for (int i = 1; i <= n;) {
    const int last = ChooseSteps(wk, e, i, steps);
    const bool zerosStay = wk.noNegativeZero && steps.zerosStay;
    // A pivot row that is not clean is now part of the matrix.
    wk.noNegativeZero = zerosStay;
    const double work = steps.nonzeroColumns.empty()
                            ? static_cast<double>(n) * (n - last) * (last - i + 1)
                            : static_cast<double>(n) * static_cast<double>(steps.nonzeroColumns.size());
    // Rows are independent within a pass; a large pass is worth two threads.
    const int half = n / 2;
    ForEachChunk(2, work, [&](int part) {
      PassRows(wk, e, steps, zerosStay, part == 0 ? 1 : half + 1, part == 0 ? half : n);
    });
    i = last + 1;
  }
  e.rowExchangesAfter = UndoExchanges(wk.colRec, n);
  return e;
}

}  // namespace korvan
