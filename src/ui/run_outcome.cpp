#include "ui/run_outcome.h"

#include <exception>
#include <new>

#include "base/korvan_error.h"
#include "input/reader.h"

namespace korvan {

RunOutcome RunAndCatch(const std::function<RunSummary()>& run) {
  RunOutcome outcome;
  try {
    RunSummary summary = run();
    outcome.kind = RunOutcome::Kind::kFinished;
    outcome.warnings = std::move(summary.warnings);
  } catch (const RunCancelled&) {
    outcome.kind = RunOutcome::Kind::kStopped;
  } catch (const MissingValues& e) {
    outcome.message = e.what();
    outcome.missingTrees = e.trees;
    outcome.missingFirstLine = e.firstLine;
  } catch (const KorvanError& e) {
    outcome.message = e.what();
  } catch (const std::bad_alloc&) {
    outcome.message =
        "There is not enough memory for this run. The tables are sized by the boxes "
        "\"No. of Sites\", \"No. of Blocks\", \"No. of Families\", \"No. of Records\" and "
        "\"No. of Traits\": enter the counts of the data rather than larger ones, or close "
        "other programs, and press \"Start\" again.";
  } catch (const std::exception& e) {
    outcome.message = std::string("The run stopped on an unexpected error: ") + e.what() +
                      ". No report was written; check the boxes and the data file and press "
                      "\"Start\" again.";
  } catch (...) {
    outcome.message =
        "The run stopped on an unexpected error. No report was written; check the boxes and "
        "the data file and press \"Start\" again.";
  }
  return outcome;
}

}  // namespace korvan
