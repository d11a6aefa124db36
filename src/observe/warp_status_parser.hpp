#pragma once

#include <string>

namespace nimbra {

// Reads the output of the official client's `warp-cli status` and says whether it reports a
// connected tunnel.
//
// The output is not a stable format: versions print "Status update: Connected", plain
// "Status: Connected", or several updates in a row as the state changes. So the status lines
// (those beginning, after spaces and tabs, with "status update:" or "status:", any letter case)
// decide, the last one winning; "disconnected" must never be read as "connected". Text without
// a status line falls back to a look at the whole text.
bool warpStatusSaysConnected(const std::string& statusText);

}  // namespace nimbra
