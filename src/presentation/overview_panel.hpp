#pragma once

#include <string>

#include "controller/controller_snapshot.hpp"

// The Overview panel's figures that follow a rule rather than a field.
namespace nimbra::presentation {

struct OverviewFigures {
    // "warp=" and the exit's WARP flag; "warp=on (Connected)" when it is on.
    std::string warpStatus;
    // "MASQUE (HTTP/2)" or "MASQUE (QUIC)": the transport of the running connection, else the
    // chosen one (a switch made while connected applies at the next connect).
    std::string protocol;
    // The connected time from the traffic monitor; "00:00" while it is idle.
    std::string connectedTime;
    // The TUN interface row belongs to the real TUN mode: the running connection's mode, else
    // the chosen one.
    bool showsTunInterface = false;
    // The exit address is an IPv6 one: its row must not call it IPv4.
    bool exitIsIpv6 = false;

    bool operator==(const OverviewFigures&) const = default;
};

OverviewFigures overviewFigures(const ControllerSnapshot& snapshot);

}  // namespace nimbra::presentation
