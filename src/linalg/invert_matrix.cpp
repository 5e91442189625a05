#include "linalg/invert_matrix.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "linalg/elimination.h"
#include "base/parallel.h"
#include "base/vector_clones.h"

namespace korvan {

namespace {

// A pivot below this counts as zero. The comparison is made in double, so the
// float nearest to 1E-09 (9.9999997E-10, just below it) is already too small.
constexpr double kPivotThreshold = 1E-09;

// An overflowed or undefined pivot would spread infinities and NaNs through
// every result; such equations are as unusable as singular ones.
bool PivotTooSmall(float piv) {
  return !std::isfinite(piv) || static_cast<double>(std::fabs(piv)) < kPivotThreshold;
}

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

}  // namespace

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
    for (int k = 1; k <= n; ++k) {
      if (k == i) continue;
      float* row = a.Row(k);
      const float t = row[i];
      row[i] = 0.0f;
      for (int c = 1; c <= n + 1; ++c) row[c] = row[c] - t * pivotRow[c];
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

namespace {

// Rows 0..lastRow, columns 0..lastColumn. Element 0 of every row starts a
// 64-byte line and the rows are whole lines apart, so element c of a row and
// of a pivot row share their alignment and the passes' vector loads never
// straddle two lines.
class AlignedRows {
 public:
  AlignedRows(int lastRow, int lastColumn)
      : stride_((static_cast<std::size_t>(lastColumn) + kLine) / kLine * kLine),
        data_(stride_ * (static_cast<std::size_t>(lastRow) + 1) + kLine) {
    const auto misfit = reinterpret_cast<std::uintptr_t>(data_.data()) % (kLine * sizeof(float));
    offset_ = misfit == 0 ? 0 : (kLine * sizeof(float) - misfit) / sizeof(float);
  }
  float* Row(int r) { return data_.data() + offset_ + static_cast<std::size_t>(r) * stride_; }
  const float* Row(int r) const { return data_.data() + offset_ + static_cast<std::size_t>(r) * stride_; }

 private:
  static constexpr std::size_t kLine = 16;  // floats
  std::size_t stride_;
  std::size_t offset_ = 0;
  std::vector<float> data_;
};

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

// --- Several steps in one pass. A step of the elimination changes every
// remaining element, and once the matrix outgrows the processor's caches each
// step costs a pass through memory that the arithmetic never waits for. A
// pass that carries up to kFusedSteps steps at once gives every element the
// same operations in the same order, as long as each of those steps takes
// the pivot the complete search would have taken. The first step of a pass
// searches as always; a later one is taken only when it is certain: the
// largest diagonal element (kept exact) is larger than a bound on every
// element off the diagonal, so the search could only have found it, and the
// first of equal diagonals is the first it meets.
constexpr int kFusedSteps = 32;

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
    for (int q = 0; q < j; ++q) {
      const float* p = steps.PivotRow(q);
      for (int col = s + 1; col <= n; ++col) x[col] = x[col] - ownSteps[q] * p[col];
    }
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

// row(from..to) less t[j] x p[j] for j = 0..steps - 1 in this order, each
// stretch of elements held in registers through all the steps: the
// row is read and written once however many steps the pass carries. The
// vector type does the same IEEE operations element by element.
#if defined(__GNUC__)
typedef float Lanes16 __attribute__((vector_size(64)));
#endif

KORVAN_VECTOR_CLONES inline void UpdateRow(float* row, int from, int to, const float* t, const float* const* p,
                                           int steps) {
  int c = from;
  auto one = [&](int col) {
    float x = row[col];
    for (int j = 0; j < steps; ++j) x = x - t[j] * p[j][col];
    row[col] = x;
  };
#if defined(__GNUC__)
  for (; c % 16 != 0 && c <= to; ++c) one(c);
  // Four stretches side by side, so that the chain of subtractions of one
  // does not keep the others waiting.
  constexpr int kWidth = 64;
  for (; c + kWidth - 1 <= to; c += kWidth) {
    Lanes16 x0, x1, x2, x3, p0, p1, p2, p3;
    std::memcpy(&x0, row + c, sizeof x0);
    std::memcpy(&x1, row + c + 16, sizeof x1);
    std::memcpy(&x2, row + c + 32, sizeof x2);
    std::memcpy(&x3, row + c + 48, sizeof x3);
    for (int j = 0; j < steps; ++j) {
      const float* pj = p[j] + c;
      const float tj = t[j];
      std::memcpy(&p0, pj, sizeof p0);
      std::memcpy(&p1, pj + 16, sizeof p1);
      std::memcpy(&p2, pj + 32, sizeof p2);
      std::memcpy(&p3, pj + 48, sizeof p3);
      x0 = x0 - tj * p0;
      x1 = x1 - tj * p1;
      x2 = x2 - tj * p2;
      x3 = x3 - tj * p3;
    }
    std::memcpy(row + c, &x0, sizeof x0);
    std::memcpy(row + c + 16, &x1, sizeof x1);
    std::memcpy(row + c + 32, &x2, sizeof x2);
    std::memcpy(row + c + 48, &x3, sizeof x3);
  }
#endif
  for (; c <= to; ++c) one(c);
}

// UpdateRow on two rows with their own multipliers and the same pivot rows.
KORVAN_VECTOR_CLONES inline void UpdateTwoRows(float* a, float* b, int from, int to, const float* ta,
                                               const float* tb, const float* const* p, int steps) {
  int c = from;
  auto one = [&](int col) {
    float x = a[col], y = b[col];
    for (int j = 0; j < steps; ++j) {
      x = x - ta[j] * p[j][col];
      y = y - tb[j] * p[j][col];
    }
    a[col] = x;
    b[col] = y;
  };
#if defined(__GNUC__)
  for (; c % 16 != 0 && c <= to; ++c) one(c);
  constexpr int kWidth = 64;
  for (; c + kWidth - 1 <= to; c += kWidth) {
    Lanes16 x0, x1, x2, x3, y0, y1, y2, y3, p0, p1, p2, p3;
    std::memcpy(&x0, a + c, sizeof x0);
    std::memcpy(&x1, a + c + 16, sizeof x1);
    std::memcpy(&x2, a + c + 32, sizeof x2);
    std::memcpy(&x3, a + c + 48, sizeof x3);
    std::memcpy(&y0, b + c, sizeof y0);
    std::memcpy(&y1, b + c + 16, sizeof y1);
    std::memcpy(&y2, b + c + 32, sizeof y2);
    std::memcpy(&y3, b + c + 48, sizeof y3);
    for (int j = 0; j < steps; ++j) {
      const float* pj = p[j] + c;
      const float s = ta[j], u = tb[j];
      std::memcpy(&p0, pj, sizeof p0);
      std::memcpy(&p1, pj + 16, sizeof p1);
      std::memcpy(&p2, pj + 32, sizeof p2);
      std::memcpy(&p3, pj + 48, sizeof p3);
      x0 = x0 - s * p0;
      x1 = x1 - s * p1;
      x2 = x2 - s * p2;
      x3 = x3 - s * p3;
      y0 = y0 - u * p0;
      y1 = y1 - u * p1;
      y2 = y2 - u * p2;
      y3 = y3 - u * p3;
    }
    std::memcpy(a + c, &x0, sizeof x0);
    std::memcpy(a + c + 16, &x1, sizeof x1);
    std::memcpy(a + c + 32, &x2, sizeof x2);
    std::memcpy(a + c + 48, &x3, sizeof x3);
    std::memcpy(b + c, &y0, sizeof y0);
    std::memcpy(b + c + 16, &y1, sizeof y1);
    std::memcpy(b + c + 32, &y2, sizeof y2);
    std::memcpy(b + c + 48, &y3, sizeof y3);
  }
#endif
  for (; c <= to; ++c) one(c);
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

namespace {

// Carries columns c0..c1 of `rhs` through the elimination with exactly the
// operations InvertMatrix applies to its column n + 1.
KORVAN_VECTOR_CLONES void ApplyToColumns(const Elimination& e, Table2<float>& rhs, int c0, int c1) {
  const int n = e.n;
  for (int i = 1; i <= n; ++i) {
    if (e.pivotRow[i] != i) std::swap_ranges(rhs.Row(i) + c0, rhs.Row(i) + c1 + 1, rhs.Row(e.pivotRow[i]) + c0);
    const float piv = e.pivot[i];
    float* pivotRow = rhs.Row(i);
    for (int c = c0; c <= c1; ++c) pivotRow[c] = pivotRow[c] / piv;
    const float* steps = &e.multipliers[static_cast<std::size_t>(i) * (static_cast<std::size_t>(n) + 1)];
    for (int k = 1; k <= n; ++k) {
      if (k == i) continue;
      float* target = rhs.Row(k);
      const float t = steps[k];
      for (int c = c0; c <= c1; ++c) target[c] = target[c] - t * pivotRow[c];
    }
  }
  for (const auto& [i, k] : e.rowExchangesAfter)
    std::swap_ranges(rhs.Row(i) + c0, rhs.Row(i) + c1 + 1, rhs.Row(k) + c0);
}

// Right-hand sides are carried in bands narrow enough that all n rows of a
// band stay in the processor's cache through the n steps.
constexpr int kBandColumns = 128;

// --- Columns of the identity. Column c is all zeros until the step that
// takes the row holding its 1 as pivot row (its start step); before that,
// each step only changes the signs of some of its zeros, and changes them
// alike in every column not yet started. So a column can join the
// elimination at its start step, its zeros given the signs they would have
// reached, with the very operations from there on: about half the work of
// carrying it from step 1.
//
// The rule for the zeros, with every multiplier finite: an unpivoted row
// holds +0 (+0 less a signed zero is +0); the pivot row's +0 divided by the
// pivot takes the pivot's sign; a pivoted row's zero y becomes y - t x z,
// which is -0 only when y is -0 and t x z is +0.

constexpr int kIdentityBand = 128;

// Which column starts at each step, and, just before the first step of each
// band of kIdentityBand steps, the row of every column's 1 and which
// pivoted rows hold -0.
struct IdentityStarts {
  std::vector<int> columnAt;                               // column whose start step is s
  std::vector<std::vector<int>> unitRowAt;                 // [band][column]
  std::vector<std::vector<std::uint8_t>> negativeZeroAt;   // [band][row]
};

IdentityStarts FollowIdentity(const Elimination& e) {
  const int n = e.n;
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  IdentityStarts starts;
  starts.columnAt.assign(stride, 0);
  std::vector<int> unitRow(stride), columnOfRow(stride);
  for (int c = 1; c <= n; ++c) unitRow[c] = columnOfRow[c] = c;
  std::vector<std::uint8_t> negativeZero(stride, 0);
  for (int i = 1; i <= n; ++i) {
    if ((i - 1) % kIdentityBand == 0) {
      starts.unitRowAt.push_back(unitRow);
      starts.negativeZeroAt.push_back(negativeZero);
    }
    const int pr = e.pivotRow[i];
    std::swap(columnOfRow[i], columnOfRow[pr]);
    unitRow[columnOfRow[i]] = i;
    unitRow[columnOfRow[pr]] = pr;
    starts.columnAt[i] = columnOfRow[i];
    const bool zeroNegative = std::signbit(e.pivot[i]);  // +0 / pivot
    const float* t = &e.multipliers[static_cast<std::size_t>(i) * stride];
    for (int k = 1; k < i; ++k) negativeZero[k] = negativeZero[k] && std::signbit(t[k]) == zeroNegative;
    negativeZero[i] = zeroNegative;
  }
  return starts;
}

// Steps from..n on columns 1..width of w, as one step at a time would take
// them: at step i rows i and pivotRow[i] exchanged, row i divided by the
// pivot, every other row k less multiplier (i, k) times row i. A pass takes
// kFusedSteps steps: the exchanges first, then each pivot row through the
// steps before it and divided, then every row through all the steps of the
// pass at once, each with the multipliers of the positions it held.
// `pivotRows` has kFusedSteps - 1 rows of width floats.
void CarrySteps(const Elimination& e, int from, AlignedRows& w, AlignedRows& pivotRows, int width) {
  const int n = e.n;
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  const float* p[kFusedSteps];
  for (int j = 0; j < kFusedSteps; ++j) p[j] = pivotRows.Row(j);
  float t[kFusedSteps];
  // Multipliers of the row now at k for steps b0..b1: back from b1, where
  // the position is k, undoing one exchange a step.
  auto multipliersOf = [&](int k, int b0, int b1) {
    int position = k;
    for (int s = b1; s >= b0; --s) {
      t[s - b0] = e.multipliers[static_cast<std::size_t>(s) * stride + static_cast<std::size_t>(position)];
      if (position == s)
        position = e.pivotRow[s];
      else if (position == e.pivotRow[s])
        position = s;
    }
  };
  for (int b0 = from; b0 <= n; b0 += kFusedSteps) {
    const int b1 = std::min(n, b0 + kFusedSteps - 1), count = b1 - b0 + 1;
    for (int s = b0; s <= b1; ++s)
      if (e.pivotRow[s] != s) std::swap_ranges(w.Row(s), w.Row(s) + width, w.Row(e.pivotRow[s]));
    for (int s = b0; s <= b1; ++s) {
      float* row = w.Row(s);
      multipliersOf(s, b0, b1);
      UpdateRow(row, 0, width - 1, t, p, s - b0);
      const float piv = e.pivot[s];
      for (int c = 0; c < width; ++c) row[c] = row[c] / piv;
      std::copy(row, row + width, pivotRows.Row(s - b0));
    }
    for (int s = b0; s < b1; ++s) {
      multipliersOf(s, b0, b1);
      UpdateRow(w.Row(s), 0, width - 1, t + (s - b0 + 1), p + (s - b0 + 1), b1 - s);
    }
    int waiting = 0;
    float waitingT[kFusedSteps];
    for (int k = 1; k <= n; ++k) {
      if (k >= b0 && k <= b1) continue;
      multipliersOf(k, b0, b1);
      if (waiting == 0) {
        waiting = k;
        std::copy(t, t + count, waitingT);
        continue;
      }
      UpdateTwoRows(w.Row(waiting), w.Row(k), 0, width - 1, waitingT, t, p, count);
      waiting = 0;
    }
    if (waiting != 0) UpdateRow(w.Row(waiting), 0, width - 1, waitingT, p, count);
  }
}

// The columns that start at steps first..last of `band`, set up as they
// stand just before step first, carried from there to the end as
// ApplyToColumns carries them, and stored in their columns of `out`. `w` is
// the band's zeroed working rows (column c of the band at c - 1) and
// `pivotRows` CarrySteps' scratch, both made by the caller: nothing here may
// throw (see vector_clones.h).
KORVAN_VECTOR_CLONES void CarryIdentityBand(const Elimination& e, const IdentityStarts& starts, int band,
                                            AlignedRows& w, AlignedRows& pivotRows, Table2<float>& out) {
  const int n = e.n;
  const int first = 1 + band * kIdentityBand, last = std::min(n, first + kIdentityBand - 1);
  const int width = last - first + 1;
  const std::vector<int>& unitRow = starts.unitRowAt[static_cast<std::size_t>(band)];
  const std::vector<std::uint8_t>& negativeZero = starts.negativeZeroAt[static_cast<std::size_t>(band)];
  for (int k = 1; k < first; ++k)
    if (negativeZero[k]) std::fill(w.Row(k), w.Row(k) + width, -0.0f);
  for (int c = 1; c <= width; ++c) w.Row(unitRow[starts.columnAt[first + c - 1]])[c - 1] = 1.0f;
  CarrySteps(e, first, w, pivotRows, width);
  for (const auto& [i, k] : e.rowExchangesAfter) std::swap_ranges(w.Row(i), w.Row(i) + width, w.Row(k));
  for (int c = 1; c <= width; ++c) {
    const int column = starts.columnAt[first + c - 1];
    for (int r = 1; r <= n; ++r) out(r, column) = w.Row(r)[c - 1];
  }
}

bool FiniteMultipliers(const Elimination& e) {
  for (const float t : e.multipliers)
    if (!std::isfinite(t)) return false;
  return true;
}

}  // namespace

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


Table2<float> InvertByElimination(const Table2<float>& a, int n) {
  assert(n <= a.LastRow() && n <= a.LastCol());
  if (n == 0) return Table2<float>(0, 0);
  return InvertByElimination(EliminateMatrix(a, n));
}

Table2<float> InvertByElimination(const Elimination& e) {
  const int n = e.n;
  Table2<float> inverse(n, n);
  if (n == 0) return inverse;
  // A multiplier beyond the range of single precision would turn a skipped
  // zero into NaN: every column is then carried from the first step.
  if (!FiniteMultipliers(e)) {
    for (int i = 1; i <= n; ++i) inverse(i, i) = 1.0f;
    const int bands = (n + kBandColumns - 1) / kBandColumns;
    for (int band = 0; band < bands; ++band) {
      const int c0 = 1 + band * kBandColumns;
      ApplyToColumns(e, inverse, c0, std::min(n, c0 + kBandColumns - 1));
    }
    return inverse;
  }
  const IdentityStarts starts = FollowIdentity(e);
  const int bands = (n + kIdentityBand - 1) / kIdentityBand;
  auto carry = [&](int band) {
    const int first = 1 + band * kIdentityBand;
    const int width = std::min(n, first + kIdentityBand - 1) - first + 1;
    AlignedRows w(n, width - 1);
    AlignedRows pivotRows(kFusedSteps - 1, width - 1);
    CarryIdentityBand(e, starts, band, w, pivotRows, inverse);
  };
  ForEachChunk(bands, static_cast<double>(n) * n * n, carry);
  return inverse;
}

}  // namespace korvan
