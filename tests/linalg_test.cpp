#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "format/number_format.h"
#include "linalg/invert_matrix.h"
#include "base/vector_clones.h"

namespace korvan {
namespace {

using ::testing::ElementsAre;

// A system of order n in the layout InvertMatrix expects: the matrix in
// columns 1..n, the right-hand side in column n + 1, row and column 0 unused.
Table2<float> System(const std::vector<std::vector<float>>& matrix, const std::vector<float>& rhs) {
  const int n = static_cast<int>(matrix.size());
  Table2<float> a(n, n + 1);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) a(i, j) = matrix[i - 1][j - 1];
    a(i, n + 1) = rhs[i - 1];
  }
  return a;
}

struct Inverted {
  Table2<float> a;
  std::vector<float> rowSwapRec, colSwapRec;
};

Inverted Invert(Table2<float> a, int n) {
  Inverted out{std::move(a), std::vector<float>(n + 2, -7.0f), std::vector<float>(n + 2, -7.0f)};
  InvertMatrix(out.a, n, out.rowSwapRec, out.colSwapRec);
  return out;
}

std::vector<float> Records(const std::vector<float>& rec, int n) { return {rec.begin() + 1, rec.begin() + n + 1}; }

std::uint32_t Bits(float x) { return std::bit_cast<std::uint32_t>(x); }

SingularEquations SingularOf(Table2<float> a, int n) {
  std::vector<float> rows(n + 2), cols(n + 2);
  try {
    InvertMatrix(a, n, rows, cols);
  } catch (const SingularEquations& singular) {
    return singular;
  }
  ADD_FAILURE() << "the equations of order " << n << " were solved";
  return {};
}

TEST(InvertMatrix, OrderOneAndTheOneSiteEquations) {
  // n = 1: the inverse is 1/a and the solution b/a, with no interchange.
  Inverted one = Invert(System({{4.0f}}, {3.0f}), 1);
  EXPECT_EQ(one.a(1, 1), 0.25f);
  EXPECT_EQ(one.a(1, 2), 0.75f);
  EXPECT_THAT(Records(one.rowSwapRec, 1), ElementsAre(1.0f));

  // X'X of one site with two blocks and two families, constraint ones added;
  // its inverse worked out in fractions: (3/2 -1 -1/4 -1/4; -1 1 0 0;
  // -1/4 0 1/2 0; -1/4 0 0 1/2). Solution for b = (1, 2, 3, 4): (-2.25, 1, 1.25, 1.75).
  const float expected[4][4] = {{1.5f, -1, -0.25f, -0.25f}, {-1, 1, 0, 0}, {-0.25f, 0, 0.5f, 0}, {-0.25f, 0, 0, 0.5f}};
  const float solution[4] = {-2.25f, 1, 1.25f, 1.75f};
  Inverted x = Invert(System({{4, 4, 2, 2}, {4, 5, 2, 2}, {2, 2, 3, 1}, {2, 2, 1, 3}}, {1, 2, 3, 4}), 4);
  // Four pivot steps, each rounding every element once, on values below 6.
  const float tolerance = 4 * 8 * FLT_EPSILON * 6;
  for (int i = 1; i <= 4; ++i) {
    for (int j = 1; j <= 4; ++j) EXPECT_NEAR(x.a(i, j), expected[i - 1][j - 1], tolerance) << i << "," << j;
    EXPECT_NEAR(x.a(i, 5), solution[i - 1], tolerance) << "solution " << i;
  }
}

TEST(InvertMatrix, LargestElementLastIsPivotedFirstAndPutBack) {
  Inverted d = Invert(System({{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 5, 0}, {0, 0, 0, 8}}, {4, 9, 10, 16}), 4);
  // Pivots (4,4), then the 5, then the 3: both records hold 4 3 2 1 after the
  // elimination, and the undo sweeps leave 4 3 3 4.
  EXPECT_THAT(Records(d.rowSwapRec, 4), ElementsAre(4, 3, 3, 4));
  EXPECT_THAT(Records(d.colSwapRec, 4), ElementsAre(4, 3, 3, 4));
  const float diagonal[4] = {2, 3, 5, 8};
  for (int i = 1; i <= 4; ++i) {
    for (int j = 1; j <= 4; ++j)
      EXPECT_EQ(d.a(i, j), i == j ? 1.0f / diagonal[i - 1] : 0.0f) << i << "," << j;
  }
  EXPECT_EQ(d.a(1, 5), 2.0f);
  EXPECT_EQ(d.a(2, 5), 3.0f);
  EXPECT_EQ(d.a(3, 5), 2.0f);
  EXPECT_EQ(d.a(4, 5), 2.0f);
}

