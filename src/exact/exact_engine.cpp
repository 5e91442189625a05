#include "exact/exact_engine.h"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <cmath>
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "base/korvan_error.h"

namespace korvan {

namespace {

using Matrix = Eigen::MatrixXd;
// Levels by traits, one level's traits side by side: a record reads one row.
using LevelMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Vector = Eigen::VectorXd;

// The design as counts, and the centred trait sums of every level.
struct Sums {
  int nT = 0, nS = 0, nR = 0, nF = 0, nC = 0, n = 0;
  std::vector<int> siteOfRep, familyOfCell;
  Vector nSite, nRep, nFam, nCell;  // records per level
  Matrix repFam;                    // N: records of each block and family
  Matrix siteFam;                   // records of each site and family
  std::vector<double> mean;         // of each trait, taken off every value
  LevelMatrix tSite, tRep, tFam, tCell;  // level totals of the centred values
  LevelMatrix rhsSiteF, rhsRepF;    // sums of deviations from the family means
  LevelMatrix rhsRepCell;           // sums of deviations from the cell means
  Matrix withinCell;                // cross products of deviations from the cell means
  Matrix yy;                        // cross products of the centred values
};

struct Levels {
  const std::int32_t *site, *rep, *fam, *cell;
};

Sums GatherSums(const RunData& run) {
  Sums s;
  s.nT = run.nTrait;
  s.nS = run.nSite;
  s.nR = run.nRep;
  s.nF = run.nFamily;
  s.nC = run.nSF;
  s.n = run.nRecord;
  const Levels col{run.recordColumn.Factor(2), run.recordColumn.Factor(3), run.recordColumn.Factor(4),
                   run.recordColumn.Factor(5)};
  const int offS = run.colOffset[2] + 1, offR = run.colOffset[3] + 1, offF = run.colOffset[4] + 1,
            offC = run.colOffset[5] + 1;

  s.mean.assign(static_cast<std::size_t>(s.nT) + 1, 0.0);
  for (int t = 1; t <= s.nT; ++t) {
    const double* y = run.traitValue.Trait(t);
    double sum = 0;
    for (int i = 1; i <= s.n; ++i) sum += y[i];
    s.mean[t] = sum / s.n;
  }

  s.siteOfRep.assign(static_cast<std::size_t>(s.nR), 0);
  s.familyOfCell.assign(static_cast<std::size_t>(s.nC), 0);
  s.nSite = Vector::Zero(s.nS);
  s.nRep = Vector::Zero(s.nR);
  s.nFam = Vector::Zero(s.nF);
  s.nCell = Vector::Zero(s.nC);
  s.repFam = Matrix::Zero(s.nR, s.nF);
  s.tSite = LevelMatrix::Zero(s.nS, s.nT);
  s.tRep = LevelMatrix::Zero(s.nR, s.nT);
  s.tFam = LevelMatrix::Zero(s.nF, s.nT);
  s.tCell = LevelMatrix::Zero(s.nC, s.nT);
  s.yy = Matrix::Zero(s.nT, s.nT);
  std::vector<double> y(static_cast<std::size_t>(s.nT));
  auto centred = [&](int i) {
    for (int t = 0; t < s.nT; ++t) y[static_cast<std::size_t>(t)] = run.traitValue.AsWritten(i, t + 1) - s.mean[static_cast<std::size_t>(t) + 1];
  };
  for (int i = 1; i <= s.n; ++i) {
    const int si = col.site[i] - offS, r = col.rep[i] - offR, f = col.fam[i] - offF, c = col.cell[i] - offC;
    s.siteOfRep[static_cast<std::size_t>(r)] = si;
    s.familyOfCell[static_cast<std::size_t>(c)] = f;
    s.nSite(si) += 1;
    s.nRep(r) += 1;
    s.nFam(f) += 1;
    s.nCell(c) += 1;
    s.repFam(r, f) += 1;
    centred(i);
    for (int t = 0; t < s.nT; ++t) {
      const double v = y[static_cast<std::size_t>(t)];
      s.tSite(si, t) += v;
      s.tRep(r, t) += v;
      s.tFam(f, t) += v;
      s.tCell(c, t) += v;
    }
  }
  s.siteFam = Matrix::Zero(s.nS, s.nF);
  for (int r = 0; r < s.nR; ++r) s.siteFam.row(s.siteOfRep[static_cast<std::size_t>(r)]) += s.repFam.row(r);

  const LevelMatrix famMean = s.tFam.array().colwise() / s.nFam.array();
  const LevelMatrix cellMean = s.tCell.array().colwise() / s.nCell.array();
  s.rhsSiteF = LevelMatrix::Zero(s.nS, s.nT);
  s.rhsRepF = LevelMatrix::Zero(s.nR, s.nT);
  s.rhsRepCell = LevelMatrix::Zero(s.nR, s.nT);
  s.withinCell = Matrix::Zero(s.nT, s.nT);
  // The cross products of all trait pairs, a batch of records at a time, as
  // matrix products: with many traits they are most of the engine's work.
  constexpr Eigen::Index kBatch = 2048;
  LevelMatrix dBatch(kBatch, s.nT), yBatch(kBatch, s.nT);
  Eigen::Index filled = 0;
  auto addBatch = [&] {
    s.withinCell.selfadjointView<Eigen::Lower>().rankUpdate(dBatch.topRows(filled).transpose());
    s.yy.selfadjointView<Eigen::Lower>().rankUpdate(yBatch.topRows(filled).transpose());
    filled = 0;
  };
  for (int i = 1; i <= s.n; ++i) {
    const int si = col.site[i] - offS, r = col.rep[i] - offR, f = col.fam[i] - offF, c = col.cell[i] - offC;
    centred(i);
    for (int t = 0; t < s.nT; ++t) {
      const double v = y[static_cast<std::size_t>(t)];
      s.rhsSiteF(si, t) += v - famMean(f, t);
      s.rhsRepF(r, t) += v - famMean(f, t);
      const double d = v - cellMean(c, t);
      s.rhsRepCell(r, t) += d;
      dBatch(filled, t) = d;
      yBatch(filled, t) = v;
    }
    if (++filled == kBatch) addBatch();
  }
  if (filled > 0) addBatch();
  s.withinCell.triangularView<Eigen::StrictlyUpper>() = s.withinCell.transpose();
  s.yy.triangularView<Eigen::StrictlyUpper>() = s.yy.transpose();
  return s;
}

// T' D^-1 T: the one-way reductions of every trait pair.
Matrix OneWay(const LevelMatrix& totals, const Vector& counts) {
  const LevelMatrix scaled = totals.array().colwise() / counts.array();
  return scaled.transpose() * totals;
}

// An absorbed system's reduced equations, with the ones of the constraint
// added: their null space is the constant vector, and every right-hand side
// sums to zero, so the inverse with the ones acts as a generalised inverse.
// Returns false when the factorisation fails (a disconnected design).
bool QuadraticForm(Matrix equations, const LevelMatrix& rhs, Matrix& q, Eigen::LLT<Matrix>* keep = nullptr) {
  equations.array() += 1.0;
  Eigen::LLT<Matrix> llt(equations);
  if (llt.info() != Eigen::Success) return false;
  const Matrix solution = llt.solve(Matrix(rhs));
  q = rhs.transpose() * solution;
  if (keep) *keep = std::move(llt);
  return true;
}

// D_a - N D_b^-1 N' for a kept factor a whose counts by level of the absorbed
// factor b are the rows of `n`.
Matrix Absorbed(const Vector& keptCounts, const Matrix& n, const Vector& absorbedCounts) {
  Matrix s = Matrix(keptCounts.asDiagonal());
  const Matrix scaled = n * absorbedCounts.cwiseSqrt().cwiseInverse().asDiagonal();
  s.selfadjointView<Eigen::Lower>().rankUpdate(scaled, -1.0);
  s.triangularView<Eigen::StrictlyUpper>() = s.transpose();
  return s;
}

// Tr(sf:sf) = tr(Z_sf' P Z_sf), P the projection onto blocks and families:
// P = P_f + the projection onto the blocks made orthogonal to the families,
// whose Gram matrix is S = D_r - N D_f^-1 N'. The family part gives
// sum n_c^2 / n_f; the rest is tr(S^+ V V') with v_c the cell's block counts
// less their family share. V V' splits into products of N, so that nothing
// of the size of the cells is formed.
double CellTrace(const Sums& s, const Matrix& sInverseWithOnes) {
  double trace = 0;
  for (int c = 0; c < s.nC; ++c) trace += s.nCell(c) * s.nCell(c) / s.nFam(s.familyOfCell[static_cast<std::size_t>(c)]);
  // (S + J)^-1 = S^+ + J / nRep^2 when S has the constant null vector.
  const Matrix sPlus = sInverseWithOnes.array() - 1.0 / (static_cast<double>(s.nR) * s.nR);
  const Matrix h = sPlus * s.repFam;
  double cross = 0, families = 0;
  const Vector w = (s.siteFam.array().square().colwise().sum().transpose() / s.nFam.array().square()).matrix();
  for (int f = 0; f < s.nF; ++f)
    for (int r = 0; r < s.nR; ++r) {
      const double nrf = s.repFam(r, f);
      if (nrf == 0) continue;
      const double m = nrf * s.siteFam(s.siteOfRep[static_cast<std::size_t>(r)], f) / s.nFam(f);
      cross += h(r, f) * m;
      families += h(r, f) * nrf * w(f);
    }
  double within = 0;  // tr(S^+ A A'), A A' holding N N' within each site
  std::vector<std::vector<int>> repsOf(static_cast<std::size_t>(s.nS));
  for (int r = 0; r < s.nR; ++r) repsOf[static_cast<std::size_t>(s.siteOfRep[static_cast<std::size_t>(r)])].push_back(r);
  for (const auto& reps : repsOf) {
    const auto k = static_cast<Eigen::Index>(reps.size());
    Matrix block(k, k), n(k, s.nF);
    for (Eigen::Index a = 0; a < k; ++a) {
      n.row(a) = s.repFam.row(reps[static_cast<std::size_t>(a)]);
      for (Eigen::Index b = 0; b < k; ++b) block(a, b) = sPlus(reps[static_cast<std::size_t>(a)], reps[static_cast<std::size_t>(b)]);
    }
    within += (block * n).cwiseProduct(n).sum();
  }
  return trace + within - 2 * cross + families;
}

// The blocks after absorbing the site x family cells fall apart by site: one
// small system per site, each with its own constraint.
bool RepAfterCell(const Sums& s, Matrix& q) {
  q = Matrix::Zero(s.nT, s.nT);
  std::vector<std::vector<int>> repsOf(static_cast<std::size_t>(s.nS));
  for (int r = 0; r < s.nR; ++r) repsOf[static_cast<std::size_t>(s.siteOfRep[static_cast<std::size_t>(r)])].push_back(r);
  for (int site = 0; site < s.nS; ++site) {
    const auto& reps = repsOf[static_cast<std::size_t>(site)];
    const auto k = static_cast<Eigen::Index>(reps.size());
    std::vector<int> fams;
    for (int f = 0; f < s.nF; ++f)
      if (s.siteFam(site, f) > 0) fams.push_back(f);
    Matrix n(k, static_cast<Eigen::Index>(fams.size()));
    Vector cellCounts(static_cast<Eigen::Index>(fams.size())), repCounts(k);
    LevelMatrix rhs(k, s.nT);
    for (Eigen::Index a = 0; a < k; ++a) {
      const int r = reps[static_cast<std::size_t>(a)];
      repCounts(a) = s.nRep(r);
      rhs.row(a) = s.rhsRepCell.row(r);
      for (std::size_t j = 0; j < fams.size(); ++j) n(a, static_cast<Eigen::Index>(j)) = s.repFam(r, fams[j]);
    }
    for (std::size_t j = 0; j < fams.size(); ++j) cellCounts(static_cast<Eigen::Index>(j)) = s.siteFam(site, fams[j]);
    Matrix part;
    if (!QuadraticForm(Absorbed(repCounts, n, cellCounts), rhs, part)) return false;
    q += part;
  }
  return true;
}

// The lines, mean squares or products and components of one trait pair (or
// of a trait with itself) from the entries (t, u) of the line matrices.
struct Design {
  std::array<double, kLineCount> df{};
  double kF = 0, kFSF = 0, kSF = 0;
};

std::array<double, 4> Components(const Design& d, const std::array<double, kLineCount>& m) {
  std::array<double, 4> vc{};
  vc[3] = m[kLineError];
  vc[2] = (m[kLineSiteFam] - vc[3]) / d.kSF;
  vc[1] = (m[kLineFamily] - d.kFSF * vc[2] - vc[3]) / d.kF;
  return vc;
}

}  // namespace

ExactResults ComputeExact(const RunData& run, const std::atomic<bool>& stop) {
  ExactResults out;
  const Sums s = GatherSums(run);
  if (stop) return out;

  Design d;
  d.df = {static_cast<double>(s.nS - 1), static_cast<double>(s.nR - s.nS), static_cast<double>(s.nF - 1),
          static_cast<double>(s.nC - s.nS - s.nF + 1), static_cast<double>(s.n - s.nC - s.nR + s.nS)};
  for (double df : d.df)
    if (df < 1) return out.absence = "a line of the analysis has no degrees of freedom", out;

  Matrix qSiteF, qRepF, qRepCell;
  const char* singular = "the equations of the sites or blocks after the families are singular";
  if (!QuadraticForm(Absorbed(s.nSite, s.siteFam, s.nFam), s.rhsSiteF, qSiteF)) return out.absence = singular, out;
  Eigen::LLT<Matrix> repF;
  if (!QuadraticForm(Absorbed(s.nRep, s.repFam, s.nFam), s.rhsRepF, qRepF, &repF)) return out.absence = singular, out;
  if (!RepAfterCell(s, qRepCell))
    return out.absence = "the equations of the blocks after the site x family cells are singular", out;
  if (stop) return out;

  // Tr(f:f) and Tr(f:sf): the blocks alone span the fixed part (they are
  // nested in the sites), so P_X averages within blocks, and within a block
  // a family's records are its cell's: both traces are sum N(r,f)^2 / n_r.
  out.trFF = (s.repFam.array().square().colwise() / s.nRep.array()).sum();
  out.trFSF = out.trFF;
  out.trSFSF = CellTrace(s, repF.solve(Matrix::Identity(s.nR, s.nR)));
  if (stop) return out;
  d.kF = (s.n - out.trFF) / d.df[kLineFamily];
  d.kFSF = (out.trSFSF - out.trFSF) / d.df[kLineFamily];
  d.kSF = (s.n - out.trSFSF) / d.df[kLineSiteFam];
  out.kF = d.kF;
  out.kFSF = d.kFSF;
  out.kSF = d.kSF;

  // Family constants of u + r + f: the family totals less their blocks'
  // share, with block solutions that sum to zero, as (S + J)^-1 gives them.
  const Matrix repSolution = repF.solve(Matrix(s.rhsRepF));
  const Matrix famAdjusted =
      (Matrix(s.tFam) - s.repFam.transpose() * repSolution).array().colwise() / s.nFam.array();
  const Matrix rRep = OneWay(s.tRep, s.nRep), rFam = OneWay(s.tFam, s.nFam), rCell = OneWay(s.tCell, s.nCell);
  const std::array<Matrix, kLineCount> lines = {qSiteF, qRepF - qSiteF, qRepF + rFam - rRep,
                                                qRepCell + rCell - qRepF - rFam, s.withinCell - qRepCell};
  auto lineOf = [&](int t, int u, std::array<double, kLineCount>& sums, std::array<double, kLineCount>& means) {
    for (int k = 0; k < kLineCount; ++k) {
      sums[static_cast<std::size_t>(k)] = lines[static_cast<std::size_t>(k)](t, u);
      means[static_cast<std::size_t>(k)] = sums[static_cast<std::size_t>(k)] / d.df[static_cast<std::size_t>(k)];
    }
  };

  // emsInv, the inverse of the upper triangular E.M.S. table, row by row.
  const double emsInv[4][4] = {{0, 0, 0, 0},
                               {0, 1 / d.kF, -d.kFSF / (d.kF * d.kSF), (d.kFSF / d.kSF - 1) / d.kF},
                               {0, 0, 1 / d.kSF, -1 / d.kSF},
                               {0, 0, 0, 1}};
  const std::size_t lineOfComponent[4] = {0, kLineFamily, kLineSiteFam, kLineError};
  out.traits.assign(static_cast<std::size_t>(s.nT) + 1, ExactTrait{});
  for (int t = 1; t <= s.nT; ++t) {
    ExactTrait& e = out.traits[static_cast<std::size_t>(t)];
    lineOf(t - 1, t - 1, e.ss, e.ms);
    e.vc = Components(d, e.ms);
    for (int i = 1; i <= 3; ++i) {
      double var = 0;
      for (int k = i; k <= 3; ++k) {
        const double ms = e.ms[lineOfComponent[k]];
        var += 2 * emsInv[i][k] * emsInv[i][k] * ms * ms / (d.df[lineOfComponent[k]] + 2);
      }
      e.se[static_cast<std::size_t>(i)] = std::sqrt(var);
    }
    e.hasH2 = e.ms[kLineFamily] != 0;
    if (e.hasH2) e.h2 = e.vc[1] / (e.ms[kLineFamily] / d.kF);
    const double n = s.n, m = s.mean[static_cast<std::size_t>(t)], nMeanSq = n * m * m;
    const auto c = static_cast<Eigen::Index>(t - 1);
    e.rUR = rRep(c, c) + nMeanSq;
    e.rUF = rFam(c, c) + nMeanSq;
    e.rUCell = rCell(c, c) + nMeanSq;
    e.rUSF = qSiteF(c, c) + e.rUF;
    e.rUSRF = qRepF(c, c) + e.rUF;
    e.rUSRCell = qRepCell(c, c) + e.rUCell;
    e.yy = s.yy(c, c) + nMeanSq;
    e.famConst.assign(static_cast<std::size_t>(s.nF) + 1, 0.0);
    for (int j = 0; j < s.nF; ++j) e.famConst[static_cast<std::size_t>(j) + 1] = famAdjusted(j, c) + m;
  }
  out.pairs.assign(static_cast<std::size_t>(s.nT) + 1, std::vector<ExactPair>(static_cast<std::size_t>(s.nT) + 1));
  for (int t1 = 1; t1 < s.nT; ++t1)
    for (int t2 = t1 + 1; t2 <= s.nT; ++t2) {
      ExactPair& p = out.pairs[static_cast<std::size_t>(t1)][static_cast<std::size_t>(t2)];
      const ExactTrait& a = out.traits[static_cast<std::size_t>(t1)];
      const ExactTrait& b = out.traits[static_cast<std::size_t>(t2)];
      lineOf(t1 - 1, t2 - 1, p.scp, p.mcp);
      p.vc = Components(d, p.mcp);
      const double msProduct = a.ms[kLineFamily] * b.ms[kLineFamily];
      p.hasRP = msProduct > 0;
      if (p.hasRP) p.rP = p.mcp[kLineFamily] / std::sqrt(msProduct);
      p.hasRF = a.vc[1] > 0 && b.vc[1] > 0;
      if (p.hasRF) p.rF = p.vc[1] / std::sqrt(a.vc[1] * b.vc[1]);
    }
  out.available = !stop;
  return out;
}

void ThrowExactAbsent(const RunData& run, const ExactResults& exact, std::string_view needs) {
  throw KorvanError("the exact values of " + run.params.dataPath + " could not be computed (" +
                    (exact.absence.empty() ? std::string("the run was stopped") : exact.absence) + "), and " +
                    std::string(needs));
}

ExactBeside::ExactBeside(const RunData& run) : run_(run) {
  // A thread that cannot be started leaves the work to Results(), on the
  // run's own thread.
  try {
    thread_ = std::thread([this] { Compute(); });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
}

// A failure here (memory, above all) is the run's: Results() rethrows it on
// the run's own thread.
void ExactBeside::Compute() {
  try {
    results_ = ComputeExact(run_, stop_);
  } catch (...) {
    failure_ = std::current_exception();
  }
  computed_ = true;
}

ExactBeside::~ExactBeside() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

const ExactResults& ExactBeside::Results() {
  if (thread_.joinable()) thread_.join();
  if (!computed_) Compute();
  if (failure_) std::rethrow_exception(failure_);
  return results_;
}

}  // namespace korvan
