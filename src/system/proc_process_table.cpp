#include "system/proc_process_table.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <iterator>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "base/text.hpp"
#include "base/unique_fd.hpp"

namespace nimbra {
namespace procfs {
namespace {

constexpr std::string_view kListenState = "0A";

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, int base) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
    return value;
}

std::vector<std::string_view> whitespaceFields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        const size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
        if (pos > start) fields.push_back(line.substr(start, pos - start));
    }
    return fields;
}

// A row reads "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...".
std::optional<TcpListener> parseRow(std::string_view row, int port) {
    const auto fields = whitespaceFields(row);
    if (fields.size() < 10) return std::nullopt;
    if (text::toLowerAscii(fields[3]) != text::toLowerAscii(kListenState)) return std::nullopt;

    const std::string_view local = fields[1];
    const size_t colon = local.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const auto localPort = parseNumber<unsigned>(local.substr(colon + 1), 16);
    if (!localPort || static_cast<int>(*localPort) != port) return std::nullopt;

    auto address = decodeHexAddress(local.substr(0, colon));
    const auto inode = parseNumber<std::uint64_t>(fields[9], 10);
    // Inode 0 means the socket has no file any more; nobody can own it.
    if (!address || !inode || *inode == 0) return std::nullopt;
    return TcpListener{*inode, std::move(*address), port};
}

bool validPort(int port) {
    return port >= 1 && port <= 65535;
}

// /proc files report a size of 0, so read until the end instead of trusting stat().
std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    std::string content;
    std::array<char, 4096> buffer;
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n == 0) return content;
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        content.append(buffer.data(), static_cast<size_t>(n));
    }
}

}  // namespace

std::vector<TcpListener> parseTcpListeners(std::string_view table, int port) {
    std::vector<TcpListener> found;
    if (!validPort(port)) return found;
    size_t pos = 0;
    while (pos < table.size()) {
        size_t end = table.find('\n', pos);
        if (end == std::string_view::npos) end = table.size();
        if (auto listener = parseRow(table.substr(pos, end - pos), port)) {
            found.push_back(std::move(*listener));
        }
        pos = end + 1;
    }
    return found;
}

std::optional<std::string> decodeHexAddress(std::string_view hex) {
    if (hex.size() != 8 && hex.size() != 32) return std::nullopt;
    // Every kernel we run on is little-endian: each word's first byte is its lowest.
    std::array<unsigned char, 16> bytes{};
    for (size_t word = 0; word * 8 < hex.size(); ++word) {
        const auto value = parseNumber<std::uint32_t>(hex.substr(word * 8, 8), 16);
        if (!value) return std::nullopt;
        for (size_t i = 0; i < 4; ++i) {
            bytes[word * 4 + i] = static_cast<unsigned char>(*value >> (8 * i));
        }
    }
    const int family = hex.size() == 8 ? AF_INET : AF_INET6;
    char printable[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(family, bytes.data(), printable, sizeof printable) == nullptr) {
        return std::nullopt;
    }
    return std::string(printable);
}

std::optional<std::uint64_t> socketInode(std::string_view linkTarget) {
    constexpr std::string_view prefix = "socket:[";
    if (linkTarget.size() <= prefix.size() + 1 || linkTarget.substr(0, prefix.size()) != prefix ||
        linkTarget.back() != ']') {
        return std::nullopt;
    }
    return parseNumber<std::uint64_t>(
        linkTarget.substr(prefix.size(), linkTarget.size() - prefix.size() - 1), 10);
}

std::string joinCmdline(std::string_view cmdline) {
    // Each argument ends in a NUL. Processes that rewrite their title may leave a run of them.
    while (!cmdline.empty() && cmdline.back() == '\0') cmdline.remove_suffix(1);
    std::string joined(cmdline);
    std::replace(joined.begin(), joined.end(), '\0', ' ');
    return joined;
}

}  // namespace procfs

