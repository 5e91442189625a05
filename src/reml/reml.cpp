#include "reml/reml.h"

#include <Eigen/Dense>
#include <algorithm>
#include <array>
#include <boost/math/distributions/chi_squared.hpp>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>

#include "base/korvan_error.h"
#include "base/parallel.h"
#include "reml/mixed_model_equations.h"
#include "reml/trait_design.h"

namespace korvan {

namespace {

constexpr double kLog2Pi = 1.8378770664093454836;

// Vf, Vsf, Ve. A random term whose variance is 0 is left out of the model.
using Components = std::array<double, 3>;
constexpr int kVf = 0, kVsf = 1, kVe = 2;

// The REML log-likelihood at one point, its gradient and the average
// information, and the equations' solutions and inverse diagonal there.
struct Evaluation {
  double logL = 0;
  Eigen::Vector3d score = Eigen::Vector3d::Zero();
  Eigen::Matrix3d ai = Eigen::Matrix3d::Zero();
  EffectVectors solution;
  InverseDiagonal inverse;
  double residual = 0;            // y'y - sol'rhs = Ve y'Py
  double traceF = 0, traceC = 0;  // traces of the family and cell blocks of the inverse, over Ve
};

double Dot(const EffectVectors& a, const EffectVectors& b) {
  double sum = a.blocks.dot(b.blocks);
  if (a.families.size() > 0) sum += a.families.dot(b.families);
  if (a.cells.size() > 0) sum += a.cells.dot(b.cells);
  return sum;
}

// The totals by level (X, F, C)'w of the working variates w: F times the
// families' solutions over Vf, C times the cells' over Vsf, and the
// residuals over Ve, whose totals are the solutions times their ratios
// (the equations give W'y - W'W sol = diag(1/g) sol).
std::array<EffectVectors, 3> WorkingTotals(const TraitDesign& d, const Components& v, const Evaluation& ev, bool withF,
                                           bool withC) {
  std::array<EffectVectors, 3> w;
  for (auto& one : w) {
    one.blocks = Eigen::VectorXd::Zero(d.p);
    one.families = Eigen::VectorXd::Zero(withF ? d.nF : 0);
    one.cells = Eigen::VectorXd::Zero(withC ? d.nC : 0);
  }
  for (int c = 0; c < d.nC; ++c) {
    const int f = d.cellFamily[c];
    const double af = withF ? ev.solution.families[f] / v[kVf] : 0;
    const double ac = withC ? ev.solution.cells[c] / v[kVsf] : 0;
    for (int k = d.cellFirst[c]; k < d.cellFirst[c + 1]; ++k) {
      w[kVf].blocks[d.cellBlock[k]] += d.cellBlockN[k] * af;
      w[kVsf].blocks[d.cellBlock[k]] += d.cellBlockN[k] * ac;
    }
    if (withF) {
      w[kVf].families[f] += d.cellN[c] * af;
      w[kVsf].families[f] += d.cellN[c] * ac;
    }
    if (withC) {
      w[kVf].cells[c] = d.cellN[c] * af;
      w[kVsf].cells[c] = d.cellN[c] * ac;
    }
  }
  if (withF) w[kVe].families = ev.solution.families * (1 / v[kVf]);
  if (withC) w[kVe].cells = ev.solution.cells * (1 / v[kVsf]);
  return w;
}

// w_i'w_j of the working variates, from the same totals and solutions:
// w_f'w_e = a'F'e / Ve with F'e = sol_f Ve / Vf, and likewise for cells.
Eigen::Matrix3d WorkingProducts(const TraitDesign& d, const Components& v, const Evaluation& ev, bool withF, bool withC,
                                double residualSquares) {
  Eigen::Matrix3d ww = Eigen::Matrix3d::Zero();
  const double ve = v[kVe];
  if (withF) {
    const Eigen::VectorXd af = ev.solution.families / v[kVf];
    for (int f = 0; f < d.nF; ++f) ww(kVf, kVf) += d.familyN[f] * af[f] * af[f];
    ww(kVf, kVe) = af.dot(ev.solution.families) / v[kVf];
  }
  if (withC) {
    const Eigen::VectorXd ac = ev.solution.cells / v[kVsf];
    for (int c = 0; c < d.nC; ++c) {
      ww(kVsf, kVsf) += d.cellN[c] * ac[c] * ac[c];
      if (withF) ww(kVf, kVsf) += d.cellN[c] * ac[c] * ev.solution.families[d.cellFamily[c]] / v[kVf];
    }
    ww(kVsf, kVe) = ac.dot(ev.solution.cells) / v[kVsf];
  }
  ww(kVe, kVe) = residualSquares / (ve * ve);
  return ww.selfadjointView<Eigen::Upper>();
}

// The gradient from the traces of the inverse, with C^ii = Ve times the
// scaled inverse: dlogL/dVi = -(qi / Vi - Ve tr C^ii / Vi^2 - u'u / Vi^2) / 2,
// and for Ve through tr P = (n - p - sum (qi - Ve tr C^ii / Vi)) / Ve and
// y'PPy = e'e / Ve^2. Returns e'e = y'y - sol'W'y - sol' diag(1/g) sol.
double SetScore(const TraitDesign& d, const Components& v, Evaluation& ev) {
  const double ve = v[kVe];
  double trP = d.n - d.p, residualSquares = ev.residual;
  auto term = [&](int c, const Eigen::VectorXd& u, const Eigen::VectorXd& inverse, int q, double& trace) {
    trace = inverse.sum();
    const double vi = v[c], uu = u.squaredNorm();
    ev.score[c] = -0.5 * (q / vi - ve * trace / (vi * vi) - uu / (vi * vi));
    trP -= q - ve * trace / vi;
    residualSquares -= uu * ve / vi;
  };
  if (v[kVf] > 0) term(kVf, ev.solution.families, ev.inverse.families, d.nF, ev.traceF);
  if (v[kVsf] > 0) term(kVsf, ev.solution.cells, ev.inverse.cells, d.nC, ev.traceC);
  ev.score[kVe] = -0.5 * (trP / ve - residualSquares / (ve * ve));
  return residualSquares;
}

// AI_ij = w_i'Pw_j / 2 with P = (I - W C^-1 W') / Ve: the working
// variates' totals solved through the same equations.
void SetAverageInformation(const TraitDesign& d, const Components& v, const MixedModelEquations& equations,
                           double residualSquares, Evaluation& ev) {
  const bool withF = v[kVf] > 0, withC = v[kVsf] > 0;
  const std::array<EffectVectors, 3> totals = WorkingTotals(d, v, ev, withF, withC);
  const Eigen::Matrix3d ww = WorkingProducts(d, v, ev, withF, withC, residualSquares);
  const bool active[3] = {withF, withC, true};
  for (int j = 0; j < 3; ++j) {
    if (!active[j]) continue;
    const EffectVectors z = equations.Solve(totals[j]);
    for (int i = 0; i < 3; ++i)
      if (active[i]) ev.ai(i, j) = 0.5 * (ww(i, j) - Dot(totals[i], z)) / v[kVe];
  }
  ev.ai = (0.5 * (ev.ai + ev.ai.transpose())).eval();
}

// With R = Ve I and the scaled equations C: -2 logL = (n - p) log 2pi +
// log|V| + log|X'V^-1 X| + y'Py, where |V| |X'V^-1 X| = |R| |G| |C / Ve|
// gives (n - p) log Ve + log|C| + nF log gf + nC log gc, and y'Py =
// (y'y - sol'rhs) / Ve.
Evaluation Evaluate(const TraitDesign& d, const Components& v) {
  const double ve = v[kVe], gf = v[kVf] / ve, gc = v[kVsf] / ve;
  const MixedModelEquations equations(d, {gf, gc});
  Evaluation ev;
  const EffectVectors rhs = equations.RightHandSide();
  ev.solution = equations.Solve(rhs);
  ev.residual = d.yy - Dot(ev.solution, rhs);
  const double nFit = d.n - d.p;
  ev.logL = nFit * kLog2Pi + nFit * std::log(ve) + equations.LogDeterminant() + ev.residual / ve;
  if (gf > 0) ev.logL += d.nF * std::log(gf);
  if (gc > 0) ev.logL += d.nC * std::log(gc);
  ev.logL *= -0.5;
  ev.inverse = equations.InverseDiagonals();
  SetAverageInformation(d, v, equations, SetScore(d, v, ev), ev);
  return ev;
}

std::vector<int> ActiveOf(const Components& v) {
  std::vector<int> active;
  for (int i = 0; i < 3; ++i)
    if (v[i] > 0) active.push_back(i);
  return active;
}

// The inverse of the average information among the components in the
// model: their sampling covariances. Zero rows for a component held at 0;
// NaN throughout when the information is singular. Singular means so as
// the correlations of the estimates show it, whatever the units: an
// eigenvalue of the information scaled to unit diagonal below 1e-8, where
// two estimates would correlate to within 1e-8 of 1. Exactly 0 in exact
// arithmetic, a ridge comes out of the rounding anywhere up to about 1e-14.
Eigen::Matrix3d CovarianceOf(const Evaluation& ev, const Components& v) {
  const std::vector<int> active = ActiveOf(v);
  const int m = static_cast<int>(active.size());
  Eigen::MatrixXd sub(m, m);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) sub(i, j) = ev.ai(active[i], active[j]);
  Eigen::Matrix3d cov = Eigen::Matrix3d::Constant(kNotAvailable);
  if (!(sub.diagonal().minCoeff() > 0)) return cov;
  const Eigen::VectorXd scale = sub.diagonal().cwiseSqrt().cwiseInverse();
  const Eigen::MatrixXd unit = scale.asDiagonal() * sub * scale.asDiagonal();
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(unit, Eigen::EigenvaluesOnly);
  if (eigen.info() != Eigen::Success || !(eigen.eigenvalues().minCoeff() > 1e-8)) return cov;
  const Eigen::LDLT<Eigen::MatrixXd> factor(sub);
  if (factor.info() != Eigen::Success || !(factor.vectorD().minCoeff() > 0)) return cov;
  const Eigen::MatrixXd inverse = factor.solve(Eigen::MatrixXd::Identity(m, m));
  cov.setZero();
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) cov(active[i], active[j]) = inverse(i, j);
  return cov;
}

