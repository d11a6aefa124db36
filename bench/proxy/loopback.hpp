#pragma once

#include <chrono>

// Small socket chores of the benchmark; everything it starts listens on 127.0.0.1 only.
namespace nimbra::bench {

// A port of 127.0.0.1 for a proxy to listen on, free right now. Throws when there is none.
int freeLoopbackPort();

// Tries to connect to 127.0.0.1:port until something accepts or the time is up.
bool waitForListener(int port, std::chrono::milliseconds limit);

// Thousands of held tunnels need thousands of descriptors; children inherit the raised limit.
void raiseOpenFileLimit();

}  // namespace nimbra::bench