ProcProcessTable::ProcProcessTable(std::filesystem::path procRoot) : root_(std::move(procRoot)) {}

std::vector<procfs::TcpListener> ProcProcessTable::listeners(int port) const {
    std::vector<procfs::TcpListener> all;
    // tcp6 is missing on kernels without IPv6; the IPv4 table alone is then the whole picture.
    for (const char* table : {"tcp", "tcp6"}) {
        const auto content = procfs::readWholeFile(root_ / "net" / table);
        if (!content) continue;
        auto found = procfs::parseTcpListeners(*content, port);
        std::move(found.begin(), found.end(), std::back_inserter(all));
    }
    return all;
}

std::vector<ProcProcessTable::Owned> ProcProcessTable::ownedListeners(int port) const {
    std::vector<Owned> owned;
    for (auto& socket : listeners(port)) owned.push_back({std::move(socket), {}});
    if (owned.empty()) return owned;

    std::map<std::uint64_t, std::set<pid_t>> owners;
    for (const auto& entry : owned) owners[entry.socket.inode];

    // Every error below just means "not this process": it exited meanwhile, or it is not ours.
    std::error_code error;
    for (std::filesystem::directory_iterator process(root_, error), end; !error && process != end;
         process.increment(error)) {
        const auto pid = procfs::parseNumber<pid_t>(process->path().filename().native(), 10);
        if (!pid || *pid <= 0) continue;
        std::error_code fdError;
        for (std::filesystem::directory_iterator fd(process->path() / "fd", fdError), fdEnd;
             !fdError && fd != fdEnd; fd.increment(fdError)) {
            // "socket:[<20 digits>]" fits easily; anything filling the buffer is not a socket.
            std::array<char, 64> target;
            const ssize_t length = ::readlink(fd->path().c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<size_t>(length) >= target.size()) continue;
            const auto inode =
                procfs::socketInode(std::string_view(target.data(), static_cast<size_t>(length)));
            if (!inode) continue;
            if (const auto wanted = owners.find(*inode); wanted != owners.end()) {
                wanted->second.insert(*pid);
            }
        }
    }

    for (auto& entry : owned) {
        const auto& pids = owners[entry.socket.inode];
        entry.pids.assign(pids.begin(), pids.end());
    }
    return owned;
}

std::vector<pid_t> ProcProcessTable::listenerPids(int port) {
    std::set<pid_t> pids;
    for (const auto& entry : ownedListeners(port))
        pids.insert(entry.pids.begin(), entry.pids.end());
    return {pids.begin(), pids.end()};
}

std::string ProcProcessTable::processArgs(pid_t pid) {
    if (pid <= 0) return "";
    const auto cmdline = procfs::readWholeFile(root_ / std::to_string(pid) / "cmdline");
    return cmdline ? procfs::joinCmdline(*cmdline) : "";
}

std::string ProcProcessTable::comm(pid_t pid) const {
    const auto name = procfs::readWholeFile(root_ / std::to_string(pid) / "comm");
    const std::string_view trimmed = name ? text::trim(*name) : std::string_view();
    return trimmed.empty() ? "?" : std::string(trimmed);
}

std::string ProcProcessTable::listenerSnapshot(int port) {
    std::string snapshot;
    std::set<std::pair<pid_t, std::string>> seen;  // one entry per owner and address
    auto add = [&](pid_t pid, const std::string& where, const std::string& line) {
        if (!seen.emplace(pid, where).second) return;
        if (!snapshot.empty()) snapshot += " | ";
        snapshot += line;
    };
    for (const auto& entry : ownedListeners(port)) {
        const std::string where = entry.socket.address + ":" + std::to_string(entry.socket.port);
        if (entry.pids.empty()) add(0, where, "? ? " + where);
        for (const pid_t pid : entry.pids) {
            add(pid, where, comm(pid) + " " + std::to_string(pid) + " " + where);
        }
    }
    return snapshot.empty() ? "(none)" : snapshot;
}

}  // namespace nimbra
