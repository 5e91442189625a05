#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/vector_clones.h"
#include "format/number_format.h"
#include "linalg/invert_matrix.h"

namespace korvan {
namespace {

using Matrix = std::vector<std::vector<float>>;

// A system of order n in the layout InvertMatrix expects: the matrix in
// columns 1..n, the right-hand side in column n + 1, row and column 0 unused.
Table2<float> System(const Matrix& matrix, const std::vector<float>& rhs) {
  const int n = static_cast<int>(matrix.size());
  Table2<float> a(n, n + 1);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) a(i, j) = matrix[i - 1][j - 1];
    a(i, n + 1) = rhs[i - 1];
  }
  return a;
}

std::uint32_t Bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// InvertMatrix on a copy of system `a` of order n, set in a table and
// records one larger, whose elements outside rows 1..n and columns 1..n + 1
// must come back untouched. The interchange records 1..n, or the failure.
struct Inverted {
  Table2<float> a;
  std::vector<float> rowSwapRec, colSwapRec;
  std::optional<SingularEquations> singular;
};

Inverted Invert(const Table2<float>& a, int n) {
  const auto inside = [n](int r, int c) { return r >= 1 && r <= n && c >= 1 && c <= n + 1; };
  Inverted out{Table2<float>(n + 1, n + 2), std::vector<float>(n + 3, 99.0f), std::vector<float>(n + 3, 99.0f), {}};
  for (int r = 0; r <= n + 1; ++r)
    for (int c = 0; c <= n + 2; ++c) out.a(r, c) = inside(r, c) ? a(r, c) : static_cast<float>(100 * r + c);
  try {
    InvertMatrix(out.a, n, out.rowSwapRec, out.colSwapRec);
  } catch (const SingularEquations& singular) {
    out.singular = singular;
  }
  for (int r = 0; r <= n + 1; ++r)
    for (int c = 0; c <= n + 2; ++c)
      EXPECT_TRUE(inside(r, c) || out.a(r, c) == static_cast<float>(100 * r + c)) << n << ": " << r << "," << c;
  EXPECT_TRUE(out.rowSwapRec[0] == 99.0f && out.rowSwapRec[n + 1] == 99.0f && out.colSwapRec[n + 2] == 99.0f);
  out.rowSwapRec = {out.rowSwapRec.begin() + 1, out.rowSwapRec.begin() + n + 1};
  out.colSwapRec = {out.colSwapRec.begin() + 1, out.colSwapRec.begin() + n + 1};
  return out;
}

