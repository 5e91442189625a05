#include "ui/progress.h"

#include "input/korvan_error.h"

namespace korvan {

void ProgressLog::CheckStop() const {
  if (sink_.StopRequested()) throw RunCancelled();
}

}  // namespace korvan
