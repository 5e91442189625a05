#include "anova/trait_analysis.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "anova/report_line.h"
#include "anova/trait_reductions.h"
#include "anova/variance_components.h"

namespace korvan {

namespace {

// The progress labels are 19 characters, R(r)'s 6, so the values line up.
constexpr std::string_view kLabelUR = " R(u,r)          = ";
constexpr std::string_view kLabelUF = " R(u,f)          = ";
constexpr std::string_view kLabelUCell = " R(u,sf)         = ";
constexpr std::string_view kLabelUSF = " R(u,s,f)        = ";
constexpr std::string_view kLabelUSRF = " R(u,s,r,f)      = ";
constexpr std::string_view kLabelUSRCell = " R(u,s,r,sf)     = ";
constexpr std::string_view kLabelYY = " y'*y            = ";
constexpr std::string_view kLabelR = "R(r)= ";
static_assert(kLabelUR.size() == 19 && kLabelUSRCell.size() == 19 && kLabelYY.size() == 19);

constexpr std::string_view kTable = "the analysis-of-variance table";

std::int64_t WholeDf(double df) {
  assert(df == std::floor(df));
  return static_cast<std::int64_t>(df);
}

// The ten counted progress lines of a trait, with the family constants, which
// follow R(u,s,r,f), reaching the report between them.
void ShowReductions(const RunData& run, const Reductions& r, const std::string& subject,
                    ProgressLog& log, ReportFile& report) {
  ShowValue(log, kLabelUR, r.rUR, subject, "the reduction R(u,r)");
  ShowValue(log, kLabelUF, r.rUF, subject, "the reduction R(u,f)");
  ShowValue(log, kLabelUCell, r.rUCell, subject, "the reduction R(u,sf)");
  ShowValue(log, kLabelR, r.rSiteF, subject, "R(r) of the sites after the families");
  ShowValue(log, kLabelUSF, r.rUSF, subject, "the reduction R(u,s,f)");
  ShowValue(log, kLabelR, r.rRepF, subject, "R(r) of the blocks after the families");
  ShowValue(log, kLabelUSRF, r.rUSRF, subject, "the reduction R(u,s,r,f)");
  // A line per family and trait: the name of the value is only spelt out
  // for the message when it is not finite (codes always are).
  for (int j = 1; j <= run.nFamily; ++j) {
    if (!std::isfinite(r.famConst[j]))
      RequireFinite(static_cast<double>(r.famConst[j]), subject, "the constant of family " + run.familyCode[j].text);
    report.Text(" ").Code(run.familyCode[j]).Text("  ").Single(r.famConst[j]).EndLine();
  }
  ShowValue(log, kLabelR, r.rRepCell, subject, "R(r) of the blocks after the site x family cells");
  ShowValue(log, kLabelUSRCell, r.rUSRCell, subject, "the reduction R(u,s,r,sf)");
  ShowValue(log, kLabelYY, r.yy, subject, "y'*y");
}

void WriteAnovaTable(const RunData& run, int t, const SumsOfSquares& ss, const std::string& subject,
                     ReportFile& report) {
  report.Text(" ").EndLine();
  report.Text(" Trait No ").Whole(t).EndLine();
  report.Text("  Source     d.f.   S.S.   M.S.           E.M.S.").EndLine();
  ReportLine(report, subject, "the Site line of " + std::string(kTable))
      .Text(" Site        ").Whole(run.dfSite).Text("  ").Double(ss.ssSite)
      .Text(" ").Double(ss.msSite).End();
  ReportLine(report, subject, "the Rep./Site line of " + std::string(kTable))
      .Text(" Rep./Site   ").Whole(WholeDf(run.dfRep)).Text("  ").Double(ss.ssRep)
      .Text(" ").Double(ss.msRep).End();
  ReportLine(report, subject, "the Family line of " + std::string(kTable))
      .Text(" Family      ").Whole(run.dfFamily).Text("  ").Double(ss.ssFamily)
      .Text(" ").Double(ss.msFamily)
      .Text("  Ve +").Single(run.kFSF).Text("Vsf +").Single(run.kF).Text("Vf").End();
  ReportLine(report, subject, "the Site*Fam. line of " + std::string(kTable))
      .Text(" Site*Fam.   ").Whole(WholeDf(run.dfSiteFam)).Text("  ").Double(ss.ssSiteFam)
      .Text(" ").Double(ss.msSiteFam)
      .Text("  Ve +").Double(run.kSF).Text("Vsf").End();
  // A single blank between d.f. and S.S. in this line only, unlike the
  // covariance table: reports are compared byte for byte, so the layout stays.
  ReportLine(report, subject, "the Error line of " + std::string(kTable))
      .Text("   Error     ").Whole(WholeDf(run.dfError)).Text(" ").Double(ss.ssError)
      .Text(" ").Double(ss.msError).Text("  Ve").End();
}

void WriteVarianceComponents(const RunData& run, const SumsOfSquares& ss,
                             const VarianceEstimates& e, const std::string& subject,
                             ReportFile& report) {
  static constexpr std::string_view vcName[4] = {"", " Family        ", " Site*Family   ",
                                                 " Exp. error    "};
  static constexpr std::string_view vcItem[4] = {"", "the estimate of Vf", "the estimate of Vsf",
                                                 "the estimate of Ve"};
  report.Text(" ").EndLine();
  report.Text("  Estimate of variance components").EndLine();
  for (int i = 1; i <= 3; ++i) {
    ReportLine(report, subject, std::string(vcItem[i]))
        .Text(vcName[i]).Text("  ").Single(e.vcEst[i])
        .Text("  ").Double(std::sqrt(e.vcVar[i])).End();
  }
  // A Family mean square of 0 leaves the family mean without variance: the
  // heritability has no meaning then, and the run goes on.
  if (ss.msFamily == 0) {
    report.Text(" No estimate for Family-mean heritability").EndLine();
    return;
  }
  const double heritability =
      static_cast<double>(e.vcEst[1]) / (ss.msFamily / static_cast<double>(run.kF));
  ReportLine(report, subject, "the family-mean heritability")
      .Text(" Family-mean heritability = ").Double(heritability).End();
}

}  // namespace

std::vector<TraitOutcome> AnalyseTraits(RunData& run, ProgressLog& log, ReportFile& report, TraitReductionsForm reduceAllTraits) {
  assert(run.nTrait >= 1 && run.nTrait <= kMaxTrait);
  // The set-up refuses designs in which a line of the table has no degrees
  // of freedom.
  assert(run.dfSite >= 1 && run.dfRep >= 1 && run.dfFamily >= 1 && run.dfSiteFam >= 1 && run.dfError >= 1);
  log.BeginStage("Analysing the traits", run.nTrait);
  // Sized by the build's limit even if a front end let more traits through:
  // the stores must never be written beyond their end.
  const auto storeSize = static_cast<std::size_t>(std::max(run.nTrait, kMaxTrait)) + 1;
  run.vfByTrait.assign(storeSize, 0.0);
  run.msFamByTrait.assign(storeSize, 0.0);

  const std::vector<Reductions> all = reduceAllTraits(run);
  std::vector<TraitOutcome> outcomes(all.size());
  for (int t = 1; t <= run.nTrait; ++t) {
    log.CheckStop();
    log.Item(TraitCalled(run, t));
    const std::string subject = "The " + TraitCalled(run, t) + " of " + run.params.dataPath;
    const Reductions& reductions = all[t];
    ShowReductions(run, reductions, subject, log, report);
    const SumsOfSquares ss = FormSumsOfSquares(run, reductions);
    WriteAnovaTable(run, t, ss, subject, report);
    const VarianceEstimates estimates = VarianceComponents(run, t, ss);
    WriteVarianceComponents(run, ss, estimates, subject, report);
    outcomes[static_cast<std::size_t>(t)] = {reductions, ss, estimates};
    log.Advance(t);
  }
  return outcomes;
}

}  // namespace korvan