TEST(InvertMatrix, TiesGoToTheFirstElementColumnByColumn) {
  // All magnitudes equal: the diagonal element wins, nothing is interchanged.
  Inverted same = Invert(System({{2, -2}, {2, 2}}, {0, 4}), 2);
  EXPECT_THAT(Records(same.rowSwapRec, 2), ElementsAre(1, 2));
  EXPECT_THAT(Records(same.colSwapRec, 2), ElementsAre(1, 2));
  EXPECT_EQ(same.a(1, 3), 1.0f);
  EXPECT_EQ(same.a(2, 3), 1.0f);

  // The 3s at (2,1) and (1,2) tie: column 1 is searched first, so rows 1 and
  // 2 are interchanged and the columns are not (row-first scanning would do
  // the opposite).
  Inverted cross = Invert(System({{1, 3}, {3, 1}}, {4, 4}), 2);
  EXPECT_THAT(Records(cross.rowSwapRec, 2), ElementsAre(2, 2));
  EXPECT_THAT(Records(cross.colSwapRec, 2), ElementsAre(1, 2));
  EXPECT_FLOAT_EQ(cross.a(1, 3), 1.0f);
  EXPECT_FLOAT_EQ(cross.a(2, 3), 1.0f);
}

TEST(InvertMatrix, SingularEquationsNameTheStepAndTheUnpivotedColumns) {
  // The threshold 1E-09 is compared in double: the float nearest to it lies
  // below it and is refused, the next float up is accepted.
  const float nearest = 1E-09f;
  const float above = std::nextafter(nearest, 1.0f);
  ASSERT_LT(static_cast<double>(nearest), 1E-09);
  ASSERT_GT(static_cast<double>(above), 1E-09);
  for (float sign : {1.0f, -1.0f}) {
    SingularEquations refused = SingularOf(System({{sign * nearest}}, {1}), 1);
    EXPECT_EQ(refused.step, 1);
    EXPECT_THAT(refused.unpivotedColumns, ElementsAre(1));
    Inverted accepted = Invert(System({{sign * above}}, {1}), 1);
    EXPECT_EQ(accepted.a(1, 2), 1.0f / (sign * above));
  }
  SingularEquations late = SingularOf(System({{1, 0}, {0, nearest}}, {1, 1}), 2);
  EXPECT_EQ(late.step, 2);
  EXPECT_THAT(late.unpivotedColumns, ElementsAre(2));

  // A zero row: the 2 of column 2 is pivoted first, so column 1 is left.
  SingularEquations zeroRow = SingularOf(System({{1, 2}, {0, 0}}, {1, 1}), 2);
  EXPECT_EQ(zeroRow.step, 2);
  EXPECT_THAT(zeroRow.unpivotedColumns, ElementsAre(1));
  // Two equal rows go through the same operations and cancel exactly.
  SingularEquations equalRows = SingularOf(System({{1, 2, 3}, {1, 2, 3}, {0, 1, 5}}, {1, 1, 1}), 3);
  EXPECT_EQ(equalRows.step, 3);
  EXPECT_EQ(equalRows.unpivotedColumns.size(), 1u);
  // Overflowed equations are refused the same way.
  SingularEquations overflow = SingularOf(System({{INFINITY, 1}, {1, 1}}, {1, 1}), 2);
  EXPECT_EQ(overflow.step, 1);
}

TEST(InvertMatrix, StorageOutsideTheOrderIsUntouched) {
  const int n = 3;
  Table2<float> a(n + 2, n + 3);
  for (int r = 0; r <= n + 2; ++r)
    for (int c = 0; c <= n + 3; ++c) a(r, c) = 100.0f + static_cast<float>(10 * r + c);
  const float m[3][3] = {{4, 1, 0}, {1, 5, 2}, {0, 2, 6}};
  for (int r = 1; r <= n; ++r)
    for (int c = 1; c <= n; ++c) a(r, c) = m[r - 1][c - 1];
  const Table2<float> before = a;
  std::vector<float> rows(n + 3, 99.0f), cols(n + 3, 99.0f);
  InvertMatrix(a, n, rows, cols);
  for (int r = 0; r <= n + 2; ++r)
    for (int c = 0; c <= n + 3; ++c)
      if (r < 1 || r > n || c < 1 || c > n + 1) {
        EXPECT_EQ(Bits(a(r, c)), Bits(before(r, c))) << r << "," << c;
      }
  EXPECT_EQ(rows[0], 99.0f);
  EXPECT_EQ(rows[n + 1], 99.0f);
  EXPECT_EQ(cols[n + 2], 99.0f);

  // Order 0 does nothing at all.
  const Table2<float> after = a;
  InvertMatrix(a, 0, rows, cols);
  SolveColumns(before, 0, a, 2);
  for (int r = 0; r <= n + 2; ++r)
    for (int c = 0; c <= n + 3; ++c) EXPECT_EQ(Bits(a(r, c)), Bits(after(r, c))) << r << "," << c;
}

