#include "nimbrad/system_resolver.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "base/atomic_file.hpp"
#include "base/log.hpp"
#include "base/subprocess.hpp"

namespace nimbra::nimbrad {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kHeader = "nimbrad-resolver 1";
constexpr std::string_view kOursHeader =
    "# Written by nimbrad while the tunnel is up; the previous file comes back when it stops.\n";
// resolvectl talks to resolved over D-Bus; anything slower than this is a resolved in trouble.
constexpr auto kToolTimeout = 10s;

void log(const std::string& message) {
    logLine("nimbrad resolver", message);
}

std::string errnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// ---- journal text ---------------------------------------------------------------------------

std::string hex(std::string_view bytes) {
    // An empty file still needs a word on its line.
    if (bytes.empty()) return "-";
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0xf];
    }
    return out;
}

std::optional<std::string> unhex(std::string_view text) {
    if (text == "-") return std::string();
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
        if (error != std::errc() || end != text.data() + i + 2) return std::nullopt;
        out += static_cast<char>(value);
    }
    return out;
}

template <typename T>
std::optional<T> number(std::string_view digits, int base = 10) {
    T value{};
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

// "key rest of the line": the rest may hold spaces (paths, symlink targets).
std::pair<std::string_view, std::string_view> splitFirst(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) return {line, {}};
    return {line.substr(0, space), line.substr(space + 1)};
}

bool isDeviceName(std::string_view name) {
    // IFNAMSIZ - 1, and nothing a tool or the journal could read as another word.
    if (name.empty() || name.size() > 15 || name.front() == '-') return false;
    for (char c : name) {
        if (c <= ' ' || c == '/' || c > '~') return false;
    }
    return true;
}

std::optional<ResolverJournal> parseBefore(std::string_view rest, ResolverJournal journal) {
    const auto [kind, details] = splitFirst(rest);
    if (kind == "absent" && details.empty() && rest == "absent") {
        journal.before = ResolverJournal::Before::absent;
        return journal;
    }
    if (kind == "symlink" && !details.empty()) {
        journal.before = ResolverJournal::Before::symlink;
        journal.target = std::string(details);
        return journal;
    }
    if (kind != "regular") return std::nullopt;
    std::vector<std::string_view> w;
    std::string_view remaining = details;
    while (w.size() < 4) {
        const auto [word, next] = splitFirst(remaining);
        w.push_back(word);
        remaining = next;
        if (remaining.empty()) break;
    }
    if (w.size() != 4 || !remaining.empty()) return std::nullopt;
    const auto mode = number<unsigned>(w[0], 8);
    const auto owner = number<uid_t>(w[1]);
    const auto group = number<gid_t>(w[2]);
    const auto bytes = unhex(w[3]);
    if (!mode || *mode > 07777 || !owner || !group || !bytes) return std::nullopt;
    journal.before = ResolverJournal::Before::regular;
    journal.mode = static_cast<mode_t>(*mode);
    journal.owner = *owner;
    journal.group = *group;
    journal.bytes = *bytes;
    return journal;
}

std::optional<ResolverJournal> parseLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        // A line without its newline is a torn write, which the atomic writer never leaves.
        if (end == std::string_view::npos) return std::nullopt;
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    if (lines.size() < 2 || lines[0] != kHeader) return std::nullopt;
    ResolverJournal journal;
    const auto [kind, rest] = splitFirst(lines[1]);
    if (kind == "resolved") {
        if (lines.size() != 2 || !isDeviceName(rest)) return std::nullopt;
        journal.kind = ResolverJournal::Kind::resolved;
        journal.device = std::string(rest);
        return journal;
    }
    if (kind != "file" || lines.size() != 4 || rest.empty() || rest.front() != '/') {
        return std::nullopt;
    }
    journal.kind = ResolverJournal::Kind::file;
    journal.path = std::string(rest);
    const auto [beforeKey, beforeRest] = splitFirst(lines[2]);
    const auto [oursKey, oursRest] = splitFirst(lines[3]);
    if (beforeKey != "before" || oursKey != "ours") return std::nullopt;
    auto parsed = parseBefore(beforeRest, journal);
    const auto ours = unhex(oursRest);
    if (!parsed || !ours) return std::nullopt;
    parsed->ours = *ours;
    return parsed;
}