TEST(InvertMatrix, SmallSystemsTheirPivotsInterchangesAndFailures) {
  // The threshold 1E-09 is compared in double: the float nearest to it lies
  // below it and is refused, the next float up is accepted.
  const float nearest = 1E-09f, above = std::nextafter(nearest, 1.0f);
  ASSERT_TRUE(static_cast<double>(nearest) < 1E-09 && static_cast<double>(above) > 1E-09);
  // Empty vectors are not checked; a singular step of 0 means solved.
  struct Case {
    const char* what;
    Matrix m;
    std::vector<float> rhs, inverse, solution, rowSwapRec, colSwapRec;
    float tolerance;
    int singularStep;
    std::vector<int> unpivoted;
  };
  const Case cases[] = {
      {"order 1: 1/a and b/a, no interchange", {{4}}, {3}, {0.25f}, {0.75f}, {1}, {1}, 0, 0, {}},
      // X'X of one site with two blocks and two families, constraint ones
      // added, inverted in fractions. Four pivot steps, each rounding every
      // element once, on values below 6.
      {"the one-site equations", {{4, 4, 2, 2}, {4, 5, 2, 2}, {2, 2, 3, 1}, {2, 2, 1, 3}}, {1, 2, 3, 4},
       {1.5f, -1, -0.25f, -0.25f, -1, 1, 0, 0, -0.25f, 0, 0.5f, 0, -0.25f, 0, 0, 0.5f}, {-2.25f, 1, 1.25f, 1.75f},
       {}, {}, 4 * 8 * FLT_EPSILON * 6, 0, {}},
      // Pivots (4,4), then the 5, then the 3: both records hold 4 3 2 1 after
      // the elimination, and the undo sweeps leave 4 3 3 4.
      {"largest element last", {{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 5, 0}, {0, 0, 0, 8}}, {4, 9, 10, 16},
       {0.5f, 0, 0, 0, 0, 1 / 3.0f, 0, 0, 0, 0, 0.2f, 0, 0, 0, 0, 0.125f}, {2, 3, 2, 2}, {4, 3, 3, 4}, {4, 3, 3, 4},
       0, 0, {}},
      {"all magnitudes equal: the diagonal wins", {{2, -2}, {2, 2}}, {0, 4}, {}, {1, 1}, {1, 2}, {1, 2}, 0, 0, {}},
      // The 3s at (2,1) and (1,2) tie: column 1 is searched first, so rows 1
      // and 2 are interchanged and the columns are not.
      {"a tie across the diagonal", {{1, 3}, {3, 1}}, {4, 4}, {}, {1, 1}, {2, 2}, {1, 2}, 4 * FLT_EPSILON, 0, {}},
      {"just above the threshold", {{above}}, {1}, {}, {1 / above}, {}, {}, 0, 0, {}},
      {"just above, negative", {{-above}}, {1}, {}, {1 / -above}, {}, {}, 0, 0, {}},
      {"just below the threshold", {{nearest}}, {1}, {}, {}, {}, {}, 0, 1, {1}},
      {"just below, negative", {{-nearest}}, {1}, {}, {}, {}, {}, 0, 1, {1}},
      {"the tiny pivot last", {{1, 0}, {0, nearest}}, {1, 1}, {}, {}, {}, {}, 0, 2, {2}},
      {"a zero row: the 2 of column 2 is pivoted first", {{1, 2}, {0, 0}}, {1, 1}, {}, {}, {}, {}, 0, 2, {1}},
      // They go through the same operations and cancel exactly.
      {"two equal rows", {{1, 2, 3}, {1, 2, 3}, {0, 1, 5}}, {1, 1, 1}, {}, {}, {}, {}, 0, 3, {1}},
      {"overflowed equations", {{INFINITY, 1}, {1, 1}}, {1, 1}, {}, {}, {}, {}, 0, 1, {1, 2}},
      {"order 0 does nothing", {}, {}, {}, {}, {}, {}, 0, 0, {}},
  };
  for (const Case& c : cases) {
    const int n = static_cast<int>(c.m.size());
    const Inverted x = Invert(System(c.m, c.rhs), n);
    ASSERT_EQ(x.singular.has_value(), c.singularStep > 0) << c.what;
    if (x.singular) {
      EXPECT_EQ(x.singular->step, c.singularStep) << c.what;
      EXPECT_EQ(x.singular->unpivotedColumns, c.unpivoted) << c.what;
      continue;
    }
    EXPECT_TRUE(c.rowSwapRec.empty() || x.rowSwapRec == c.rowSwapRec) << c.what;
    EXPECT_TRUE(c.colSwapRec.empty() || x.colSwapRec == c.colSwapRec) << c.what;
    for (int i = 1; i <= n; ++i) {
      for (int j = 1; j <= n && !c.inverse.empty(); ++j)
        EXPECT_NEAR(x.a(i, j), c.inverse[(i - 1) * n + j - 1], c.tolerance) << c.what << " (" << i << "," << j << ")";
      EXPECT_NEAR(x.a(i, n + 1), c.solution[i - 1], c.tolerance) << c.what << ", solution " << i;
    }
  }
  Table2<float> rhs(1, 1);
  rhs(1, 1) = 5.0f;
  SolveColumns(rhs, 0, rhs, 1);
  EXPECT_EQ(rhs(1, 1), 5.0f) << "SolveColumns of order 0";
}

// A matrix of one of the kinds the callers hand over, or worse: small whole
// numbers full of ties and exact cancellations (0), general floats (1),
// symmetric counts, singular or nearly so (2), the same with two equal rows
// (3), nearly diagonal with pivots of both signs (4), whose zero multipliers
// carry the signs of zeros to the end, counts with a heavy diagonal (5), and
// sparse positive counts (6), whose steps leave most rows alone and whose
// pivots leave the diagonal. Kind 7 is one such matrix, found by search: a
// pivot off the diagonal moves a row's own large diagonal element off it, in
// a row the step leaves alone, and a later certain step must still see it.
Matrix RandomMatrix(std::mt19937& rng, int n, int kind) {
  if (kind == 7)
    return {{8, 0, 2, 6, 0, 6, 0, 0}, {9, 0, 0, 9, 0, 0, 0, 0}, {0, 0, 0, 0, 9, 0, 4, 0}, {0, 0, 0, 3, 0, 0, 0, 0},
            {0, 0, 5, 0, 8, 6, 9, 3}, {3, 0, 0, 5, 2, 0, 0, 0}, {2, 4, 5, 0, 9, 1, 0, 1}, {0, 9, 0, 4, 0, 0, 0, 0}};
  Matrix m(n, std::vector<float>(n));
  std::uniform_int_distribution<int> small(-3, 3), count(0, 4);
  std::uniform_real_distribution<float> real(-10.0f, 10.0f), unit(-1.0f, 1.0f);
  std::bernoulli_distribution offDiagonal(0.01 * std::uniform_int_distribution<int>(0, 4)(rng)), sparse(0.03);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      switch (kind) {
        case 0: m[i][j] = static_cast<float>(small(rng)); break;
        case 1: m[i][j] = real(rng); break;
        case 6: m[i][j] = i == j || sparse(rng) ? static_cast<float>(count(rng) + 1) : 0.0f; break;
        case 4: m[i][j] = i == j ? (unit(rng) < 0.5f ? -1.0f : 1.0f) * (2.0f + std::fabs(unit(rng)))
                                 : offDiagonal(rng) ? unit(rng) : 0.0f; break;
        default: m[i][j] = j < i ? m[j][i] : static_cast<float>(count(rng)) + (kind == 5 && i == j ? 40.0f : 0.0f);
      }
    }
  if (kind == 3 && n > 1) m[n - 1] = m[0];
  return m;
}

