#pragma once

namespace korvan {

// True when standard error goes to a terminal rather than a file or pipe,
// so a line that redraws itself in place is seen rather than logged.
bool StandardErrorIsTerminal();

}  // namespace korvan
