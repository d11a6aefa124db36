#include "nimbrad/policy_routing.hpp"

#include <ifaddrs.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netlink/netlink.h>
#include <netlink/route/route.h>
#include <netlink/route/rule.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "nimbrad/daemon_log.hpp"
#include "nimbrad/quoted_for_log.hpp"

namespace nimbra::nimbrad {
namespace {

// The metric of the block behind the tunnel's default route: worse than any route anyone sets.
constexpr std::uint32_t kFallbackMetric = 2147483647;

// Acknowledgements queue up in the socket's receive buffer until read; this many stay well
// inside its default size, so a long list of ranges is sent in datagrams of this many messages.
constexpr std::size_t kMessagesPerDatagram = 64;
constexpr int kUnanswered = -1;

std::string describe(const RouteEntry& e) {
    if (e.kind == RouteEntry::Kind::rule) {
        return "rule " + std::to_string(e.priority) + " to " + e.destination.text() +
               (e.fwmark != 0 ? " fwmark " + std::to_string(e.fwmark) : "") + " lookup " +
               std::to_string(e.table);
    }
    const std::string how = e.type == RouteEntry::Type::unicast       ? " dev " + e.device
                            : e.type == RouteEntry::Type::unreachable ? " unreachable"
                                                                      : " throw";
    return "route " + e.destination.text() + how + " table " + std::to_string(e.table);
}

// Whether routing by `ours` adds entries like `e`. Deleting a rule matches on the attributes
// given, so a rule at another priority or into another table could be anyone's.
bool couldBeOurs(const RouteEntry& e, const RoutingPlan& ours) {
    if (e.kind == RouteEntry::Kind::route) return e.table == ours.table;
    if (e.priority == ours.bypassPriority) return e.table == RT_TABLE_MAIN && e.fwmark == 0;
    if (e.priority == ours.appPriority) {
        return e.table == RT_TABLE_MAIN && e.fwmark == kDirectMark && e.destination.prefix == 0;
    }
    return e.priority == ours.tunnelPriority && e.table == ours.table &&
           e.destination.prefix == 0 && (e.fwmark == 0 || e.fwmark == kProxyMark);
}

struct CidrLess {
    bool operator()(const Cidr& a, const Cidr& b) const {
        return std::tie(a.family, a.bytes, a.prefix) < std::tie(b.family, b.bytes, b.prefix);
    }
};

bool isDefaultRoute(const RouteEntry& e) {
    return e.kind == RouteEntry::Kind::route && e.destination.prefix == 0 &&
           e.type != RouteEntry::Type::throwing;
}

bool isTunnelRule(const RouteEntry& e, std::uint32_t table) {
    return e.kind == RouteEntry::Kind::rule && e.table == table && e.destination.prefix == 0;
}

// The rules per-app routing owns: the catch-all into our table and the direct apps' rule.
bool isAppManagedRule(const RouteEntry& e, const RoutingPlan& plan) {
    return isTunnelRule(e, plan.table) ||
           (e.kind == RouteEntry::Kind::rule && e.priority == plan.appPriority);
}

struct MessageFree {
    void operator()(nl_msg* m) const { nlmsg_free(m); }
};
using Message = std::unique_ptr<nl_msg, MessageFree>;

class Socket {
public:
    Socket() : sock_(nl_socket_alloc()) {
        if (sock_ == nullptr) throw RoutingError("netlink: out of memory");
        if (const int err = nl_connect(sock_, NETLINK_ROUTE); err < 0) {
            nl_socket_free(sock_);
            throw RoutingError(std::string("netlink: ") + nl_geterror(err));
        }
    }
    ~Socket() { nl_socket_free(sock_); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    nl_sock* get() const { return sock_; }

private:
    nl_sock* sock_;
};

nl_addr* toNetlink(const Cidr& cidr) {
    nl_addr* addr =
        nl_addr_build(cidr.family, cidr.bytes.data(), static_cast<unsigned>(cidr.addressLength()));
    if (addr == nullptr) throw RoutingError("netlink: out of memory");
    nl_addr_set_prefixlen(addr, static_cast<int>(cidr.prefix));
    return addr;
}

// The request that adds (or deletes) one entry; nothing when there is nothing to delete (a
// route via a device that has gone, which took its routes with it).
Message request(const RouteEntry& e, bool add) {
    nl_msg* msg = nullptr;
    int err = 0;
    nl_addr* dst = toNetlink(e.destination);
    if (e.kind == RouteEntry::Kind::rule) {
        rtnl_rule* rule = rtnl_rule_alloc();
        rtnl_rule_set_family(rule, e.destination.family);
        rtnl_rule_set_prio(rule, e.priority);
        rtnl_rule_set_table(rule, e.table);
        rtnl_rule_set_action(rule, FR_ACT_TO_TBL);
        if (e.destination.prefix > 0) rtnl_rule_set_dst(rule, dst);
        if (e.fwmark != 0) {
            rtnl_rule_set_mark(rule, e.fwmark);
            rtnl_rule_set_mask(rule, 0xffffffff);
        }
        err = add ? rtnl_rule_build_add_request(rule, NLM_F_CREATE | NLM_F_EXCL, &msg)
                  : rtnl_rule_build_delete_request(rule, 0, &msg);
        rtnl_rule_put(rule);
    } else {
        const bool unicast = e.type == RouteEntry::Type::unicast;
        unsigned ifindex = 0;
        if (unicast) {
            ifindex = ::if_nametoindex(e.device.c_str());
            if (ifindex == 0) {
                nl_addr_put(dst);
                if (add) throw RoutingError("no device " + e.device);
                return nullptr;
            }
        }
        rtnl_route* route = rtnl_route_alloc();
        rtnl_route_set_family(route, static_cast<std::uint8_t>(e.destination.family));
        rtnl_route_set_table(route, e.table);
        rtnl_route_set_dst(route, dst);
        rtnl_route_set_protocol(route, RTPROT_STATIC);
        if (e.priority != 0) rtnl_route_set_priority(route, e.priority);
        rtnl_route_set_type(route, unicast                                   ? RTN_UNICAST
                                   : e.type == RouteEntry::Type::unreachable ? RTN_UNREACHABLE
                                                                             : RTN_THROW);
        // A route straight onto a device reaches only its link; a delete matches any scope.
        const bool onLink = unicast && e.destination.family == AF_INET;
        rtnl_route_set_scope(route, !add     ? RT_SCOPE_NOWHERE
                                    : onLink ? RT_SCOPE_LINK
                                             : RT_SCOPE_UNIVERSE);
        if (unicast) {
            rtnl_nexthop* hop = rtnl_route_nh_alloc();
            rtnl_route_nh_set_ifindex(hop, static_cast<int>(ifindex));
            rtnl_route_add_nexthop(route, hop);
        }
        err = add ? rtnl_route_build_add_request(route, NLM_F_CREATE | NLM_F_EXCL, &msg)
                  : rtnl_route_build_del_request(route, 0, &msg);
        rtnl_route_put(route);
    }
    nl_addr_put(dst);
    if (err < 0) throw RoutingError(std::string("netlink: ") + nl_geterror(err));
    return Message(msg);
}

struct Answers {
    std::map<std::uint32_t, std::size_t> bySequence;
    std::vector<int>* errors;
    std::size_t answered = 0;

