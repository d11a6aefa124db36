#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nimbra::ExitProbe {

inline constexpr std::size_t kQuicProbeSize = 1200;

// A QUIC version 1 long-header Initial packet padded to 1200 bytes, the smallest datagram a QUIC
// server must accept from a client. The payload is not a valid handshake: the point is only to
// make a QUIC endpoint answer (a Version Negotiation, a Retry or a stateless reset all count), so
// the round trip can be timed without completing a connection.
//
// Layout: 0xC0 (long header, Initial); version 0x00000001; DCID length 8 and 8 random bytes;
// SCID length 0; token length 0; length 1100 as a two-byte varint (0x44 0x4C); packet number
// 0x00000001; zeros to the end. Every call draws a fresh connection ID, so two probes in flight
// are never mistaken for one connection.
std::array<std::uint8_t, kQuicProbeSize> quicProbeDatagram();

}  // namespace nimbra::ExitProbe