// The EM step, Vi = (u'u + Ve tr C^ii) / qi and Ve = (y'y - sol'rhs) /
// (n - p): slow, but it never lowers the likelihood and keeps every
// variance above 0, so it is the step taken where the AI step fails.
Components EmStep(const TraitDesign& d, const Components& v, const Evaluation& ev) {
  Components next = v;
  if (v[kVf] > 0) next[kVf] = (ev.solution.families.squaredNorm() + v[kVe] * ev.traceF) / d.nF;
  if (v[kVsf] > 0) next[kVsf] = (ev.solution.cells.squaredNorm() + v[kVe] * ev.traceC) / d.nC;
  next[kVe] = ev.residual / (d.n - d.p);
  return next;
}

// AI^-1 g among the variances in the model. The average information is
// W'PW / 2 for the working variates W, never indefinite but singular where
// two variances are confounded in the data at hand (two families at two
// sites); a multiple of its mean diagonal added, the smallest that makes it
// positive definite, then steps along the gradient in the confounded
// direction. False when even that fails.
bool SolveAi(const Evaluation& ev, const std::vector<int>& active, Eigen::VectorXd& step, Eigen::VectorXd& score) {
  const int m = static_cast<int>(active.size());
  Eigen::MatrixXd ai(m, m);
  score.resize(m);
  for (int i = 0; i < m; ++i) {
    score[i] = ev.score[active[i]];
    for (int j = 0; j < m; ++j) ai(i, j) = ev.ai(active[i], active[j]);
  }
  const double meanDiagonal = ai.diagonal().mean();
  for (double damping = 0; damping <= 1; damping = damping == 0 ? 1e-10 : damping * 100) {
    Eigen::MatrixXd damped = ai;
    damped.diagonal().array() += damping * meanDiagonal;
    const Eigen::LDLT<Eigen::MatrixXd> factor(damped);
    if (factor.info() != Eigen::Success || !(factor.vectorD().minCoeff() > 0)) continue;
    step = factor.solve(score);
    return true;
  }
  return false;
}