// ---- the resolver file ----------------------------------------------------------------------

// What is at `path` now, described the way the journal records it. Throws for anything we would
// not know how to put back (a directory, a device).
ResolverJournal snapshot(const fs::path& path) {
    ResolverJournal now;
    now.kind = ResolverJournal::Kind::file;
    now.path = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            now.before = ResolverJournal::Before::absent;
            return now;
        }
        throw ResolverError("cannot inspect " + path.string() + ": " + errnoText(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        std::error_code error;
        const auto target = fs::read_symlink(path, error);
        if (error)
            throw ResolverError("cannot read the link " + path.string() + ": " + error.message());
        now.before = ResolverJournal::Before::symlink;
        now.target = target.string();
        return now;
    }
    if (!S_ISREG(st.st_mode)) {
        throw ResolverError(path.string() + " is neither a file nor a symlink; not touching it");
    }
    const auto bytes = readWholeFile(path);
    if (!bytes) throw ResolverError("cannot read " + path.string());
    now.before = ResolverJournal::Before::regular;
    now.mode = st.st_mode & 07777;
    now.owner = st.st_uid;
    now.group = st.st_gid;
    now.bytes = *bytes;
    return now;
}

fs::path scratchPath(const fs::path& path) {
    // A fixed name, so a crash leaves at most one stray file, which the next attempt reuses.
    return path.parent_path() / ("." + path.filename().string() + ".nimbrad-new");
}

void syncDirectory(const fs::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Replaces `path` with a regular file (contents, mode and owner as given) in one rename, so a
// reader sees the old file or the whole new one. Throws ResolverError with `path` untouched.
void replaceWithFile(const fs::path& path, std::string_view bytes, mode_t mode, uid_t owner,
                     gid_t group) {
    const auto scratch = scratchPath(path);
    const int fd =
        ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw ResolverError("cannot write " + scratch.string() + ": " + errnoText(errno));
    }
    auto fail = [&](const std::string& what) {
        const int error = errno;
        ::close(fd);
        ::unlink(scratch.c_str());
        throw ResolverError("cannot " + what + " " + scratch.string() + ": " + errnoText(error));
    };
    for (std::string_view rest = bytes; !rest.empty();) {
        const ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("write");
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    // fchmod after fchown: changing the owner may clear set-id bits.
    if (::fchown(fd, owner, group) != 0) fail("set the owner of");
    if (::fchmod(fd, mode) != 0) fail("set the mode of");
    if (::fsync(fd) != 0) fail("sync");
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(scratch.c_str());
        throw ResolverError("cannot close " + scratch.string() + ": " + errnoText(error));
    }
    if (::rename(scratch.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(scratch.c_str());
        throw ResolverError("cannot replace " + path.string() + ": " + errnoText(error));
    }
    syncDirectory(path.parent_path());
}

void replaceWithSymlink(const fs::path& path, const std::string& target) {
    const auto scratch = scratchPath(path);
    ::unlink(scratch.c_str());
    if (::symlink(target.c_str(), scratch.c_str()) != 0) {
        throw ResolverError("cannot create the link " + scratch.string() + ": " + errnoText(errno));
    }
    if (::rename(scratch.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(scratch.c_str());
        throw ResolverError("cannot replace " + path.string() + ": " + errnoText(error));
    }
    syncDirectory(path.parent_path());
}

// ---- resolvectl -----------------------------------------------------------------------------

// The tool's complaint when it fails, "" when it succeeds.
std::string runResolvectl(const std::string& program, std::vector<std::string> args) {
    Subprocess::Options options;
    options.argv = {program};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    std::string command;
    for (const auto& arg : options.argv) command += (command.empty() ? "" : " ") + arg;
    try {
        const auto result = Subprocess::run(std::move(options), kToolTimeout);
        if (result.timedOut) return command + ": no answer within 10 s";
        if (result.status.succeeded()) return {};
        auto message = result.err.empty() ? result.out : result.err;
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
            message.pop_back();
        }
        return command + ": exit " + std::to_string(result.status.code) +
               (message.empty() ? "" : ": " + message);
    } catch (const SubprocessError& error) {
        return command + ": " + error.what();
    }
}

// Per-link DNS on `device`, with every domain routed to it; the first complaint, or "".
std::string setLinkDns(const std::string& resolvectl, const std::string& device,
                       const std::string& server) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"dns", device, server},
                                               {"domain", device, "~."},
                                               {"default-route", device, "true"}}) {
        if (auto failure = runResolvectl(resolvectl, args); !failure.empty()) return failure;
    }
    return {};
}