    void record(std::uint32_t sequence, int error) {
        const auto it = bySequence.find(sequence);
        if (it == bySequence.end() || (*errors)[it->second] != kUnanswered) return;
        (*errors)[it->second] = error;
        ++answered;
    }
};

int onError(sockaddr_nl*, nlmsgerr* error, void* arg) {
    static_cast<Answers*>(arg)->record(error->msg.nlmsg_seq, -error->error);
    return NL_SKIP;
}

int onAck(nl_msg* msg, void* arg) {
    static_cast<Answers*>(arg)->record(nlmsg_hdr(msg)->nlmsg_seq, 0);
    return NL_OK;
}

int anySequence(nl_msg*, void*) {
    return NL_OK;
}

// Sends the requests as a batch: many messages in one datagram, then one answer per message.
// Returns each message's errno (0 for done); with `stopOnError` the datagrams after one with a
// refusal are not sent and their messages stay kUnanswered.
std::vector<int> sendBatch(const Socket& sock, const std::vector<Message>& requests,
                           bool stopOnError) {
    std::vector<int> errors(requests.size(), kUnanswered);
    std::unique_ptr<nl_cb, void (*)(nl_cb*)> cb(nl_cb_alloc(NL_CB_DEFAULT), nl_cb_put);
    if (!cb) throw RoutingError("netlink: out of memory");
    for (std::size_t first = 0; first < requests.size(); first += kMessagesPerDatagram) {
        const std::size_t last = std::min(requests.size(), first + kMessagesPerDatagram);
        Answers answers{{}, &errors};
        std::string datagram;
        for (std::size_t i = first; i < last; ++i) {
            nl_complete_msg(sock.get(), requests[i].get());
            const nlmsghdr* header = nlmsg_hdr(requests[i].get());
            answers.bySequence[header->nlmsg_seq] = i;
            datagram.append(reinterpret_cast<const char*>(header), NLMSG_ALIGN(header->nlmsg_len));
        }
        nl_cb_err(cb.get(), NL_CB_CUSTOM, onError, &answers);
        nl_cb_set(cb.get(), NL_CB_ACK, NL_CB_CUSTOM, onAck, &answers);
        nl_cb_set(cb.get(), NL_CB_SEQ_CHECK, NL_CB_CUSTOM, anySequence, nullptr);
        if (const int sent = nl_sendto(sock.get(), datagram.data(), datagram.size()); sent < 0) {
            throw RoutingError(std::string("netlink: ") + nl_geterror(sent));
        }
        while (answers.answered < last - first) {
            if (const int err = nl_recvmsgs(sock.get(), cb.get()); err < 0) {
                throw RoutingError(std::string("netlink: ") + nl_geterror(err));
            }
        }
        if (stopOnError && std::any_of(errors.begin() + static_cast<std::ptrdiff_t>(first),
                                       errors.begin() + static_cast<std::ptrdiff_t>(last),
                                       [](int e) { return e != 0; })) {
            break;
        }
    }
    return errors;
}

bool sameFamily(const RouteEntry& e, int family) {
    return e.destination.family == family;
}

// Deletes `entries` in reverse order, one batch per family. What is already gone counts as
// deleted. Throws RoutingError naming what the kernel would not delete.
void deleteEntries(const Socket& sock, const std::vector<RouteEntry>& entries) {
    std::string failures;
    for (const int family : {AF_INET6, AF_INET}) {
        std::vector<Message> requests;
        std::vector<const RouteEntry*> asked;
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            if (!sameFamily(*it, family)) continue;
            if (auto msg = request(*it, false)) {
                requests.push_back(std::move(msg));
                asked.push_back(&*it);
            }
        }
        const auto errors = sendBatch(sock, requests, false);
        for (std::size_t i = 0; i < errors.size(); ++i) {
            if (errors[i] != 0 && errors[i] != ENOENT && errors[i] != ESRCH) {
                failures += "; " + describe(*asked[i]) + ": " + std::strerror(errors[i]);
            }
        }
    }
    if (!failures.empty()) throw RoutingError("could not delete" + failures.substr(1));
}

bool hasIpv6Address(const std::string& device) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool found = false;
    for (const ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6 || device != a->ifa_name) {
            continue;
        }
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
        found = !IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr);
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace

std::vector<std::string> standardBypassCidrs() {
    return {"10.0.0.0/8",  "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16", "100.64.0.0/10",
            "224.0.0.0/4", "fe80::/10",     "fc00::/7",       "ff00::/8"};
}

PolicyRouting::PolicyRouting(RoutingPlan plan, std::filesystem::path journal)
    : plan_(std::move(plan)), journal_(std::move(journal)) {}

std::vector<RouteEntry> PolicyRouting::plannedEntries() const {
    std::vector<Cidr> kept;
    for (const auto* list : {&plan_.endpoints, &plan_.bypass}) {
        for (const auto& text : *list) {
            const auto cidr = Cidr::parse(text);
            if (!cidr) throw RoutingError("not an address or CIDR: " + text);
            if (std::find(kept.begin(), kept.end(), *cidr) == kept.end()) kept.push_back(*cidr);
        }
    }
    std::set<Cidr, CidrLess> direct(plan_.direct.begin(), plan_.direct.end());
    const bool tunnelHasIpv6 = hasIpv6Address(plan_.tunnelDevice);
    std::vector<RouteEntry> entries;
    for (const int family : {AF_INET, AF_INET6}) {
        RouteEntry route{RouteEntry::Kind::route,   plan_.table,       0, Cidr::everything(family),
                         RouteEntry::Type::unicast, plan_.tunnelDevice};
        if (family == AF_INET6 && !tunnelHasIpv6) {
            route.type = RouteEntry::Type::unreachable;
            route.device.clear();
        }
        entries.push_back(route);
        // Behind the tunnel's route, a block: while usque restarts, its device and the route
        // through it are gone, and traffic must wait rather than leave around the tunnel.
        if (route.type == RouteEntry::Type::unicast) {
            entries.push_back({RouteEntry::Kind::route,
                               plan_.table,
                               kFallbackMetric,
                               Cidr::everything(family),
                               RouteEntry::Type::unreachable,
                               {}});
        }
        for (const auto& cidr : direct) {
            if (cidr.family == family) entries.push_back(directRoute(cidr));
        }
        for (const auto& cidr : kept) {
            if (cidr.family == family) entries.push_back(bypassRule(cidr));
        }
        // Last, so nothing is sent to our table before the ways around it exist.
        for (auto& rule : tunnelRules(family)) entries.push_back(std::move(rule));
    }
    return entries;
}

std::vector<RouteEntry> PolicyRouting::tunnelRules(int family) const {
    std::vector<RouteEntry> rules;
    if (plan_.appDefault == AppRouteTarget::proxy) {
        rules.push_back({RouteEntry::Kind::rule,
                         RT_TABLE_MAIN,
                         plan_.appPriority,
                         Cidr::everything(family),
                         RouteEntry::Type::unicast,
                         {},
                         kDirectMark});
    }
    const std::uint32_t mark = plan_.appDefault == AppRouteTarget::direct ? kProxyMark : 0;
    rules.push_back({RouteEntry::Kind::rule,
                     plan_.table,
                     plan_.tunnelPriority,
                     Cidr::everything(family),
                     RouteEntry::Type::unicast,
                     {},
                     mark});
    return rules;
}

RouteEntry PolicyRouting::bypassRule(const Cidr& network) const {
    return {RouteEntry::Kind::rule,    RT_TABLE_MAIN,
            plan_.bypassPriority,      network,
            RouteEntry::Type::unicast, {}};
}

RouteEntry PolicyRouting::directRoute(const Cidr& network) const {
    return {RouteEntry::Kind::route, plan_.table, 0, network, RouteEntry::Type::throwing, {}};
}

void PolicyRouting::install() {
    if (installed()) throw RoutingError("policy routing is already installed");
    if (::if_nametoindex(plan_.tunnelDevice.c_str()) == 0) {
        throw RoutingError("no device " + plan_.tunnelDevice);
    }
    recoverFromJournal(journal_, plan_);
    const auto planned = plannedEntries();
    writeRouteJournal(journal_, planned);

    const Socket sock;
    std::vector<RouteEntry> added;
    std::string refused;
    for (const int family : {AF_INET, AF_INET6}) {
        std::vector<Message> requests;
        std::vector<const RouteEntry*> asked;
        for (const auto& e : planned) {
            if (!sameFamily(e, family)) continue;
            requests.push_back(request(e, true));
            asked.push_back(&e);
        }
        const auto errors = sendBatch(sock, requests, true);
        for (std::size_t i = 0; i < errors.size(); ++i) {
            if (errors[i] == 0) added.push_back(*asked[i]);
            if (errors[i] > 0)
                refused += "; " + describe(*asked[i]) + ": " + std::strerror(errors[i]);
        }
        if (!refused.empty()) break;
    }
    if (!refused.empty()) {
        // Back to where we started; if even that fails the journal stays for the next start.
        deleteEntries(sock, added);
        std::filesystem::remove(journal_);
        throw RoutingError("the kernel refused" + refused.substr(1));
    }
    entries_ = planned;
}

void PolicyRouting::remove() {
    if (!installed()) return;
    deleteEntries(Socket(), entries_);
    std::filesystem::remove(journal_);
    entries_.clear();
}

bool PolicyRouting::addBypass(const Cidr& network) {
    const auto rule = bypassRule(network);
    const bool inPlan =
        std::any_of(plan_.bypass.begin(), plan_.bypass.end(),
                    [&](const std::string& t) { return Cidr::parse(t) == network; });
    if (installed()) {
        if (std::find(entries_.begin(), entries_.end(), rule) != entries_.end()) return false;
        // Beside the other bypass rules, before the rule into our table.
        auto next = entries_;
        const auto tunnelRule = std::find_if(next.begin(), next.end(), [&](const RouteEntry& e) {
            return isTunnelRule(e, plan_.table) && e.destination.family == network.family;
        });
        next.insert(tunnelRule, rule);
        change(std::move(next), {rule}, {});
    } else if (inPlan) {
        return false;
    }
    if (!inPlan) plan_.bypass.push_back(network.text());
    return true;
}

bool PolicyRouting::removeBypass(const Cidr& network) {
    std::vector<std::string> kept = standardBypassCidrs();
    kept.insert(kept.end(), plan_.endpoints.begin(), plan_.endpoints.end());
    if (std::any_of(kept.begin(), kept.end(),
                    [&](const std::string& t) { return Cidr::parse(t) == network; })) {
        return false;
    }
    const auto inPlan = [&](const std::string& t) { return Cidr::parse(t) == network; };
    if (!installed()) return std::erase_if(plan_.bypass, inPlan) > 0;
    const auto rule = bypassRule(network);
    const auto at = std::find(entries_.begin(), entries_.end(), rule);
    if (at == entries_.end()) return false;
    auto next = entries_;
    next.erase(next.begin() + (at - entries_.begin()));
    change(std::move(next), {}, {rule});
    std::erase_if(plan_.bypass, inPlan);
    return true;
}

void PolicyRouting::setDirectRanges(std::vector<Cidr> networks) {
    const std::set<Cidr, CidrLess> wanted(networks.begin(), networks.end());
    if (installed()) {
        std::set<Cidr, CidrLess> present;
        for (const auto& e : entries_) {
            if (e.kind == RouteEntry::Kind::route && e.type == RouteEntry::Type::throwing) {
                present.insert(e.destination);
            }
        }
        std::vector<RouteEntry> added;
        std::vector<RouteEntry> deleted;
        for (const auto& cidr : wanted) {
            if (!present.contains(cidr)) added.push_back(directRoute(cidr));
        }
        for (const auto& cidr : present) {
            if (!wanted.contains(cidr)) deleted.push_back(directRoute(cidr));
        }
        // The new ones go after their family's default route, where install() puts them.
        std::vector<RouteEntry> next;
        next.reserve(entries_.size() + added.size());
        for (const auto& e : entries_) {
            if (e.type == RouteEntry::Type::throwing && !wanted.contains(e.destination)) continue;
            next.push_back(e);
            if (!isDefaultRoute(e)) continue;
            for (const auto& a : added) {
                if (a.destination.family == e.destination.family) next.push_back(a);
            }
        }
        change(std::move(next), added, deleted);
    }
    plan_.direct.assign(wanted.begin(), wanted.end());
}

void PolicyRouting::setAppDefault(std::optional<AppRouteTarget> appDefault) {
    const auto before = plan_.appDefault;
    plan_.appDefault = appDefault;
    if (!installed() || before == appDefault) return;
    std::vector<RouteEntry> next;
    std::vector<RouteEntry> added;
    std::vector<RouteEntry> deleted;
    for (const auto& e : entries_) {
        if (!isAppManagedRule(e, plan_)) {
            next.push_back(e);
            continue;
        }
        deleted.push_back(e);
        // The family's new rules take the place of its old catch-all.
        if (!isTunnelRule(e, plan_.table)) continue;
        for (auto& rule : tunnelRules(e.destination.family)) next.push_back(std::move(rule));
    }
    for (const auto& e : next) {
        if (isAppManagedRule(e, plan_) &&
            std::find(deleted.begin(), deleted.end(), e) == deleted.end()) {
            added.push_back(e);
        }
    }
    std::erase_if(deleted, [&](const RouteEntry& e) {
        return std::find(next.begin(), next.end(), e) != next.end();
    });
    try {
        change(std::move(next), added, deleted);
    } catch (...) {
        plan_.appDefault = before;
        throw;
    }
}

void PolicyRouting::reattachTunnel() {
    if (!installed()) return;
    std::vector<Message> requests;
    std::vector<const RouteEntry*> asked;
    for (const auto& e : entries_) {
        if (e.kind == RouteEntry::Kind::route && e.type == RouteEntry::Type::unicast &&
            e.device == plan_.tunnelDevice) {
            requests.push_back(request(e, true));
            asked.push_back(&e);
        }
    }
    // The journal already lists these routes: they are the ones install() added.
    const auto errors = sendBatch(Socket(), requests, false);
    std::string refused;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (errors[i] > 0 && errors[i] != EEXIST)
            refused += "; " + describe(*asked[i]) + ": " + std::strerror(errors[i]);
    }
    if (!refused.empty()) throw RoutingError("the kernel refused" + refused.substr(1));
}