// The Newton step with the average information. A variance that the step
// takes below 0 is moved a tenth of the way there instead, so that an
// overshoot far from the maximum does not end the term; once it is that
// small against the total, the term is dropped.
Components AiStep(const TraitDesign& d, const Components& v, const Evaluation& ev, bool& usable, int& belowZero) {
  belowZero = -1;
  const std::vector<int> active = ActiveOf(v);
  Eigen::VectorXd step, score;
  usable = SolveAi(ev, active, step, score);
  if (!usable) return EmStep(d, v, ev);
  const double total = v[kVf] + v[kVsf] + v[kVe];
  Components next = v;
  for (std::size_t i = 0; i < active.size(); ++i) {
    const int c = active[i];
    next[c] = v[c] + step[static_cast<Eigen::Index>(i)];
    if (next[c] > 0) continue;
    if (c == kVe) return EmStep(d, v, ev);
    next[c] = v[c] < 1e-6 * total ? 0 : v[c] / 10;
    belowZero = c;
  }
  return next;
}

// A trial of a million trees has a log-likelihood of some 1e6, whose
// rounding alone moves it by more than 1e-8: a change within that rounding
// is no change, neither a rise nor a fall.
double RoundingOf(double logL) { return 64 * std::numeric_limits<double>::epsilon() * std::abs(logL); }

