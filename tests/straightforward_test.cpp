#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "support/test_support.h"

// korvan-cli and korvan-cli-straightforward are built from the same sources;
// the second does every stage the way the method is written. Their reports
// and procedure files must be the same bytes: every faster form is held to
// the bits of the form it stands in for, all of them together, on whole
// trials.

namespace korvan::test {
namespace {

#if defined(KORVAN_STRAIGHTFORWARD_CLI_PATH) && defined(KORVAN_GENERATOR_PATH)

// Writes the trial with the generator's options; returns the korvan-cli
// arguments it gives for the trial, with the report and the procedure file
// in `dir`.
std::vector<std::string> WriteTrial(const TempDir& dir, std::vector<std::string> options) {
  options.insert(options.end(), {"--out", dir / "trial.dat", "--sidecar"});
  const CliResult made = RunProgram(KORVAN_GENERATOR_PATH, options);
  EXPECT_EQ(made.exitCode, 0) << made.err;
  std::vector<std::string> args = ReadLines(dir / "trial.dat.args");
  const auto output = std::find(args.begin(), args.end(), "--output");
  EXPECT_TRUE(output != args.end() && output + 1 != args.end());
  if (output != args.end() && output + 1 != args.end()) *(output + 1) = dir / "trial.out";
  args.insert(args.end(), {"--quiet", "--procedure", dir / "trial.procedure"});
  return args;
}

struct Outcome {
  std::vector<std::string> report;
  std::vector<std::string> procedure;
};

Outcome Analyse(const std::string& program, const TempDir& dir, const std::vector<std::string>& args) {
  const CliResult run = RunProgram(program, args);
  EXPECT_EQ(run.exitCode, 0) << program << ": " << run.err;
  Outcome outcome{ReadLines(dir / "trial.out"), ReadLines(dir / "trial.procedure")};
  // The last line gives the times of day the run started and ended.
  if (!outcome.procedure.empty() && outcome.procedure.back().starts_with(" Start at "))
    outcome.procedure.pop_back();
  return outcome;
}

// Same lines, or the first that differs with both versions.
::testing::AssertionResult SameLines(const std::vector<std::string>& expected,
                                     const std::vector<std::string>& actual) {
  const std::size_t common = std::min(expected.size(), actual.size());
  for (std::size_t n = 0; n < common; ++n)
    if (expected[n] != actual[n])
      return ::testing::AssertionFailure() << "line " << n + 1 << ": straightforward '" << expected[n]
                                           << "', fast '" << actual[n] << "'";
  if (expected.size() != actual.size())
    return ::testing::AssertionFailure() << expected.size() << " lines straightforward, " << actual.size()
                                         << " fast";
  return ::testing::AssertionSuccess();
}

TEST(StraightforwardBuild, WritesTheSameReportsAndProceduresAsTheFastForms) {
  // The benchmarks' medium trial (balanced, three traits), and an unbalanced
  // one: a third of the site x family cells missing, four traits.
  const std::vector<std::vector<std::string>> trials = {
      {"--sites", "5", "--blocks", "8", "--families", "200", "--trees", "2", "--traits", "3", "--seed", "1"},
      {"--sites", "4", "--blocks", "6", "--families", "60", "--trees", "3", "--traits", "4", "--missing", "0.3",
       "--seed", "9"}};
  for (const std::vector<std::string>& trial : trials) {
    SCOPED_TRACE(trial[1] + " sites x " + trial[3] + " blocks x " + trial[5] + " families");
    TempDir dir;
    const std::vector<std::string> args = WriteTrial(dir, trial);
    const Outcome fast = Analyse(KORVAN_CLI_PATH, dir, args);
    const Outcome straightforward = Analyse(KORVAN_STRAIGHTFORWARD_CLI_PATH, dir, args);
    ASSERT_GT(fast.report.size(), 100u);
    EXPECT_TRUE(SameLines(straightforward.report, fast.report)) << "report";
    EXPECT_TRUE(SameLines(straightforward.procedure, fast.procedure)) << "procedure";
  }
}

#endif

}  // namespace
}  // namespace korvan::test
