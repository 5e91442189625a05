#include <gtest/gtest.h>

#include <algorithm>
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

// A run's report and procedure file, without the times of day the
// procedure file ends with.
std::string Analyse(const std::string& program, const TempDir& dir, const std::vector<std::string>& args) {
  const CliResult run = RunProgram(program, args);
  EXPECT_EQ(run.exitCode, 0) << program << ": " << run.err;
  const std::string procedure = ReadFile(dir / "trial.procedure");
  return ReadFile(dir / "trial.out") + procedure.substr(0, procedure.rfind("\n Start at "));
}

TEST(StraightforwardBuild, WritesTheSameReportsAndProceduresAsTheFastForms) {
  // The benchmarks' medium trial (balanced, three traits), and an unbalanced
  // one: a third of the site x family cells missing, four traits.
  const std::vector<std::vector<std::string>> trials = {
      {"--sites", "5", "--blocks", "8", "--families", "200", "--trees", "2", "--traits", "3", "--seed", "1"},
      {"--sites", "4", "--blocks", "6", "--families", "60", "--trees", "3", "--traits", "4", "--missing", "0.3",
       "--seed", "9"}};
  for (std::vector<std::string> trial : trials) {
    SCOPED_TRACE(trial[1] + " sites x " + trial[3] + " blocks x " + trial[5] + " families");
    TempDir dir;
    trial.insert(trial.end(), {"--out", dir / "trial.dat", "--sidecar"});
    const CliResult made = RunProgram(KORVAN_GENERATOR_PATH, trial);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    // The generator's command, with the report and the procedure file in `dir`.
    std::vector<std::string> args = ReadLines(dir / "trial.dat.args");
    const auto output = std::find(args.begin(), args.end(), "--output");
    ASSERT_TRUE(output != args.end() && output + 1 != args.end());
    *(output + 1) = dir / "trial.out";
    args.insert(args.end(), {"--quiet", "--procedure", dir / "trial.procedure"});
    const std::string fast = Analyse(KORVAN_CLI_PATH, dir, args);
    ASSERT_GT(std::count(fast.begin(), fast.end(), '\n'), 100);
    // Multi-line strings that differ are printed as a diff.
    EXPECT_EQ(Analyse(KORVAN_STRAIGHTFORWARD_CLI_PATH, dir, args), fast);
  }
}

#endif

}  // namespace
}  // namespace korvan::test
