#pragma once

// Uncertainty and tests from the mean squares of one analysis: no other model
// is fitted. Every quantity is a function of the mean squares (or mean cross
// products) of the Family, Site*Family and Error lines, which are taken as
// independent, each with the sampling variance of a normal sample.

#include <array>
#include <optional>

namespace korvan {

// The three lines whose mean squares the components are made of.
enum StatLine { kStatFamily, kStatSiteFam, kStatError, kStatLines };
using LineValues = std::array<double, kStatLines>;

struct EmsCoefficients {
  double kF = 0, kFSF = 0, kSF = 0;  // E.M.S.: Family Ve + kFSF Vsf + kF Vf; Site*Family Ve + kSF Vsf
};

// Vf, Vsf and Ve as weights on the three mean squares (rows 0..2): the
// E.M.S. table solved from the bottom up.
std::array<LineValues, 3> ComponentWeights(const EmsCoefficients& k);

struct Estimate {
  double estimate = 0;
  double se = 0;
};

// scale * (u . M) / (v . M) with its delta-method standard error, M the mean
// squares with variances 2 M^2 / (df + 2); nothing when v . M is 0.
std::optional<Estimate> RatioOfLines(const LineValues& u, const LineValues& v, double scale, const LineValues& ms,
                                     const LineValues& df);

// The standard error of w . M, a linear combination of mean squares.
double LinearSe(const LineValues& w, const LineValues& ms, const LineValues& df);

// The mean squares of two traits and their mean cross products, line by line.
struct PairLines {
  LineValues xx{}, xy{}, yy{};
};

// (w . Mxy) / sqrt((w . Mxx)(w . Myy)) with its delta-method standard error:
// within a line the three values vary as a Wishart matrix does,
// Cov(Mab, Mcd) = (Mac Mbd + Mad Mbc) / (df + 2). Nothing unless both
// variances are above 0.
std::optional<Estimate> CorrelationOfLines(const LineValues& w, const PairLines& m, const LineValues& df);

struct FTest {
  double f = 0, dfNumerator = 0, dfDenominator = 0, p = 0;
};

// Site*Family against Error.
std::optional<FTest> SiteFamilyTest(const LineValues& ms, const LineValues& df);
// Family against Ve + (kFSF / kSF)(M.S. Site*Family - Ve), with
// Satterthwaite's degrees of freedom; nothing when that mean square is not
// above 0.
std::optional<FTest> FamilyTest(const EmsCoefficients& k, const LineValues& ms, const LineValues& df);

// P(F > f) for an F distribution with these degrees of freedom.
double UpperTailF(double f, double df1, double df2);

// Intervals are at 90 %, the level of the heritability intervals breeders
// publish, and the level of +-1.645 standard errors they are set beside.
inline constexpr double kIntervalLevel = 0.9;

struct Bounds {
  double lower = 0, upper = 0;
};

// The 90 % interval of h2 = 1 - E(denominator) / E(M_F) from the Family
// test: (M_F / E(M_F)) / (D / E(D)) is F-distributed, exactly so where the
// design is balanced (Knapp, Stroup & Ross 1985), approximately with
// Satterthwaite's d.f. otherwise. Nothing unless F > 0 and both d.f. are.
std::optional<Bounds> HeritabilityBounds(const FTest& familyTest);

// The 90 % interval of a correlation on Fisher's z scale, atanh(r) with
// standard error se / (1 - r^2); nothing unless |r| < 1 and se is finite.
std::optional<Bounds> FisherZBounds(double r, double se);

}  // namespace korvan