// A matrix of one of the kinds the callers hand over, or worse: small whole
// numbers full of ties and exact cancellations, general floats, and
// symmetric count matrices that are singular or nearly so.
std::vector<std::vector<float>> RandomMatrix(std::mt19937& rng, int n, int kind) {
  std::vector<std::vector<float>> m(n, std::vector<float>(n));
  std::uniform_int_distribution<int> small(-3, 3);
  std::uniform_real_distribution<float> real(-10.0f, 10.0f);
  std::uniform_int_distribution<int> count(0, 4);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      switch (kind) {
        case 0: m[i][j] = static_cast<float>(small(rng)); break;
        case 1: m[i][j] = real(rng); break;
        default: m[i][j] = j < i ? m[j][i] : static_cast<float>(count(rng)); break;
      }
    }
  if (kind == 3 && n > 1) m[n - 1] = m[0];  // two equal rows
  return m;
}

// The fast solver must leave, for every right-hand side, the bits that the
// one-column elimination leaves in its solution column, and must refuse the
// same equations at the same step.
// Returns whether they were singular.
bool ExpectSameAsInvertMatrix(const std::vector<std::vector<float>>& m, const Table2<float>& rhs, int columns,
                              const std::vector<int>& checkedColumns, const std::string& what) {
  const int n = static_cast<int>(m.size());
  Table2<float> fast = rhs;
  bool fastSingular = false;
  SingularEquations fastFailure;
  try {
    SolveColumns(System(m, std::vector<float>(n, 0.0f)), n, fast, columns);
  } catch (const SingularEquations& singular) {
    fastSingular = true;
    fastFailure = singular;
  }
  for (int c : checkedColumns) {
    std::vector<float> b(n);
    for (int i = 1; i <= n; ++i) b[i - 1] = rhs(i, c);
    Table2<float> a = System(m, b);
    std::vector<float> rows(n + 2), cols(n + 2);
    try {
      InvertMatrix(a, n, rows, cols);
    } catch (const SingularEquations& singular) {
      EXPECT_TRUE(fastSingular) << what << ": only InvertMatrix found the equations singular";
      EXPECT_EQ(fastFailure.step, singular.step) << what;
      EXPECT_EQ(fastFailure.unpivotedColumns, singular.unpivotedColumns) << what;
      return true;
    }
    EXPECT_FALSE(fastSingular) << what << ": only the fast solver found the equations singular";
    for (int i = 1; i <= n; ++i) {
      if (Bits(fast(i, c)) == Bits(a(i, n + 1))) continue;
      ADD_FAILURE() << what << ", column " << c << ", row " << i << ": expected " << a(i, n + 1) << ", got "
                    << fast(i, c);
      return false;
    }
  }
  return false;
}

TEST(SolveColumns, SameBitsAsOneEliminationPerColumn) {
  std::mt19937 rng(20240611);
  int solved = 0, singular = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const int n = 1 + trial % 23;
    const int kind = trial % 4;
    const int m = 1 + trial % 5;
    const auto matrix = RandomMatrix(rng, n, kind);
    Table2<float> rhs(n, m);
    std::uniform_int_distribution<int> value(-5, 5);
    for (int i = 1; i <= n; ++i)
      for (int c = 1; c <= m; ++c) rhs(i, c) = c == 1 ? (i == 1 ? 1.0f : 0.0f) : static_cast<float>(value(rng)) / 3.0f;
    std::vector<int> all;
    for (int c = 1; c <= m; ++c) all.push_back(c);
    if (ExpectSameAsInvertMatrix(matrix, rhs, m, all, "trial " + std::to_string(trial)))
      ++singular;
    else
      ++solved;
    if (HasFailure()) return;
  }
  // Both outcomes must have been compared many times.
  EXPECT_GT(solved, 200);
  EXPECT_GT(singular, 50);
}