// The forwarder's address for each consumer: resolved takes "addr:port" (IPv6 in brackets);
// resolv.conf takes only an address and always means port 53.
struct ListenAddress {
    std::string address;
    std::optional<unsigned> port;

    static ListenAddress parse(const std::string& text) {
        ListenAddress out;
        std::string_view host = text;
        std::optional<std::string_view> port;
        if (!host.empty() && host.front() == '[') {
            const auto close = host.find(']');
            if (close == std::string_view::npos || close + 1 >= host.size() ||
                host[close + 1] != ':') {
                throw ResolverError("bad forwarder address " + text);
            }
            port = host.substr(close + 2);
            host = host.substr(1, close - 1);
        } else if (std::count(host.begin(), host.end(), ':') == 1) {
            const auto colon = host.find(':');
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
        }
        unsigned char buffer[16];
        out.address = std::string(host);
        if (::inet_pton(AF_INET, out.address.c_str(), buffer) != 1 &&
            ::inet_pton(AF_INET6, out.address.c_str(), buffer) != 1) {
            throw ResolverError("bad forwarder address " + text);
        }
        if (port) {
            const auto value = number<unsigned>(*port);
            if (!value || *value == 0 || *value > 65535) {
                throw ResolverError("bad forwarder port in " + text);
            }
            if (*value != 53) out.port = *value;
        }
        return out;
    }

    std::string forResolved() const {
        if (!port) return address;
        const bool v6 = address.find(':') != std::string::npos;
        return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(*port);
    }
};

// ---- undoing --------------------------------------------------------------------------------

void removeJournal(const fs::path& journal) {
    std::error_code error;
    fs::remove(journal, error);
    if (error) log("cannot delete " + journal.string() + ": " + error.message());
}

// Puts back what `journal` records. Throws ResolverError when the previous file cannot be put
// back, so the journal stays for another try.
void undo(const ResolverJournal& journal, const std::string& resolvectl) {
    if (journal.kind == ResolverJournal::Kind::resolved) {
        // After a crash the tunnel device is usually gone, and resolved forgot its settings with
        // it; the tool then fails, which is fine.
        const auto failure = runResolvectl(resolvectl, {"revert", journal.device});
        log(failure.empty()
                ? "DNS settings of " + journal.device + " reverted"
                : "revert of " + journal.device + " (harmless when it is gone): " + failure);
        return;
    }
    const auto now = snapshot(journal.path);
    if (now.before != ResolverJournal::Before::regular || now.bytes != journal.ours) {
        log(journal.path.string() +
            " was changed by someone else while the tunnel was up; leaving their version alone");
        return;
    }
    switch (journal.before) {
        case ResolverJournal::Before::regular:
            replaceWithFile(journal.path, journal.bytes, journal.mode, journal.owner,
                            journal.group);
            break;
        case ResolverJournal::Before::symlink:
            replaceWithSymlink(journal.path, journal.target);
            break;
        case ResolverJournal::Before::absent:
            if (::unlink(journal.path.c_str()) != 0 && errno != ENOENT) {
                throw ResolverError("cannot remove " + journal.path.string() + ": " +
                                    errnoText(errno));
            }
            break;
    }
    log(journal.path.string() + " put back as it was before the tunnel");
}

