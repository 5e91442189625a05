#include "linalg/invert_matrix.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/parallel.h"
#include "base/vector_clones.h"
#include "linalg/row_steps.h"

namespace korvan {

namespace {

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
