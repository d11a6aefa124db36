#pragma once

#include "standin_options.hpp"

namespace nimbra::standin {

// `usque nativetun -c <config> -n <iface> -k <dur> [--http2]`: a real TUN interface in this
// network namespace with the registration's addresses, whose packets come out of a second TUN
// ("warp0") that the far-end server at USQUE_STANDIN_FAR_END made in the provider's namespace,
// and back. Needs root. Returns the exit status.
int runNativeTun(const StandinOptions& options);

}  // namespace nimbra::standin