void PolicyRouting::change(std::vector<RouteEntry> next, const std::vector<RouteEntry>& added,
                           const std::vector<RouteEntry>& deleted) {
    if (added.empty() && deleted.empty()) return;
    const Socket sock;
    // Additions first, so a network never loses its way around the tunnel in between.
    std::vector<Message> requests;
    std::vector<std::pair<const RouteEntry*, bool>> asked;  // and whether it is an addition
    for (const auto& e : added) {
        requests.push_back(request(e, true));
        asked.emplace_back(&e, true);
    }
    for (const auto& e : deleted) {
        if (auto msg = request(e, false)) {
            requests.push_back(std::move(msg));
            asked.emplace_back(&e, false);
        }
    }
    // Until the kernel has answered, the old entries and the new may both be there.
    std::vector<RouteEntry> either = next;
    either.insert(either.end(), deleted.begin(), deleted.end());
    writeRouteJournal(journal_, either);

    std::vector<int> errors;
    try {
        errors = sendBatch(sock, requests, true);
    } catch (const RoutingError&) {
        // No telling what the kernel did: remove() takes back either.
        entries_ = std::move(either);
        throw;
    }
    std::vector<RouteEntry> undoAdded;
    std::vector<RouteEntry> undoDeleted;
    std::string refused;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        const auto& [entry, addition] = asked[i];
        const int err = errors[i];
        if (err == 0) {
            (addition ? undoAdded : undoDeleted).push_back(*entry);
        } else if (err > 0 && (addition || (err != ENOENT && err != ESRCH))) {
            refused += "; " + describe(*entry) + ": " + std::strerror(err);
        }
    }
    if (refused.empty()) {
        entries_ = std::move(next);
        writeRouteJournal(journal_, entries_);
        return;
    }

    std::vector<Message> undo;
    for (auto it = undoAdded.rbegin(); it != undoAdded.rend(); ++it) {
        undo.push_back(request(*it, false));
    }
    for (const auto& e : undoDeleted) undo.push_back(request(e, true));
    const auto undone = sendBatch(sock, undo, false);
    if (std::any_of(undone.begin(), undone.end(), [](int e) { return e != 0; })) {
        // The journal keeps listing both, for remove() or the next start.
        entries_ = std::move(either);
        throw RoutingError("the kernel refused" + refused.substr(1) +
                           ", and putting back what was there failed");
    }
    writeRouteJournal(journal_, entries_);
    throw RoutingError("the kernel refused" + refused.substr(1));
}

std::size_t PolicyRouting::recoverFromJournal(const std::filesystem::path& path,
                                              const RoutingPlan& ours) {
    const auto journal = readRouteJournal(path);
    if (!journal) return 0;
    for (const auto& line : journal->unreadable) {
        daemonLog("routing journal: refused " + quotedForLog(line) + ": not a line nimbrad writes");
    }
    std::vector<RouteEntry> taken;
    for (const auto& e : journal->entries) {
        if (couldBeOurs(e, ours)) {
            taken.push_back(e);
        } else {
            daemonLog("routing journal: refused " + quotedForLog(describe(e)) +
                      ": nimbrad never adds it");
        }
    }
    deleteEntries(Socket(), taken);
    std::filesystem::remove(path);
    return taken.size();
}

}  // namespace nimbra::nimbrad
