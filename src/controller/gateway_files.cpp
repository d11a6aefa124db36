#include "controller/gateway_files.hpp"

namespace nimbra {

void GatewayFiles::write(uint64_t number, const ConnectionServices& services,
                         const std::string& prefix, bool http2) {
    std::lock_guard lock(mutex_);
    if (number <= written_) return;
    written_ = number;
    services.pointRegistrationAt(prefix);
    services.daemon->syncPreferences(http2);
}

}  // namespace nimbra
