#include "results/statistics.h"

#include <boost/math/distributions/fisher_f.hpp>
#include <cmath>

namespace korvan {

namespace {

double Dot(const LineValues& a, const LineValues& b) {
  double sum = 0;
  for (int k = 0; k < kStatLines; ++k) sum += a[k] * b[k];
  return sum;
}

// The sampling variance of a mean square, unbiased under normality.
double MsVariance(double ms, double df) { return 2 * ms * ms / (df + 2); }

}  // namespace

std::array<LineValues, 3> ComponentWeights(const EmsCoefficients& k) {
  const LineValues ve = {0, 0, 1};
  const LineValues vsf = {0, 1 / k.kSF, -1 / k.kSF};
  LineValues vf{};
  for (int i = 0; i < kStatLines; ++i) vf[i] = ((i == kStatFamily) - k.kFSF * vsf[i] - ve[i]) / k.kF;
  return {vf, vsf, ve};
}

double LinearSe(const LineValues& w, const LineValues& ms, const LineValues& df) {
  double var = 0;
  for (int k = 0; k < kStatLines; ++k) var += w[k] * w[k] * MsVariance(ms[k], df[k]);
  return std::sqrt(var);
}

std::optional<Estimate> RatioOfLines(const LineValues& u, const LineValues& v, double scale, const LineValues& ms,
                                     const LineValues& df) {
  const double num = Dot(u, ms), den = Dot(v, ms);
  if (den == 0) return std::nullopt;
  // d(N/D)/dM = (u D - N v) / D^2
  LineValues gradient{};
  for (int k = 0; k < kStatLines; ++k) gradient[k] = scale * (u[k] * den - num * v[k]) / (den * den);
  return Estimate{scale * num / den, LinearSe(gradient, ms, df)};
}

std::optional<Estimate> CorrelationOfLines(const LineValues& w, const PairLines& m, const LineValues& df) {
  const double sxx = Dot(w, m.xx), sxy = Dot(w, m.xy), syy = Dot(w, m.yy);
  if (!(sxx > 0 && syy > 0)) return std::nullopt;
  const double r = sxy / std::sqrt(sxx * syy);
  // Gradient of r in (Mxx, Mxy, Myy) of one line, times that line's weight.
  const double gxx = -0.5 * r / sxx, gxy = 1 / std::sqrt(sxx * syy), gyy = -0.5 * r / syy;
  double var = 0;
  for (int k = 0; k < kStatLines; ++k) {
    const double a = m.xx[k], b = m.xy[k], c = m.yy[k], n = df[k] + 2;
    const double vxx = 2 * a * a / n, vyy = 2 * c * c / n, vxy = (a * c + b * b) / n;
    const double cxxxy = 2 * a * b / n, cyyxy = 2 * c * b / n, cxxyy = 2 * b * b / n;
    const double g[3] = {gxx * w[k], gxy * w[k], gyy * w[k]};
    var += g[0] * g[0] * vxx + g[1] * g[1] * vxy + g[2] * g[2] * vyy +
           2 * (g[0] * g[1] * cxxxy + g[1] * g[2] * cyyxy + g[0] * g[2] * cxxyy);
  }
  return Estimate{r, std::sqrt(std::max(var, 0.0))};
}

double UpperTailF(double f, double df1, double df2) {
  const boost::math::fisher_f_distribution<double> dist(df1, df2);
  return boost::math::cdf(boost::math::complement(dist, std::max(f, 0.0)));
}

std::optional<Bounds> HeritabilityBounds(const FTest& test) {
  if (!(test.f > 0 && test.dfNumerator > 0 && test.dfDenominator > 0) || !std::isfinite(test.dfDenominator))
    return std::nullopt;
  const boost::math::fisher_f_distribution<double> dist(test.dfNumerator, test.dfDenominator);
  // A large F quantile bounds the ratio of expectations from below.
  return Bounds{1 - boost::math::quantile(dist, 0.95) / test.f, 1 - boost::math::quantile(dist, 0.05) / test.f};
}

std::optional<Bounds> FisherZBounds(double r, double se) {
  if (!(std::abs(r) < 1) || !std::isfinite(se)) return std::nullopt;
  constexpr double kZ95 = 1.6448536269514722;
  const double z = std::atanh(r), seZ = se / (1 - r * r);
  return Bounds{std::tanh(z - kZ95 * seZ), std::tanh(z + kZ95 * seZ)};
}

std::optional<FTest> SiteFamilyTest(const LineValues& ms, const LineValues& df) {
  if (!(ms[kStatError] > 0)) return std::nullopt;
  const double f = ms[kStatSiteFam] / ms[kStatError];
  return FTest{f, df[kStatSiteFam], df[kStatError], UpperTailF(f, df[kStatSiteFam], df[kStatError])};
}

std::optional<FTest> FamilyTest(const EmsCoefficients& k, const LineValues& ms, const LineValues& df) {
  const double a = k.kFSF / k.kSF;
  const double siteFamPart = a * ms[kStatSiteFam], errorPart = (1 - a) * ms[kStatError];
  const double denominator = siteFamPart + errorPart;
  if (!(denominator > 0)) return std::nullopt;
  // Satterthwaite: the combination's d.f. from its parts' squares.
  const double dfDen = denominator * denominator /
                       (siteFamPart * siteFamPart / df[kStatSiteFam] + errorPart * errorPart / df[kStatError]);
  const double f = ms[kStatFamily] / denominator;
  return FTest{f, df[kStatFamily], dfDen, UpperTailF(f, df[kStatFamily], dfDen)};
}

}  // namespace korvan