TEST(SolveColumns, LargeIdentityInBandsAndThreads) {
  // An inverse by columns of order 460: the first steps of the elimination
  // and the bands of right-hand sides are shared among threads. Columns from
  // the first, a middle and the last band are checked against InvertMatrix.
  std::mt19937 rng(7);
  const int n = 460;
  auto matrix = RandomMatrix(rng, n, 2);
  for (int i = 0; i < n; ++i) matrix[i][i] += 40.0f;
  Table2<float> identity(n, n);
  for (int i = 1; i <= n; ++i) identity(i, i) = 1.0f;
  ExpectSameAsInvertMatrix(matrix, identity, n, {1, 128, 129, 300, 460}, "order 460");
}

TEST(InvertByElimination, SameBitsAsCarryingEveryColumnOfTheIdentity) {
  // Orders 1 to 40, then 129 to 243, past the first band of 128 columns, so
  // that columns join the elimination late: their zeros must have taken the
  // signs the steps before would have given them. Negative pivots turn
  // zeros into -0; nearly diagonal matrices have exact zero multipliers,
  // which keep those signs to the end, where they show in the inverse.
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> real(-1.0f, 1.0f);
  int solved = 0, negativeZeros = 0;
  for (int trial = 0; trial < 200; ++trial) {
    const bool large = trial >= 100;
    const int n = large ? 129 + trial % 7 * 19 : 1 + trial % 40;
    std::vector<std::vector<float>> m;
    if (large && trial % 2 == 0) {
      std::bernoulli_distribution offDiagonal(0.01 * (trial % 5));
      m.assign(n, std::vector<float>(n, 0.0f));
      for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
          if (offDiagonal(rng)) m[i][j] = real(rng);
          if (i == j) m[i][j] = (real(rng) < 0.5f ? -1.0f : 1.0f) * (2.0f + std::fabs(real(rng)));
        }
    } else {
      m = RandomMatrix(rng, n, trial % 4);
    }
    const std::string what = "trial " + std::to_string(trial) + ", order " + std::to_string(n);
    const Table2<float> a = System(m, std::vector<float>(n, 0.0f));
    Table2<float> expected(n, n);
    for (int i = 1; i <= n; ++i) expected(i, i) = 1.0f;
    try {
      SolveColumns(a, n, expected, n);
    } catch (const SingularEquations&) {
      EXPECT_THROW(InvertByElimination(a, n), SingularEquations) << what;
      continue;
    }
    const Table2<float> actual = InvertByElimination(a, n);
    ++solved;
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) {
        negativeZeros += Bits(expected(i, j)) == 0x80000000u;
        ASSERT_EQ(Bits(expected(i, j)), Bits(actual(i, j)))
            << what << ", (" << i << ", " << j << "): expected " << expected(i, j) << ", got " << actual(i, j);
      }
  }
  EXPECT_GT(solved, 120);
  EXPECT_GT(negativeZeros, 1000) << "the signs of zeros went untested";
}

// Two accumulators side by side, each step evaluated in double and rounded
// to single precision: the shape of every "full precision, then store"
// update. Kept out of line so that the compiler sees it as the stages do,
// and built like their heaviest loops, once for every vector unit.
[[gnu::noinline]] KORVAN_VECTOR_CLONES void SubtractThirds(const float* a, float* out) {
  float x[2] = {out[0], out[1]};
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 2; ++j)
      x[j] = RoundToSingle(static_cast<double>(x[j]) - static_cast<double>(a[2 * k + j]) / 3.0);
  out[0] = x[0];
  out[1] = x[1];
}

TEST(Precision, EveryStoreRoundsToSingleEvenInVectorCode) {
  // 1 - 1E-07/3 rounds to the float below 1, and so on; without the
  // intermediate roundings (a vectorizer fault of some compilers, which the
  // build switches off) the result is one unit higher. Likewise d/3 rounds
  // to -0 and -0 - (-0) is +0, where the unrounded sum stays -0.
  const float a[6] = {1E-07f, 1E-07f, 1E-07f, 1E-07f, 1E-07f, 1E-07f};
  float out[2] = {1.0f, 1.0f};
  SubtractThirds(a, out);
  const float expected = std::nextafter(std::nextafter(std::nextafter(1.0f, 0.0f), 0.0f), 0.0f);
  EXPECT_EQ(out[0], expected);
  EXPECT_EQ(out[1], expected);
  const float d = std::numeric_limits<float>::denorm_min();
  const float b[6] = {d, d, -0.0f, -0.0f, 0.0f, 0.0f};
  float zero[2] = {0.0f, 0.0f};
  SubtractThirds(b, zero);
  EXPECT_EQ(Bits(zero[0]), 0u);
  EXPECT_EQ(Bits(zero[1]), 0u);
}

}  // namespace
}  // namespace korvan
