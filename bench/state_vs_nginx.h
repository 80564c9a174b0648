// /state on the bridge and on nginx in the same run, in alternating turns,
// and how the two compare.
#pragma once

#include <optional>
#include <string>

#include "http_target.h"
#include "report.h"
#include "state_load.h"

namespace simrelay::bench {

// The whole answer to one GET, up to the server's close.
std::optional<std::string> fetch_answer(const HttpTarget& target);

// Each server gets `options.duration` in all. Without nginx only the
// bridge's rows come back, with a line that says why.
Rows measure_state_against_nginx(const HttpTarget& bridge, const StateLoadOptions& options,
                                 int bridge_pid);

}  // namespace simrelay::bench
