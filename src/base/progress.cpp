#include "base/progress.h"

#include "base/korvan_error.h"

namespace korvan {

void ProgressLog::CheckStop() const {
  if (sink_.StopRequested()) throw RunCancelled();
}

}  // namespace korvan
