#pragma once

#include <asio/ip/tcp.hpp>

// The data path of an established tunnel: both the relay and the gateway end in it.
namespace nimbra {

// How bytes cross between the two sockets.
enum class PumpMethod {
    splice,    // Linux: socket -> pipe -> socket inside the kernel, no copy through user space
    buffered,  // anywhere: read into a pooled buffer, write it out
};

// splice where the platform has it.
PumpMethod preferredPumpMethod();

// Relays bytes both ways between `client` and `upstream` (both connected, both on the calling
// thread's io_context) until both directions have ended, and returns at once.
//
// Per direction: wait until the source is readable, read at most 256 KiB, write all of it, and
// only then read again, so a receiver that does not read throttles its sender instead of making
// us buffer. A direction holds a buffer (or pipe) only while its bytes are in flight.
//
// An end of stream in one direction is passed on as a half-close (shutdown of sending) and the
// other direction keeps going: a client that sends its request and half-closes still gets the
// whole answer. An error in either direction closes both connections.
void relayBothWays(asio::ip::tcp::socket client, asio::ip::tcp::socket upstream, PumpMethod method);

}  // namespace nimbra