struct Iterated {
  bool converged = false;
  int iterations = 0;
  Components v{};
  Evaluation ev;
};

double LargestRelativeChange(const Components& from, const Components& to) {
  double largest = 0;
  for (int i = 0; i < 3; ++i) {
    if (from[i] == to[i]) continue;
    largest = std::max(largest, std::abs(to[i] - from[i]) / std::max(std::abs(to[i]), std::abs(from[i])));
  }
  return largest;
}

// The likelihood rises as variance c leaves 0, the others held: tried a
// millionth of the total variance away, where the rise of a slope of order
// one stands well above the rounding of a log-likelihood.
bool RisesFromZero(const TraitDesign& d, const Components& atZero, double logLAtZero, int c) {
  Components trial = atZero;
  trial[c] = 1e-6 * (atZero[kVf] + atZero[kVsf] + atZero[kVe]);
  return Evaluate(d, trial).logL > logLAtZero;
}

// Near a maximum on the boundary the likelihood is nearly linear in the
// variance that should be 0, and the average information, which is no
// Hessian there, makes steps that shrink with it and never reach it. A
// variance of a few percent of the total whose likelihood still falls as it
// grows is dropped when the model without it is at least as likely and the
// likelihood falls as the variance leaves 0: a small variance at an inner
// maximum stays.
void DropVanishingTerms(const TraitDesign& d, Components& v, Evaluation& ev) {
  const double total = v[kVf] + v[kVsf] + v[kVe];
  for (int c : {kVf, kVsf}) {
    if (!(v[c] > 0 && v[c] < 0.05 * total && ev.score[c] < 0)) continue;
    Components without = v;
    without[c] = 0;
    Evaluation evWithout = Evaluate(d, without);
    if (evWithout.logL < ev.logL || RisesFromZero(d, without, evWithout.logL, c)) continue;
    v = without;
    ev = std::move(evWithout);
  }
}

// The AI steps converge linearly where the average information is not the
// Hessian, so the last change below the tolerance may leave an error of
// its size. One more step takes that to about its square at the cost of
// one evaluation. So close to the maximum the likelihood changes less than
// its own rounding, so only a larger fall rejects the step.
void Polish(const TraitDesign& d, Iterated& it) {
  bool newton = false;
  int belowZero = -1;
  const Components next = AiStep(d, it.v, it.ev, newton, belowZero);
  if (!newton || ActiveOf(next).size() < ActiveOf(it.v).size()) return;
  Evaluation ev = Evaluate(d, next);
  if (ev.logL < it.ev.logL - RoundingOf(it.ev.logL)) return;
  it.v = next;
  it.ev = std::move(ev);
}

