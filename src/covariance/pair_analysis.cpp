#include "covariance/pair_analysis.h"

#include <cassert>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "anova/report_line.h"
#include "covariance/pair_reductions.h"

namespace korvan {

namespace {

constexpr std::string_view kTable = "the analysis-of-covariance table";

std::int64_t WholeDf(double df) {
  assert(df == std::floor(df));
  return static_cast<std::int64_t>(df);
}

void WriteCovarianceTable(const RunData& run, int t1, int t2, const PairAnova& p,
                          const std::string& subject, ReportFile& report) {
  report.Text(" ").EndLine();
  report.Text(" Trait No ").Whole(t1).Text("  and Trait No ").Whole(t2).EndLine();
  report.Text("  Source     d.f.    S.C.P.   M.C.P.         E.M.S.").EndLine();
  ReportLine(report, subject, "the Site line of " + std::string(kTable))
      .Text(" Site        ").Whole(run.dfSite).Text("  ").Single(p.scpSite)
      .Text(" ").Single(p.mcpSite).End();
  ReportLine(report, subject, "the Rep./Site line of " + std::string(kTable))
      .Text(" Rep./Site   ").Whole(WholeDf(run.dfRep)).Text("  ").Single(p.scpRep)
      .Text(" ").Double(p.mcpRep).End();
  ReportLine(report, subject, "the Family line of " + std::string(kTable))
      .Text(" Family      ").Whole(run.dfFamily).Text("  ").Single(p.scpFamily)
      .Text(" ").Single(p.mcpFamily)
      .Text("  Ve +").Single(run.kFSF).Text("Vsf +").Single(run.kF).Text("Vf").End();
  ReportLine(report, subject, "the Site*Fam. line of " + std::string(kTable))
      .Text(" Site*Fam.   ").Whole(WholeDf(run.dfSiteFam)).Text("  ").Single(p.scpSiteFam)
      .Text(" ").Double(p.mcpSiteFam)
      .Text("  Ve +").Double(run.kSF).Text("Vsf").End();
  ReportLine(report, subject, "the Error line of " + std::string(kTable))
      .Text("   Error     ").Whole(WholeDf(run.dfError)).Text("  ").Single(p.scpError)
      .Text(" ").Double(p.mcpError).Text("  Ve").End();
}

void WriteCovarianceComponents(const RunData& run, int t1, int t2, const PairAnova& p,
                               const std::string& subject, ReportFile& report) {
  static constexpr std::string_view vcName[4] = {"", " Family        ", " Site*Family   ",
                                                 " Exp. error    "};
  static constexpr std::string_view vcItem[4] = {"", "the family covariance",
                                                 "the site x family covariance",
                                                 "the error covariance"};
  report.Text(" ").EndLine();
  report.Text("  Estimate of variance components").EndLine();
  for (int i = 1; i <= 3; ++i) {
    ReportLine(report, subject, std::string(vcItem[i])).Text(vcName[i]).Text("  ").Double(p.vcEst[i]).End();
  }
  // Without variation between families in either trait (a Family mean square
  // of 0, or slightly below it through rounding) there is nothing to correlate.
  const double msProduct = run.msFamByTrait[t1] * run.msFamByTrait[t2];
  if (msProduct > 0) {
    ReportLine(report, subject, "the phenotypic correlation")
        .Text(" Phenotypic cor. = ")
        .Double(static_cast<double>(p.mcpFamily) / std::sqrt(msProduct)).End();
  } else {
    report.Text(" No estimate for Phenotypic cor.").EndLine();
  }
  const double vf1 = run.vfByTrait[t1];
  const double vf2 = run.vfByTrait[t2];
  if (vf1 > 0 && vf2 > 0) {
    ReportLine(report, subject, "the family correlation")
        .Text(" Family cor.     = ").Double(p.vcEst[1] / std::sqrt(vf1 * vf2)).End();
  } else {
    report.Text(" No estimate for Family cor.").EndLine();
  }
}

}  // namespace

std::vector<std::vector<PairAnova>> AnalysePairs(RunData& run, ProgressLog& log, ReportFile& report, PairReductionsForm reduceAllPairs) {
  if (run.nTrait < 2) return {};
  assert(static_cast<int>(run.vfByTrait.size()) > run.nTrait);
  log.BeginStage("Analysing the trait pairs", static_cast<std::int64_t>(run.nTrait) * (run.nTrait - 1) / 2);
  std::int64_t done = 0;
  const std::vector<std::vector<PairAnova>> all = reduceAllPairs(run);
  for (int t1 = 1; t1 < run.nTrait; ++t1) {
    log.CheckStop();
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) {
      log.CheckStop();
      log.Item(PairCalled(run, t1, t2));
      const std::string subject = "The " + PairCalled(run, t1, t2) + " of " + run.params.dataPath;
      const PairAnova& pair = all[t1][t2];
      WriteCovarianceTable(run, t1, t2, pair, subject, report);
      WriteCovarianceComponents(run, t1, t2, pair, subject, report);
      log.Advance(++done);
    }
  }
  return all;
}

}  // namespace korvan
