#include "diagnostics/quic_probe_datagram.hpp"

#include <random>

namespace nimbra::ExitProbe {

std::array<std::uint8_t, kQuicProbeSize> quicProbeDatagram() {
    // The connection ID only has to differ between probes, not be secret.
    thread_local std::mt19937_64 generator{std::random_device{}()};

    std::array<std::uint8_t, kQuicProbeSize> datagram{};
    datagram[0] = 0xC0;
    datagram[1] = 0x00;  // QUIC version 1
    datagram[2] = 0x00;
    datagram[3] = 0x00;
    datagram[4] = 0x01;
    datagram[5] = 0x08;  // destination connection ID length
    const std::uint64_t connectionId = generator();
    for (std::size_t i = 0; i < 8; ++i) {
        datagram[6 + i] = static_cast<std::uint8_t>(connectionId >> (8 * i));
    }
    datagram[14] = 0x00;  // source connection ID length
    datagram[15] = 0x00;  // token length
    datagram[16] = 0x44;  // length 1100, varint with the two-byte prefix 0b01
    datagram[17] = 0x4C;
    datagram[18] = 0x00;  // packet number
    datagram[19] = 0x00;
    datagram[20] = 0x00;
    datagram[21] = 0x01;
    return datagram;
}

}  // namespace nimbra::ExitProbe
