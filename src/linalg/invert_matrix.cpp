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

// The elimination of one matrix, kept so that any number of right-hand sides
// can be carried through it later. Only what touches a right-hand side is
// kept: the pivots, the pivot rows and, for every step, the multipliers of
// all rows. The columns already pivoted (where InvertMatrix builds the
// inverse) never feed back into the unpivoted columns or the right-hand side,
// so they are not computed at all.
struct Elimination {
  int n = 0;
  std::vector<float> pivot;                            // piv of step i
  std::vector<int> pivotRow;                           // pr of step i
  std::vector<float> multipliers;                      // t of step i, row k at i * (n + 1) + k
  std::vector<std::pair<int, int>> rowExchangesAfter;  // the column-record undo sweep
};

// Square working copy with rows and columns from 1, like the tables.
class Square {
 public:
  explicit Square(int n) : stride_(static_cast<std::size_t>(n) + 1), data_(stride_ * stride_) {}
  float* Row(int r) { return data_.data() + static_cast<std::size_t>(r) * stride_; }
  const float* Row(int r) const { return data_.data() + static_cast<std::size_t>(r) * stride_; }

 private:
  std::size_t stride_;
  std::vector<float> data_;
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

// Step i on rows first..last: each row less t times the pivot row over the
// unpivoted columns; the rows still to be pivoted note their largest
// magnitude for the next search while they are in the cache.
KORVAN_VECTOR_CLONES void EliminateRows(Square& w, int n, int i, int first, int last, float* steps,
                   std::vector<std::int32_t>& rowLargest) {
  const float* pivotRow = w.Row(i);
  for (int k = first; k <= last; ++k) {
    if (k == i) continue;
    float* target = w.Row(k);
    const float t = target[i];
    steps[k] = t;
    for (int c = i + 1; c <= n; ++c) target[c] = target[c] - t * pivotRow[c];
    if (k > i) rowLargest[k] = LargestMagnitude(target, i + 1, n);
  }
}

Elimination Eliminate(const Table2<float>& a, int n) {
  Elimination e;
  e.n = n;
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  e.pivot.assign(stride, 0.0f);
  e.pivotRow.assign(stride, 0);
  e.multipliers.assign(stride * stride, 0.0f);
  std::vector<float> colRec(stride);
  for (int k = 1; k <= n; ++k) colRec[k] = static_cast<float>(k);
  Square w(n);
  std::vector<std::int32_t> rowLargest(stride, 0);
  for (int r = 1; r <= n; ++r) {
    std::copy(a.Row(r) + 1, a.Row(r) + n + 1, w.Row(r) + 1);
    rowLargest[r] = LargestMagnitude(w.Row(r), 1, n);
  }

  for (int i = 1; i <= n; ++i) {
    const auto [pr, pc] = FindPivot(w, rowLargest, n, i);
    if (pr != i) std::swap_ranges(w.Row(i) + i, w.Row(i) + n + 1, w.Row(pr) + i);
    if (pc != i) {
      for (int r = 1; r <= n; ++r) std::swap(w.Row(r)[i], w.Row(r)[pc]);
      std::swap(colRec[i], colRec[pc]);
    }
    float* pivotRow = w.Row(i);
    const float piv = pivotRow[i];
    if (PivotTooSmall(piv)) ThrowSingular(i, colRec.data() + i, colRec.data() + n + 1);
    e.pivot[i] = piv;
    e.pivotRow[i] = pr;
    for (int c = i + 1; c <= n; ++c) pivotRow[c] = pivotRow[c] / piv;
    float* steps = &e.multipliers[static_cast<std::size_t>(i) * stride];
    // Rows are independent within a step; a large step is worth two threads.
    const int half = n / 2;
    ForEachChunk(2, static_cast<double>(n) * (n - i), [&](int part) {
      EliminateRows(w, n, i, part == 0 ? 1 : half + 1, part == 0 ? half : n, steps, rowLargest);
    });
  }
  e.rowExchangesAfter = UndoExchanges(colRec, n);
  return e;
}

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

// The columns that start at steps first..last of `band`, set up as they
// stand just before step first, carried from there to the end as
// ApplyToColumns carries them, and stored in their columns of `out`. `w` is
// the band's zeroed n x width working table, made by the caller: nothing
// here may throw (see vector_clones.h).
KORVAN_VECTOR_CLONES void CarryIdentityBand(const Elimination& e, const IdentityStarts& starts, int band,
                                            Table2<float>& w, Table2<float>& out) {
  const int n = e.n;
  const int first = 1 + band * kIdentityBand;
  const int width = w.LastCol();
  const std::vector<int>& unitRow = starts.unitRowAt[static_cast<std::size_t>(band)];
  const std::vector<std::uint8_t>& negativeZero = starts.negativeZeroAt[static_cast<std::size_t>(band)];
  for (int k = 1; k < first; ++k)
    if (negativeZero[k])
      for (int c = 1; c <= width; ++c) w(k, c) = -0.0f;
  for (int c = 1; c <= width; ++c) w(unitRow[starts.columnAt[first + c - 1]], c) = 1.0f;
  const std::size_t stride = static_cast<std::size_t>(n) + 1;
  for (int i = first; i <= n; ++i) {
    if (e.pivotRow[i] != i) std::swap_ranges(w.Row(i) + 1, w.Row(i) + width + 1, w.Row(e.pivotRow[i]) + 1);
    const float piv = e.pivot[i];
    float* pivotRow = w.Row(i);
    for (int c = 1; c <= width; ++c) pivotRow[c] = pivotRow[c] / piv;
    const float* steps = &e.multipliers[static_cast<std::size_t>(i) * stride];
    for (int k = 1; k <= n; ++k) {
      if (k == i) continue;
      float* target = w.Row(k);
      const float t = steps[k];
      for (int c = 1; c <= width; ++c) target[c] = target[c] - t * pivotRow[c];
    }
  }
  for (const auto& [i, k] : e.rowExchangesAfter) std::swap_ranges(w.Row(i) + 1, w.Row(i) + width + 1, w.Row(k) + 1);
  for (int c = 1; c <= width; ++c) {
    const int column = starts.columnAt[first + c - 1];
    for (int r = 1; r <= n; ++r) out(r, column) = w(r, c);
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
  const Elimination e = Eliminate(a, n);
  const int bands = (m + kBandColumns - 1) / kBandColumns;
  auto carryBand = [&](int band) {
    const int c0 = 1 + band * kBandColumns;
    ApplyToColumns(e, rhs, c0, std::min(m, c0 + kBandColumns - 1));
  };
  ForEachChunk(bands, static_cast<double>(n) * n * m, carryBand);
}


Table2<float> InvertByElimination(const Table2<float>& a, int n) {
  assert(n <= a.LastRow() && n <= a.LastCol());
  Table2<float> inverse(n, n);
  if (n == 0) return inverse;
  const Elimination e = Eliminate(a, n);
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
    Table2<float> w(n, std::min(n, first + kIdentityBand - 1) - first + 1);
    CarryIdentityBand(e, starts, band, w, inverse);
  };
  ForEachChunk(bands, static_cast<double>(n) * n * n, carry);
  return inverse;
}

}  // namespace korvan