// g' AI^-1 g among the variances in the model: twice the rise that the
// quadratic model of the likelihood still expects.
double NewtonDecrement(const Evaluation& ev, const Components& v) {
  Eigen::VectorXd step, score;
  return SolveAi(ev, ActiveOf(v), step, score) ? score.dot(step) : 0;
}

// Along a ridge of the likelihood, where two variances are nearly
// confounded, the average information overstates the curvature and the
// steps creep: a step after which the likelihood expects nearly as much
// rise as before is doubled while that raises it and keeps every variance
// above 0.
void ExtendStep(const TraitDesign& d, const Components& from, Components& next, Evaluation& ev) {
  Components step;
  for (int i = 0; i < 3; ++i) step[i] = next[i] - from[i];
  for (double multiple = 2; multiple <= 64; multiple *= 2) {
    Components farther = from;
    bool positive = true;
    for (int i = 0; i < 3; ++i) {
      farther[i] += multiple * step[i];
      positive = positive && (from[i] == 0 || farther[i] > 0);
    }
    if (!positive) return;
    Evaluation evFarther = Evaluate(d, farther);
    if (!(evFarther.logL > ev.logL)) return;
    next = farther;
    ev = std::move(evFarther);
  }
}

// The step wanted variance c below 0, where the other variances' share of
// it, computed for that, is no good step either: the model without the term
// is taken when it is the more likely.
void TryWithout(const TraitDesign& d, const Components& from, int c, Components& next, Evaluation& ev) {
  Components without = from;
  without[c] = 0;
  Evaluation evWithout = Evaluate(d, without);
  if (!(evWithout.logL > ev.logL)) return;
  next = without;
  ev = std::move(evWithout);
}

// The step left the likelihood expecting at least a quarter of the rise it
// expected before, and that rise is still worth having: near the maximum
// both are rounding.
bool Creeping(double decrementBefore, double decrementAfter) {
  return decrementAfter > 1e-6 && decrementAfter > 0.25 * decrementBefore;
}

// One iteration: the AI step, halved while the likelihood falls, or the EM
// step, which never lowers it, when halving does not help.
Components StepFrom(const TraitDesign& d, const Iterated& it, Evaluation& ev) {
  bool newton = false;
  int belowZero = -1;
  Components next = AiStep(d, it.v, it.ev, newton, belowZero);
  ev = Evaluate(d, next);
  const bool termDropped = ActiveOf(next).size() < ActiveOf(it.v).size();
  const double floor = it.ev.logL - RoundingOf(it.ev.logL);
  for (int halving = 0; newton && !termDropped && ev.logL < floor && halving < 8; ++halving) {
    for (int i = 0; i < 3; ++i) next[i] = 0.5 * (next[i] + it.v[i]);
    ev = Evaluate(d, next);
  }
  if (ev.logL < floor && !termDropped) {
    next = EmStep(d, it.v, it.ev);
    ev = Evaluate(d, next);
  } else if (newton && !termDropped && Creeping(NewtonDecrement(it.ev, it.v), NewtonDecrement(ev, next))) {
    ExtendStep(d, it.v, next, ev);
  }
  if (belowZero >= 0) TryWithout(d, it.v, belowZero, next, ev);
  DropVanishingTerms(d, next, ev);
  return next;
}

Iterated Iterate(const TraitDesign& d, const Components& start, const RemlOptions& options) {
  Iterated it;
  it.v = start;
  it.ev = Evaluate(d, it.v);
  while (it.iterations < options.maxIterations) {
    ++it.iterations;
    Evaluation ev;
    const Components next = StepFrom(d, it, ev);
    const double rise = ev.logL - it.ev.logL;
    const double change = LargestRelativeChange(it.v, next);
    it.v = next;
    it.ev = std::move(ev);
    if (std::abs(rise) < std::max(options.logLTolerance, RoundingOf(it.ev.logL)) &&
        change < options.relativeTolerance) {
      it.converged = true;
      break;
    }
  }
  if (it.converged) Polish(d, it);
  return it;
}

