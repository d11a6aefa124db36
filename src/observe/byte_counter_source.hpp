#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nimbra {

// A pair of byte counters: received (download) and sent (upload).
struct ByteCounts {
    std::int64_t rx = 0;
    std::int64_t tx = 0;

    bool operator==(const ByteCounts&) const = default;
};

// Where the traffic monitor reads its counters. It is asked once per sample, on the sampling
// pool, never by two threads at once.
// Readings are raw counter values, not deltas: the monitor subtracts consecutive readings and
// treats a reading that went backwards (a wrapped 32-bit counter, an interface that came back,
// a changed target) as a zero sample, so a source may wrap but should otherwise only grow.
// A source that cannot read anything returns (0, 0).
class ByteCounterSource {
public:
    virtual ~ByteCounterSource() = default;

    // `interfaceName` names one interface to measure; none means "the tunnel", whatever the
    // source takes that to be.
    virtual ByteCounts sample(const std::optional<std::string>& interfaceName) = 0;
};

}  // namespace nimbra
