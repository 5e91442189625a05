#pragma once

// Every quantity of the report in double precision, from the coded records
// alone: the reference against which the single-precision report is judged,
// and the values of the report that --arithmetic double writes.

#include <array>
#include <atomic>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "rundata/rundata.h"

namespace korvan {

// The five lines of an analysis-of-variance or -covariance table.
enum ExactLine { kLineSite, kLineRep, kLineFamily, kLineSiteFam, kLineError, kLineCount };

struct ExactTrait {
  std::array<double, kLineCount> ss{};  // S.S. by line
  std::array<double, kLineCount> ms{};  // M.S. by line
  std::array<double, 4> vc{};           // 1..3: Vf, Vsf, Ve
  std::array<double, 4> se{};           // 1..3: their standard errors
  double h2 = 0;                        // family-mean heritability, if hasH2
  bool hasH2 = false;                   // false when the Family mean square is 0
  // The reductions themselves (the mean added back after centring).
  double rUR = 0, rUF = 0, rUCell = 0, rUSF = 0, rUSRF = 0, rUSRCell = 0, yy = 0;
  std::vector<double> famConst;  // 1..nFamily: constants of the families in u + r + f
};

struct ExactPair {
  std::array<double, kLineCount> scp{};  // S.C.P. by line
  std::array<double, kLineCount> mcp{};  // M.C.P. by line
  std::array<double, 4> vc{};            // 1..3: family, site x family, error covariance
  double rP = 0, rF = 0;                 // correlations, where hasRP and hasRF
  bool hasRP = false, hasRF = false;
};

struct ExactResults {
  bool available = false;  // false when a system was singular or the run stopped
  std::string absence;     // why they are not available, in words for the user; empty when stopped
  double trFF = 0, trFSF = 0, trSFSF = 0;  // Tr(f:f), Tr(f:sf), Tr(sf:sf)
  double kF = 0, kFSF = 0, kSF = 0;        // E.M.S. coefficients
  std::vector<ExactTrait> traits;              // 1..nTrait
  std::vector<std::vector<ExactPair>> pairs;   // [t1][t2], t1 < t2
};

// Reads only the record columns, trait values, counts and offsets that the
// level coding left, so it may run beside the single-precision stages. Each
// trait is centred on its mean first: the sums then hold the spread alone and
// a large mean costs no digits. Stops early, unavailable, once `stop` is set.
ExactResults ComputeExact(const RunData& run, const std::atomic<bool>& stop);

// Says why the exact values are absent, and `needs`: what they were wanted
// for and what the user can do.
[[noreturn]] void ThrowExactAbsent(const RunData& run, const ExactResults& exact, std::string_view needs);

// ComputeExact on a thread of its own, beside the single-precision stages,
// which leave the record columns and trait values as the coding made them.
// The run must outlive this object; an early end stops the engine.
class ExactBeside {
 public:
  explicit ExactBeside(const RunData& run);
  ~ExactBeside();
  ExactBeside(const ExactBeside&) = delete;
  ExactBeside& operator=(const ExactBeside&) = delete;
  // Waits for the engine; rethrows what stopped it.
  const ExactResults& Results();
  // From another thread that waits in Results(): the run ends early, the
  // values are not wanted.
  void RequestStop() { stop_ = true; }

 private:
  void Compute();

  const RunData& run_;
  std::atomic<bool> stop_{false};
  bool computed_ = false;  // written by the thread before it ends, read after join
  ExactResults results_;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace korvan