void writeJournal(const fs::path& path, const ResolverJournal& journal) {
    // A name with a newline in it would make a journal the next start refuses to read: better
    // to change nothing now.
    if (parseResolverJournal(formatResolverJournal(journal)) != journal) {
        throw ResolverError("cannot record " + journal.path.string() + " in the journal safely");
    }
    try {
        writeFileAtomically(path, formatResolverJournal(journal));
    } catch (const std::exception& error) {
        throw ResolverError("cannot write the resolver journal: " + std::string(error.what()));
    }
}

}  // namespace

std::string formatResolverJournal(const ResolverJournal& journal) {
    std::string out(kHeader);
    out += "\n";
    if (journal.kind == ResolverJournal::Kind::resolved) {
        return out + "resolved " + journal.device + "\n";
    }
    out += "file " + journal.path.string() + "\n";
    switch (journal.before) {
        case ResolverJournal::Before::regular: {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(journal.mode));
            out += "before regular " + std::string(mode) + " " + std::to_string(journal.owner) +
                   " " + std::to_string(journal.group) + " " + hex(journal.bytes) + "\n";
            break;
        }
        case ResolverJournal::Before::symlink:
            out += "before symlink " + journal.target + "\n";
            break;
        case ResolverJournal::Before::absent:
            out += "before absent\n";
            break;
    }
    return out + "ours " + hex(journal.ours) + "\n";
}

std::optional<ResolverJournal> parseResolverJournal(std::string_view text) {
    auto journal = parseLines(text);
    // Only our own spelling (no stray spaces, leading zeros, uppercase digits) counts.
    if (!journal || formatResolverJournal(*journal) != text) return std::nullopt;
    return journal;
}

std::string tunnelResolvConf(std::string_view original, std::string_view listenAddress) {
    std::string out(kOursHeader);
    out += "nameserver " + std::string(listenAddress) + "\n";
    while (!original.empty()) {
        const auto end = std::min(original.find('\n'), original.size());
        const auto line = original.substr(0, end);
        original.remove_prefix(std::min(end + 1, original.size()));
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) continue;
        const auto keyword = line.substr(start, line.find_first_of(" \t", start) - start);
        if (keyword == "search" || keyword == "domain" || keyword == "options") {
            out += std::string(line) + "\n";
        }
    }
    return out;
}

SystemResolver::SystemResolver(Options options) : options_(std::move(options)) {}

