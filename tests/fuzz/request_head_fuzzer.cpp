#include "../proxy/proxy_input_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    nimbra::fuzz::checkRequestHead(data, size);
    return 0;
}