TEST(SolveColumns, FastFormsGiveTheBitsOfOneEliminationPerColumn) {
  // SolveColumns on the identity and three columns of thirds, and
  // InvertByElimination, against InvertMatrix with each column alone: the
  // same bits, or singular at the same step. Small orders of every kind,
  // every column; orders past the first band of 128 columns, where columns
  // of the identity join the elimination late with the signs their zeros
  // would have reached; and order 460, where the first steps and the bands
  // are shared among threads. InvertMatrix checks a few columns of the large.
  const struct { int trials, firstOrder, step, spread, kind; } cases[] = {
      {300, 1, 1, 40, -1}, {100, 129, 19, 7, -1}, {1, 460, 0, 1, 5}, {1, 8, 0, 1, 7}};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> value(-5, 5);
  int solved = 0, singular = 0, negativeZeros = 0;
  for (const auto& [trials, firstOrder, step, spread, fixedKind] : cases)
    for (int trial = 0; trial < trials; ++trial) {
      const int n = firstOrder + trial % spread * step;
      const int kind = fixedKind >= 0 ? fixedKind : n > 128 && trial % 2 == 0 ? 4 + trial % 4 : trial % 7;
      const std::string what = "order " + std::to_string(n) + ", kind " + std::to_string(kind);
      const Table2<float> a = System(RandomMatrix(rng, n, kind), std::vector<float>(n, 0.0f));
      Table2<float> rhs(n, n + 3), fast;
      for (int i = 1; i <= n; ++i)
        for (int c = 1; c <= n + 3; ++c) rhs(i, c) = c > n ? static_cast<float>(value(rng)) / 3.0f : c == i ? 1 : 0;
      std::optional<SingularEquations> fastFailure;
      try {
        fast = rhs;
        SolveColumns(a, n, fast, n + 3);
        const Table2<float> inverse = InvertByElimination(a, n);
        for (int i = 1; i <= n; ++i)
          for (int j = 1; j <= n; ++j) {
            negativeZeros += Bits(fast(i, j)) == 0x80000000u;
            ASSERT_EQ(Bits(fast(i, j)), Bits(inverse(i, j))) << what << " (" << i << "," << j << ")";
          }
      } catch (const SingularEquations& failure) {
        EXPECT_THROW(InvertByElimination(a, n), SingularEquations) << what;
        fastFailure = failure;
      }
      for (int c = 1; c <= n + 3; ++c) {
        if (n > 23 && c != 1 && c != n + 1) continue;
        Table2<float> one = a;
        for (int i = 1; i <= n; ++i) one(i, n + 1) = rhs(i, c);
        const Inverted x = Invert(one, n);
        ASSERT_EQ(x.singular.has_value(), fastFailure.has_value()) << what;
        if (x.singular) {
          EXPECT_EQ(fastFailure->step, x.singular->step) << what;
          EXPECT_EQ(fastFailure->unpivotedColumns, x.singular->unpivotedColumns) << what;
          break;
        }
        for (int i = 1; i <= n; ++i)
          ASSERT_EQ(Bits(fast(i, c)), Bits(x.a(i, n + 1)))
              << what << ", column " << c << ", row " << i << ": expected " << x.a(i, n + 1) << ", got " << fast(i, c);
      }
      ++(fastFailure ? singular : solved);
    }
  // Both outcomes, and the signs of zeros, must have been compared many times.
  EXPECT_GT(solved, 200) << singular << " singular";
  EXPECT_GT(singular, 30) << solved << " solved";
  EXPECT_GT(negativeZeros, 1000);
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