bool SystemResolver::resolvedManages() const {
    struct stat st {};
    if (::lstat(options_.resolvConf.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    std::error_code error;
    auto target = fs::read_symlink(options_.resolvConf, error);
    if (error) return false;
    if (target.is_relative()) target = options_.resolvConf.parent_path() / target;
    // Canonical on both sides: /lib may be a link to /usr/lib, and /etc/resolv.conf often names
    // its target relatively ("../run/systemd/resolve/stub-resolv.conf").
    const auto resolvedTarget = fs::weakly_canonical(target, error);
    if (error) return false;
    bool known = false;
    for (const auto& file : options_.resolvedFiles) {
        std::error_code ignored;
        if (fs::weakly_canonical(file, ignored) == resolvedTarget && !ignored) known = true;
    }
    // The files under /run vanish with each boot; a dangling link means resolved never ran.
    if (!known || !fs::exists(resolvedTarget, error)) return false;
    // A stopped resolved leaves its files behind; only an answer shows it is running.
    const auto failure = runResolvectl(options_.resolvectl, {"status"});
    if (!failure.empty()) {
        log(options_.resolvConf.string() + " links to resolved, which does not answer (" + failure +
            "); managing the file directly");
        return false;
    }
    return true;
}

void SystemResolver::pointAt(const std::string& device, const std::string& listenAddress) {
    if (!isDeviceName(device)) throw ResolverError("bad tunnel device name \"" + device + "\"");
    const auto address = ListenAddress::parse(listenAddress);
    if (journal_ && listenAddress == listenAddress_) {
        if (viaResolved() && journal_->device == device) {
            relinkResolved(address.forResolved());
            return;
        }
        if (!viaResolved() && fileStillOurs()) return;
    }
    if (journal_) {
        restore();
    } else if (fs::exists(options_.journal)) {
        // A crashed run's backup is the only copy of the user's own file: never write over it.
        recoverFromJournal(options_.journal, options_.resolvConf, options_.resolvectl);
    }
    if (resolvedManages()) {
        pointResolved(device, address.forResolved());
    } else {
        if (address.port) {
            throw ResolverError("resolv.conf can only name a server on port 53, not " +
                                listenAddress);
        }
        pointFile(address.address);
    }
    listenAddress_ = listenAddress;
}

void SystemResolver::pointResolved(const std::string& device, const std::string& server) {
    ResolverJournal journal;
    journal.kind = ResolverJournal::Kind::resolved;
    journal.device = device;
    writeJournal(options_.journal, journal);
    if (const auto failure = setLinkDns(options_.resolvectl, device, server); !failure.empty()) {
        runResolvectl(options_.resolvectl, {"revert", device});
        removeJournal(options_.journal);
        throw ResolverError("cannot point systemd-resolved at the forwarder: " + failure);
    }
    journal_ = journal;
    log("systemd-resolved sends every query to " + server + " through " + device);
}

void SystemResolver::relinkResolved(const std::string& server) {
    // Nothing is reverted on failure: the journal still says to, at restore() or the next start.
    if (const auto failure = setLinkDns(options_.resolvectl, journal_->device, server);
        !failure.empty()) {
        throw ResolverError("cannot point systemd-resolved at the forwarder again: " + failure);
    }
    log("systemd-resolved sends every query to " + server + " through the new " + journal_->device);
}

bool SystemResolver::fileStillOurs() const {
    try {
        const auto now = snapshot(options_.resolvConf);
        return now.before == ResolverJournal::Before::regular && now.bytes == journal_->ours;
    } catch (const ResolverError&) {
        return false;
    }
}

void SystemResolver::pointFile(const std::string& address) {
    auto journal = snapshot(options_.resolvConf);
    // Through the link, for its search domains; a dangling link has none.
    const auto original = journal.before == ResolverJournal::Before::regular
                              ? journal.bytes
                              : readWholeFile(options_.resolvConf).value_or("");
    journal.ours = tunnelResolvConf(original, address);
    writeJournal(options_.journal, journal);
    try {
        replaceWithFile(options_.resolvConf, journal.ours, 0644, ::geteuid(), ::getegid());
    } catch (...) {
        removeJournal(options_.journal);
        throw;
    }
    journal_ = journal;
    log(options_.resolvConf.string() + " now names the forwarder " + address);
}

void SystemResolver::restore() {
    if (!journal_) return;
    undo(*journal_, options_.resolvectl);
    removeJournal(options_.journal);
    journal_.reset();
}

bool SystemResolver::recoverFromJournal(const fs::path& journal, const fs::path& resolvConf,
                                        const std::string& resolvectl) {
    std::error_code error;
    if (!fs::exists(journal, error)) return false;
    const auto text = readWholeFile(journal);
    if (!text) throw ResolverError("cannot read the resolver journal " + journal.string());
    const auto parsed = parseResolverJournal(*text);
    if (!parsed) {
        throw ResolverError("the resolver journal " + journal.string() +
                            " is garbled; nothing was changed");
    }
    if (parsed->kind == ResolverJournal::Kind::file &&
        parsed->path.lexically_normal() != resolvConf.lexically_normal()) {
        throw ResolverError("the resolver journal " + journal.string() + " is about " +
                            parsed->path.string() + ", not " + resolvConf.string() +
                            "; nothing was changed");
    }
    log("undoing the DNS change a previous run left (" + journal.string() + ")");
    undo(*parsed, resolvectl);
    removeJournal(journal);
    return true;
}

}  // namespace nimbra::nimbrad