// A term dropped on the way may have been dropped by an overshoot: when the
// likelihood rises as its variance leaves 0, the fit resumes from there.
Iterated IterateToMaximum(const TraitDesign& d, const Components& start, const std::array<bool, 3>& allowed,
                          const RemlOptions& options) {
  Iterated it = Iterate(d, start, options);
  for (int c : {kVf, kVsf}) {
    if (!it.converged || !allowed[c] || it.v[c] > 0) continue;
    if (!RisesFromZero(d, it.v, it.ev.logL, c)) continue;
    Components trial = it.v;
    trial[c] = 1e-3 * (it.v[kVf] + it.v[kVsf] + it.v[kVe]);
    const int before = it.iterations;
    RemlOptions rest = options;
    rest.maxIterations = std::max(1, options.maxIterations - before);
    it = Iterate(d, trial, rest);
    it.iterations += before;
  }
  return it;
}

double HarmonicMean(const std::vector<double>& values) {
  double sum = 0;
  for (const double x : values) sum += 1 / x;
  return static_cast<double>(values.size()) / sum;
}

// g(v) with the delta-method standard error from the covariances.
RemlValue Derived(double value, const Eigen::Vector3d& gradient, const Eigen::Matrix3d& cov) {
  RemlValue out;
  out.value = value;
  const double variance = gradient.dot(cov * gradient);
  out.se = variance >= 0 ? std::sqrt(variance) : kNotAvailable;
  return out;
}

// The share of the additive variance that Vf holds, 4 for a quarter.
double AdditiveMultiple(FamilyKind kind) {
  switch (kind) {
    case FamilyKind::kHalfSib:
      return 4;
    case FamilyKind::kFullSib:
      return 2;
    case FamilyKind::kClone:
      return 1;
    case FamilyKind::kUnknown:
      break;
  }
  return 0;
}

// The variance of a family mean is Vf + Vsf / s + Ve / t, s the sites and t
// the trees of a family; over unequal families their harmonic means, which
// weigh the families as the precision of their means does. A ratio with a
// variance held at 0 has no delta-method error: the estimate is not
// normal there.
void SetRatios(const TraitDesign& d, const Components& v, const Eigen::Matrix3d& cov, FamilyKind kind,
               UnivariateFit& fit) {
  const std::vector<double> sites(d.sitesOfFamily.begin(), d.sitesOfFamily.end());
  const double s = HarmonicMean(sites), t = HarmonicMean(d.familyN);
  const double vf = v[kVf], vsf = v[kVsf], ve = v[kVe];
  const bool onBoundary = vf == 0 || (fit.siteFamilyFitted && vsf == 0);
  const Eigen::Matrix3d errors = onBoundary ? Eigen::Matrix3d::Constant(kNotAvailable) : cov;
  const double meanVariance = vf + vsf / s + ve / t;
  fit.h2FamilyMean = Derived(
      vf / meanVariance, Eigen::Vector3d(vsf / s + ve / t, -vf / s, -vf / t) / (meanVariance * meanVariance), errors);
  const double multiple = AdditiveMultiple(kind), vp = vf + vsf + ve;
  if (multiple > 0)
    fit.h2Tree = Derived(multiple * vf / vp, Eigen::Vector3d(vp - vf, -vf, -vf) * (multiple / (vp * vp)), errors);
  const double genetic = vf + vsf;
  if (fit.siteFamilyFitted && genetic > 0)
    fit.rB = Derived(vf / genetic, Eigen::Vector3d(vsf, -vf, 0) / (genetic * genetic), errors);
}

