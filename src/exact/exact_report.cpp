#include "exact/exact_report.h"

#include <cassert>
#include <string>
#include <string_view>

#include "anova/report_line.h"

namespace korvan {

namespace {

constexpr std::string_view kLineName[kLineCount] = {" Site        ", " Rep./Site   ", " Family      ",
                                                    " Site*Fam.   ", "   Error     "};
constexpr std::string_view kComponentName[4] = {"", " Family        ", " Site*Family   ", " Exp. error    "};

// The table of a trait (heading "S.S.   M.S.") or of a pair: the same lines,
// told apart by their heading and the Error line's gap after the d.f.
void WriteTable(const ExactResults& e, const std::array<double, kLineCount>& df, std::string_view heading,
                std::string_view errorGap, const std::array<double, kLineCount>& sums,
                const std::array<double, kLineCount>& means, const std::string& subject, ReportFile& report) {
  report.Text(heading).EndLine();
  for (int k = 0; k < kLineCount; ++k) {
    const auto line = static_cast<std::size_t>(k);
    ReportLine out(report, subject, "the exact " + std::string(kLineName[line]) + "line");
    out.Text(kLineName[line]).Whole(static_cast<std::int64_t>(df[line])).Text(k == kLineError ? errorGap : "  ")
        .Double(sums[line]).Text(" ").Double(means[line]);
    if (k == kLineFamily) out.Text("  Ve +").Double(e.kFSF).Text("Vsf +").Double(e.kF).Text("Vf");
    if (k == kLineSiteFam) out.Text("  Ve +").Double(e.kSF).Text("Vsf");
    if (k == kLineError) out.Text("  Ve");
    out.End();
  }
}

}  // namespace

void WriteExactSections(const RunData& run, const std::vector<TraitOutcome>& traits, const ExactResults& e,
                        ReportFile& report) {
  assert(e.available);
  const std::array<double, kLineCount> df = {static_cast<double>(run.dfSite), run.dfRep,
                                             static_cast<double>(run.dfFamily), run.dfSiteFam, run.dfError};
  for (int t = 1; t <= run.nTrait; ++t) {
    const std::string subject = "The " + TraitCalled(run, t) + " of " + run.params.dataPath;
    const ExactTrait& x = e.traits[static_cast<std::size_t>(t)];
    const std::vector<float>& famConst = traits[static_cast<std::size_t>(t)].reductions.famConst;
    for (int j = 1; j <= run.nFamily; ++j)
      report.Text(" ").Code(run.familyCode[static_cast<std::size_t>(j)]).Text("  ").Single(famConst[static_cast<std::size_t>(j)]).EndLine();
    report.Text(" ").EndLine();
    report.Text(" Trait No ").Whole(t).EndLine();
    WriteTable(e, df, "  Source     d.f.   S.S.   M.S.           E.M.S.", " ", x.ss, x.ms, subject, report);
    report.Text(" ").EndLine();
    report.Text("  Estimate of variance components").EndLine();
    for (int i = 1; i <= 3; ++i)
      ReportLine(report, subject, "the exact component")
          .Text(kComponentName[i]).Text("  ").Double(x.vc[static_cast<std::size_t>(i)]).Text("  ")
          .Double(x.se[static_cast<std::size_t>(i)]).End();
    if (x.hasH2)
      ReportLine(report, subject, "the exact heritability").Text(" Family-mean heritability = ").Double(x.h2).End();
    else
      report.Text(" No estimate for Family-mean heritability").EndLine();
  }
  for (int t1 = 1; t1 < run.nTrait; ++t1)
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) {
      const std::string subject = "The " + PairCalled(run, t1, t2) + " of " + run.params.dataPath;
      const ExactPair& p = e.pairs[static_cast<std::size_t>(t1)][static_cast<std::size_t>(t2)];
      report.Text(" ").EndLine();
      report.Text(" Trait No ").Whole(t1).Text("  and Trait No ").Whole(t2).EndLine();
      WriteTable(e, df, "  Source     d.f.    S.C.P.   M.C.P.         E.M.S.", "  ", p.scp, p.mcp, subject, report);
      report.Text(" ").EndLine();
      report.Text("  Estimate of variance components").EndLine();
      for (int i = 1; i <= 3; ++i)
        ReportLine(report, subject, "the exact covariance")
            .Text(kComponentName[i]).Text("  ").Double(p.vc[static_cast<std::size_t>(i)]).End();
      if (p.hasRP)
        ReportLine(report, subject, "the exact phenotypic correlation").Text(" Phenotypic cor. = ").Double(p.rP).End();
      else
        report.Text(" No estimate for Phenotypic cor.").EndLine();
      if (p.hasRF)
        ReportLine(report, subject, "the exact family correlation").Text(" Family cor.     = ").Double(p.rF).End();
      else
        report.Text(" No estimate for Family cor.").EndLine();
    }
}

}  // namespace korvan
