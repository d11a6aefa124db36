#pragma once

#include <cstddef>
#include <cstdint>

// What a peer may send the local proxies, fed to their parsers with every invariant checked.
// Shared by the libFuzzer targets and the seeded random-input test. A broken invariant aborts.
namespace nimbra::fuzz {

// The bytes as a client's first request head (and whatever came with it) at the HTTP relay.
void checkRequestHead(const std::uint8_t* data, std::size_t size);

// The bytes as a client's greeting and request at the SOCKS5 gateway, read the way the gateway
// reads them, and as a server's replies to the relay's SOCKS5 client.
void checkSocksMessages(const std::uint8_t* data, std::size_t size);

}  // namespace nimbra::fuzz