void SetBlups(const TraitDesign& d, const Components& v, const Evaluation& ev, UnivariateFit& fit) {
  const bool withF = v[kVf] > 0, withC = v[kVsf] > 0;
  for (int f = 0; f < d.nF; ++f) {
    FamilyBlup blup;
    blup.family = d.familyOf[f];
    blup.blup = withF ? ev.solution.families[f] : 0;
    blup.pev = withF ? v[kVe] * ev.inverse.families[f] : 0;
    if (withF) blup.accuracy = std::sqrt(std::max(0.0, 1 - blup.pev / v[kVf]));
    fit.families.push_back(blup);
  }
  if (!fit.siteFamilyFitted) return;
  for (int c = 0; c < d.nC; ++c) {
    CellBlup blup;
    blup.site = d.siteOf[d.cellSite[c]];
    blup.family = d.familyOf[d.cellFamily[c]];
    blup.blup = withC ? ev.solution.cells[c] : 0;
    blup.pev = withC ? v[kVe] * ev.inverse.cells[c] : 0;
    fit.cells.push_back(blup);
  }
}

RemlValue Component(const Components& v, const Eigen::Matrix3d& cov, int c, bool fitted) {
  RemlValue out;
  if (!fitted) return out;
  out.value = v[c];
  out.atBoundary = v[c] == 0;
  if (!out.atBoundary && cov(c, c) >= 0) out.se = std::sqrt(cov(c, c));
  return out;
}

// The fit without one term; twice the rise in log-likelihood that the term
// brings, tested against half chi-square 0 and half chi-square 1.
LikelihoodRatio TestTerm(const TraitDesign& d, const Iterated& full, int c, const std::array<bool, 3>& allowed,
                         const RemlOptions& options, std::string& note) {
  LikelihoodRatio test;
  double without = full.ev.logL;
  if (full.v[c] > 0) {
    // The variance of the term dropped goes to the one that takes its
    // place: the cells take the families' where they are fitted, the error
    // the rest.
    Components start = full.v;
    start[c == kVf && allowed[kVsf] ? kVsf : kVe] += start[c];
    start[c] = 0;
    std::array<bool, 3> reduced = allowed;
    reduced[c] = false;
    // The test is lost, not the fit it tests, when the fit without the
    // term fails.
    Iterated fit;
    try {
      fit = IterateToMaximum(d, start, reduced, options);
    } catch (const NotPositiveDefinite&) {
      fit.converged = false;
    }
    if (!fit.converged) {
      note += std::string(note.empty() ? "" : "; ") + "the fit without " + (c == kVf ? "families" : "site x family") +
              " did not converge, so its test is missing";
      return test;
    }
    without = fit.ev.logL;
  }
  test.statistic = std::max(0.0, 2 * (full.ev.logL - without));
  const boost::math::chi_squared chi1(1);
  test.pValue = 0.5 * boost::math::cdf(boost::math::complement(chi1, test.statistic));
  return test;
}

// Why a trait gives no estimate, or an empty text when it can.
std::string WhyNotEstimable(const TraitDesign& d, double withinSquares) {
  if (d.n == 0) return "no tree has a value of this trait";
  if (d.nF < 2) return "fewer than 2 families have a value of this trait";
  if (d.n <= d.p + d.nF) return "too few trees with this trait for the blocks and families they stand in";
  // Sums of squares of values that all equal their block's mean still
  // carry the rounding of the totals: a few units in the last place of y'y.
  if (!(withinSquares > 64 * 2.2e-16 * (d.yy + d.mean * d.mean * d.n)))
    return "the values of this trait do not vary within blocks";
  // Families then span whole blocks, and the fixed blocks take up every
  // family effect.
  std::vector<int> familiesInBlock(static_cast<std::size_t>(d.p), 0);
  for (int c = 0; c < d.nC; ++c)
    for (int k = d.cellFirst[c]; k < d.cellFirst[c + 1]; ++k) ++familiesInBlock[d.cellBlock[k]];
  if (*std::max_element(familiesInBlock.begin(), familiesInBlock.end()) < 2)
    return "every block holds trees of one family only, so families cannot be told apart from blocks";
  return "";
}

