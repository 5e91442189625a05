#include "exact/precision_guard.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>

#include "exact/exact_report.h"
#include "format/number_format.h"

namespace korvan {

namespace {

// A difference a reader notices: a tenth of a standard error for a variance
// component, half a unit in the second decimal for a ratio of components or
// for a covariance scaled by its traits' components, a thousandth for a
// coefficient of the table.
constexpr double kStandardErrors = 0.1;
constexpr double kRatio = 0.005;
constexpr double kRelativeCoefficient = 0.001;
constexpr std::size_t kNamed = 3;

struct Miss {
  double severity;  // the difference in units of its limit; above 1 is noticed
  std::string text;
  PrecisionFinding finding;
};

class Misses {
 public:
  // `limit` is the largest difference tolerated; a change of sign is always
  // noticed.
  void Compare(const std::string& what, double shown, double exact, double limit, bool signMatters) {
    const double gap = std::abs(shown - exact);
    double severity = limit > 0 ? gap / limit : 0;
    if (signMatters && shown * exact < 0) severity = std::max(severity, 1.0 + gap);
    if (severity >= 1 && std::isfinite(severity))
      add(severity, what + " " + SignificantDigits(shown, 4) + " (exact " + SignificantDigits(exact, 4) + ")", {what, shown, exact});
  }
  void Presence(const std::string& what, bool shown, bool exact) {
    if (shown == exact) return;
    add(1, what + (shown ? " has a value where the exact report has none" : " has none where the exact report has one"),
        {what, std::nullopt, std::nullopt});
  }
  std::vector<Miss>& all() { return misses_; }

 private:
  void add(double severity, std::string text, PrecisionFinding finding) {
    misses_.push_back({severity, std::move(text), std::move(finding)});
  }
  std::vector<Miss> misses_;
};

const char* const kComponent[4] = {"", "Vf", "Vsf", "Ve"};
const char* const kCovariance[4] = {"", "Family covariance", "Site*Family covariance", "error covariance"};

}  // namespace

PrecisionCheck CheckPrecision(const RunData& run, const std::vector<TraitOutcome>& traits,
                              const std::vector<std::vector<PairAnova>>& pairs, const ExactResults& exact) {
  PrecisionCheck check;
  if (!exact.available) return check;
  Misses m;
  m.Compare("kF", run.kF, exact.kF, kRelativeCoefficient * std::abs(exact.kF), false);
  m.Compare("kFSF", run.kFSF, exact.kFSF, kRelativeCoefficient * std::abs(exact.kFSF), false);
  m.Compare("kSF", run.kSF, exact.kSF, kRelativeCoefficient * std::abs(exact.kSF), false);
  for (int t = 1; t <= run.nTrait; ++t) {
    const TraitOutcome& shown = traits[static_cast<std::size_t>(t)];
    const ExactTrait& x = exact.traits[static_cast<std::size_t>(t)];
    const std::string trait = TraitCalled(run, t) + " ";
    for (int i = 1; i <= 3; ++i) {
      const auto k = static_cast<std::size_t>(i);
      m.Compare(trait + kComponent[i], shown.estimates.vcEst[k], x.vc[k], kStandardErrors * x.se[k], true);
    }
    const bool shownH2 = shown.ss.msFamily != 0;
    m.Presence(trait + "h2", shownH2, x.hasH2);
    if (shownH2 && x.hasH2)
      m.Compare(trait + "h2", static_cast<double>(shown.estimates.vcEst[1]) / (shown.ss.msFamily / static_cast<double>(run.kF)),
                x.h2, kRatio, true);
  }
  for (int t1 = 1; t1 < run.nTrait; ++t1)
    for (int t2 = t1 + 1; t2 <= run.nTrait; ++t2) {
      const PairAnova& shown = pairs[static_cast<std::size_t>(t1)][static_cast<std::size_t>(t2)];
      const ExactPair& x = exact.pairs[static_cast<std::size_t>(t1)][static_cast<std::size_t>(t2)];
      const ExactTrait& a = exact.traits[static_cast<std::size_t>(t1)];
      const ExactTrait& b = exact.traits[static_cast<std::size_t>(t2)];
      const std::string pair = PairCalled(run, t1, t2) + " ";
      for (int i = 1; i <= 3; ++i) {
        const auto k = static_cast<std::size_t>(i);
        // In units of the two traits' own components, as a correlation would be.
        const double unit = std::sqrt(std::abs(a.vc[k] * b.vc[k]));
        m.Compare(pair + kCovariance[i], shown.vcEst[k], x.vc[k], kRatio * unit, true);
      }
      const double msProduct = run.msFamByTrait[t1] * run.msFamByTrait[t2];
      m.Presence(pair + "phenotypic cor.", msProduct > 0, x.hasRP);
      if (msProduct > 0 && x.hasRP)
        m.Compare(pair + "phenotypic cor.", static_cast<double>(shown.mcpFamily) / std::sqrt(msProduct), x.rP, kRatio, true);
      const double vf1 = run.vfByTrait[t1], vf2 = run.vfByTrait[t2];
      const bool shownRF = vf1 > 0 && vf2 > 0;
      m.Presence(pair + "family cor.", shownRF, x.hasRF);
      if (shownRF && x.hasRF) m.Compare(pair + "family cor.", shown.vcEst[1] / std::sqrt(vf1 * vf2), x.rF, kRatio, true);
    }
  std::vector<Miss>& misses = m.all();
  if (misses.empty()) return check;
  std::stable_sort(misses.begin(), misses.end(), [](const Miss& x, const Miss& y) { return x.severity > y.severity; });
  for (Miss& miss : misses) check.findings.push_back(std::move(miss.finding));
  std::string text = "single precision moved " + std::to_string(misses.size()) +
                     (misses.size() == 1 ? " value" : " values") + " of the report beyond what a reader tolerates: ";
  for (std::size_t i = 0; i < std::min(misses.size(), kNamed); ++i) text += (i ? "; " : "") + misses[i].text;
  if (misses.size() > kNamed) text += "; and " + std::to_string(misses.size() - kNamed) + " more";
  text += ". --arithmetic double writes the report with the exact values (in the window: the \"exact\" box "
          "beside the product label)";
  check.warning = std::move(text);
  return check;
}

std::optional<std::string> PrecisionWarning(const RunData& run, const std::vector<TraitOutcome>& traits,
                                            const std::vector<std::vector<PairAnova>>& pairs,
                                            const ExactResults& exact) {
  return CheckPrecision(run, traits, pairs, exact).warning;
}

PrecisionCheck GuardPrecision(const RunData& run, const std::vector<TraitOutcome>& traits,
                              const std::vector<std::vector<PairAnova>>& pairs, ExactBeside& exact,
                              ReportFile* exactReport) {
  const ExactResults& values = exact.Results();
  if (exactReport) {
    if (!values.available) ThrowExactAbsent(run, values, "the default arithmetic writes the report");
    WriteExactSections(run, traits, values, *exactReport);
  }
  return CheckPrecision(run, traits, pairs, values);
}

}  // namespace korvan
