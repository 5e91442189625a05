#include "model/model_setup.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "format/number_format.h"
#include "base/korvan_error.h"
#include "linalg/invert_matrix.h"
#include "model/site_family_trace.h"
#include "model/absorb.h"
#include "model/design_checks.h"
#include "model/fixed_equations.h"

namespace korvan {

namespace {

// "at pivot step 5 of 621 no element of 1E-09 or more was left; unsolved:
// site 3 and block 2 of site 3".
template <class Name>
std::string SingularDetail(const SingularEquations& singular, int order, Name name) {
  constexpr std::size_t kMostNamed = 4;
  std::string names;
  for (std::size_t i = 0; i < singular.unpivotedColumns.size() && i < kMostNamed; ++i)
    names += (i == 0 ? "" : ", ") + name(singular.unpivotedColumns[i]);
  if (singular.unpivotedColumns.size() > kMostNamed)
    names += " and " + std::to_string(singular.unpivotedColumns.size() - kMostNamed) + " more";
  return "at pivot step " + std::to_string(singular.step) + " of " + std::to_string(order) +
         " no element of 1E-09 or more was left; unsolved: " + names;
}

// Every fixed column has records, so the constraint ones make these
// equations regular; only rounding can make them singular.
Table2<float> FixedInverse(const SetUpSteps& steps, const RunData& run, ProgressLog& log) {
  const Table2<float> coefMat = steps.buildFixedEquations(run, 3, log);
  try {
    return steps.invertByColumns(coefMat, run.p);
  } catch (const SingularEquations& singular) {
    throw KorvanError(TrialText(run) + " cannot be analysed: the equations of the mean, sites and blocks are "
                      "singular in single precision (" +
                      SingularDetail(singular, run.p, [&](int c) { return FixedColumnName(run, c); }) +
                      "). Check the site and block codes of these levels in the data file.");
  }
}

// The form's Tr(sf:sf). The block equations after absorbing the families are
// the only ones it solves, so singular equations are named by their blocks.
float RunSiteFamilyTrace(const SetUpSteps& steps, RunData& run, ProgressLog& log) {
  try {
    return steps.siteFamilyTrace(run, log);
  } catch (const SingularEquations& singular) {
    throw KorvanError(TrialText(run) + " cannot be analysed: the equations of the blocks after absorbing the "
                      "families are singular in single precision (" +
                      SingularDetail(singular, run.nRep, [&](int rep) { return BlockNames(run, {rep}); }) +
                      "). These blocks share too few families with the others; check their block and family "
                      "codes in the data file.");
  }
}

// Families absorbed into the blocks with one overall constraint; then C and
// B'B give the trace.
float SiteFamilyTrace(RunData& run, ProgressLog& log) {
  BlockFamilyInverse c = RepFamilyInverse(Absorb(run, CountBlock(run, 3, 4), false), CountBlock(run, 4, 3), log);
  log.CheckStop();
  log.Advance(4);
  const float trace = CellTrace(c, CellIncidence(run, CountBlock(run, 5, 3), log), log);
  // The trait stage solves the same equations for every trait.
  run.repFamilyElimination = std::move(c.repElimination);
  return trace;
}

void PrintTrace(ProgressLog& log, const char* label, float value) {
  log.CountedLineBy([&](std::string& line) {
    line += label;
    AppendPlainSingle(line, value);
  });
}

void SetDegreesOfFreedom(RunData& run) {
  run.dfSite = run.nSite - 1;
  run.dfRep = static_cast<double>(run.nRep) - run.nSite;
  run.dfFamily = run.nFamily - 1;
  run.dfSiteFam = (static_cast<double>(run.nSF) - run.nSite) - run.nFamily + 1;
  run.dfError = ((static_cast<double>(run.nRecord) - run.nSF) - run.nRep) + run.nSite;
}

// The numerators are single precision: a count less a single-precision
// trace, or the difference of two traces. kF and kFSF divide by the whole
// dfFamily in single precision; kSF by the double dfSiteFam, in double.
void SetCoefficients(RunData& run) {
  for (const float trace : {run.trFF, run.trFSF, run.trSFSF})
    if (!std::isfinite(trace))
      throw KorvanError(TrialText(run) + " cannot be analysed: the traces Tr(f:f), Tr(f:sf) and Tr(sf:sf) "
                        "overflowed single precision.");
  const double records = static_cast<double>(run.nRecord);
  const float familyDf = RoundToSingle(static_cast<double>(run.dfFamily));
  run.kSF = static_cast<double>(RoundToSingle(records - static_cast<double>(run.trSFSF))) / run.dfSiteFam;
  run.kFSF = (run.trSFSF - run.trFSF) / familyDf;
  run.kF = RoundToSingle(records - static_cast<double>(run.trFF)) / familyDf;
  if (run.kF == 0.0f)
    throw KorvanError(TrialText(run) + " cannot be analysed: records - Tr(f:f) = 0, so the coefficient of Vf in the "
                      "Family line is 0: within each block all trees belong to one family, and family differences "
                      "cannot be told apart from block differences.");
  if (run.kSF == 0.0)
    throw KorvanError(TrialText(run) + " cannot be analysed: records - Tr(sf:sf) = 0, so the coefficient of Vsf in "
                      "the Site*Fam. line is 0: the site x family cells cannot be told apart from the blocks and "
                      "families.");
  for (auto& line : run.emsCoef) line.fill(0.0);
  for (int line = 1; line <= 3; ++line) run.emsCoef[line][3] = 1.0;
  run.emsCoef[1][1] = static_cast<double>(run.kF);
  run.emsCoef[1][2] = static_cast<double>(run.kFSF);
  run.emsCoef[2][2] = run.kSF;
}

}  // namespace

void SetUpModelWith(const SetUpSteps& steps, RunData& run, ProgressLog& log) {
  log.BeginStage("Setting up the equations", 5);
  // Refused designs stop here, before anything is solved or printed.
  CheckDesign(run);
  log.Advance(1);
  const Table2<float> coefInv = FixedInverse(steps, run, log);
  log.Advance(2);
  log.CheckStop();
  run.trFF = TraceOfProduct(coefInv, steps.fixedCrossProducts(run, 3, 4), run.p);
  PrintTrace(log, " Tr(f:f) = ", run.trFF);
  run.trFSF = TraceOfProduct(coefInv, steps.fixedCrossProducts(run, 3, 5), run.p);
  PrintTrace(log, " Tr(f:sf) = ", run.trFSF);
  log.Advance(3);
  log.CheckStop();
  run.trSFSF = RunSiteFamilyTrace(steps, run, log);
  PrintTrace(log, " Tr(sf:sf)= ", run.trSFSF);
  SetDegreesOfFreedom(run);
  SetCoefficients(run);
  log.Advance(5);
}

void SetUpModel(RunData& run, ProgressLog& log) {
  static constexpr SetUpSteps kSteps{BuildFixedEquations, InvertByColumns, FixedCrossProducts, SiteFamilyTrace};
  SetUpModelWith(kSteps, run, log);
}

}  // namespace korvan