// Why the site x family term is left out, or an empty text. A family at one
// site only has its cell for its family: the two variances are told apart
// by the families at several sites. A cell of one tree is that tree's
// error.
std::string WhyNoSiteFamily(const TraitDesign& d) {
  if (d.nSite == 1) return "one site: fitted without site x family";
  if (d.nC == d.nF) return "no family has trees at two sites: fitted without site x family";
  if (*std::max_element(d.cellN.begin(), d.cellN.end()) < 2)
    return "every site x family cell has one tree, so site x family cannot be told apart from error: fitted "
           "without it";
  return "";
}

// False when the estimate has no standard errors: a variance the data do
// not determine would be reported at whatever value the iterations left it.
bool FitFrom(const TraitDesign& d, const Components& start, const std::array<bool, 3>& allowed,
             const RemlOptions& options, UnivariateFit& fit) {
  const Iterated full = IterateToMaximum(d, start, allowed, options);
  fit.iterations = full.iterations;
  fit.status = full.converged ? FitStatus::kConverged : FitStatus::kNotConverged;
  if (!full.converged)
    fit.note += std::string(fit.note.empty() ? "" : "; ") + "not converged: stopped at the limit of " +
                std::to_string(options.maxIterations) + (options.maxIterations == 1 ? " iteration" : " iterations") +
                ", the values are the last iteration's";
  fit.logLikelihood = full.ev.logL;
  const Eigen::Matrix3d cov = CovarianceOf(full.ev, full.v);
  if (full.converged && std::isnan(cov(kVe, kVe))) return false;
  fit.vf = Component(full.v, cov, kVf, true);
  fit.vsf = Component(full.v, cov, kVsf, fit.siteFamilyFitted);
  fit.ve = Component(full.v, cov, kVe, true);
  SetRatios(d, full.v, cov, options.familyKind, fit);
  SetBlups(d, full.v, full.ev, fit);
  if (full.converged) {
    fit.testVf = TestTerm(d, full, kVf, allowed, options, fit.note);
    if (fit.siteFamilyFitted) fit.testVsf = TestTerm(d, full, kVsf, allowed, options, fit.note);
  }
  return true;
}

}  // namespace

UnivariateFit FitTrait(const RemlTrees& trees, int trait, const RemlOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  if (trait < 0 || trait >= trees.nTrait)
    throw KorvanError("REML was asked for trait " + std::to_string(trait + 1) + " of a run with " +
                      std::to_string(trees.nTrait) + " traits");
  UnivariateFit fit;
  const TraitDesign d = DesignOfTrait(trees, trait);
  fit.trees = d.n;
  double withinSquares = d.yy;
  for (int b = 0; b < d.p; ++b) withinSquares -= d.blockY[b] * d.blockY[b] / d.blockN[b];
  fit.note = WhyNotEstimable(d, withinSquares);
  auto finish = [&]() -> UnivariateFit& {
    fit.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return fit;
  };
  if (!fit.note.empty()) return finish();

  fit.note = WhyNoSiteFamily(d);
  fit.siteFamilyFitted = fit.note.empty();
  const std::array<bool, 3> allowed = {true, fit.siteFamilyFitted, true};
  // Start from the within-block variance, a tenth to each random term.
  const double within = withinSquares / (d.n - d.p);
  const Components start = {0.1 * within, fit.siteFamilyFitted ? 0.1 * within : 0, 0.8 * within};
  std::string why;
  try {
    if (!FitFrom(d, start, allowed, options, fit))
      why = "the data do not tell the variances apart: their information matrix is singular at the estimate";
  } catch (const NotPositiveDefinite&) {
    why = "the mixed-model equations became singular: the design does not separate blocks and families";
  }
  if (!why.empty()) {
    fit = UnivariateFit{};
    fit.trees = d.n;
    fit.note = why;
  }
  return finish();
}

std::vector<UnivariateFit> FitTraits(const RemlTrees& trees, const RemlOptions& options) {
  std::vector<UnivariateFit> fits(static_cast<std::size_t>(trees.nTrait));
  ForEachChunk(trees.nTrait, static_cast<double>(trees.Trees()) * trees.nTrait,
               [&](int t) { fits[static_cast<std::size_t>(t)] = FitTrait(trees, t, options); });
  return fits;
}

}  // namespace korvan
