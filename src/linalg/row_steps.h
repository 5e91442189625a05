#pragma once

// What the eliminations share: the rule for a pivot that counts as zero, the
// undoing of interchanges, rows aligned for the vector units, and the one
// row update of every elimination: a row less a run of multiples of pivot
// rows, each element through the steps in their order.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "base/tables.h"
#include "base/vector_clones.h"
#include "linalg/elimination.h"

namespace korvan {

// A pivot below this counts as zero. The comparison is made in double, so the
// float nearest to 1E-09 (9.9999997E-10, just below it) is already too small.
constexpr double kPivotThreshold = 1E-09;

// An overflowed or undefined pivot would spread infinities and NaNs through
// every result; such equations are as unusable as singular ones.
inline bool PivotTooSmall(float piv) {
  return !std::isfinite(piv) || static_cast<double>(std::fabs(piv)) < kPivotThreshold;
}

// Throws SingularEquations for step `step`, naming the columns still unpivoted.
[[noreturn]] void ThrowSingular(int step, const float* colRecFrom, const float* colRecTo);

// Where the undo sweep of an interchange record moves things: for i = 1..n,
// the position k >= i that holds i is exchanged with i. Applying the returned
// pairs in order replays the sweep.
std::vector<std::pair<int, int>> UndoExchanges(std::vector<float> record, int n);

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

// A stretch of sixteen floats: the vector type does the same IEEE operations
// element by element.
#if defined(__GNUC__)
typedef float Lanes16 __attribute__((vector_size(64)));
#endif

// The update of kRows rows through the same pivot rows, written once for one
// and two rows. Each stretch of elements is held in registers through all
// the steps, so a row is read and written once however many steps a pass
// carries; four stretches side by side keep the chain of subtractions of one
// from holding up the others.
template <int kRows>
[[gnu::always_inline]] inline void UpdateRows(float* const (&row)[kRows], int from, int to,
                                              const float* const (&t)[kRows], const float* const* p, int steps) {
  int c = from;
  auto one = [&](int col) {
    float x[kRows];
    for (int r = 0; r < kRows; ++r) x[r] = row[r][col];
    for (int j = 0; j < steps; ++j)
      for (int r = 0; r < kRows; ++r) x[r] = x[r] - t[r][j] * p[j][col];
    for (int r = 0; r < kRows; ++r) row[r][col] = x[r];
  };
#if defined(__GNUC__)
  for (; c % 16 != 0 && c <= to; ++c) one(c);
  constexpr int kWidth = 64;
  for (; c + kWidth - 1 <= to; c += kWidth) {
    Lanes16 x[kRows][4], q[4];
    for (int r = 0; r < kRows; ++r)
      for (int s = 0; s < 4; ++s) std::memcpy(&x[r][s], row[r] + c + 16 * s, sizeof x[r][s]);
    for (int j = 0; j < steps; ++j) {
      const float* pj = p[j] + c;
      for (int s = 0; s < 4; ++s) std::memcpy(&q[s], pj + 16 * s, sizeof q[s]);
      for (int r = 0; r < kRows; ++r) {
        const float tj = t[r][j];
        for (int s = 0; s < 4; ++s) x[r][s] = x[r][s] - tj * q[s];
      }
    }
    for (int r = 0; r < kRows; ++r)
      for (int s = 0; s < 4; ++s) std::memcpy(row[r] + c + 16 * s, &x[r][s], sizeof x[r][s]);
  }
#endif
  for (; c <= to; ++c) one(c);
}

// row(from..to) less t[j] x p[j] for j = 0..steps - 1 in this order: each
// element x becomes x - t[0] p[0] - t[1] p[1] - ..., every product and
// difference rounded to single precision. `steps` may be 0 (nothing changes)
// up to kFusedSteps.
KORVAN_VECTOR_CLONES inline void UpdateRow(float* row, int from, int to, const float* t, const float* const* p,
                                           int steps) {
  float* const rows[1] = {row};
  const float* const multipliers[1] = {t};
  UpdateRows<1>(rows, from, to, multipliers, p, steps);
}

// The same on two rows, each with its own multipliers, the same pivot rows:
// they share every load of the pivot rows.
KORVAN_VECTOR_CLONES inline void UpdateTwoRows(float* a, float* b, int from, int to, const float* ta,
                                               const float* tb, const float* const* p, int steps) {
  float* const rows[2] = {a, b};
  const float* const multipliers[2] = {ta, tb};
  UpdateRows<2>(rows, from, to, multipliers, p, steps);
}

// Right-hand sides are carried in bands narrow enough that all n rows of a
// band stay in the processor's cache through the n steps.
constexpr int kBandColumns = 128;

// Carries columns c0..c1 of `rhs` through the elimination with exactly the
// operations InvertMatrix applies to its column n + 1.
void ApplyToColumns(const Elimination& e, Table2<float>& rhs, int c0, int c1);

}  // namespace korvan
