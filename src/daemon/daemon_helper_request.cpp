#include "daemon/daemon_helper_request.hpp"

#include <pwd.h>

#include <charconv>
#include <cstring>

namespace nimbra::daemon_helper {
namespace {

using hostile_path::Refused;

std::filesystem::path plainPath(const std::string& text, const std::string& what) {
    hostile_path::checkPathText(text, what);
    return text;
}

}  // namespace

Request parseArguments(const std::vector<std::string>& arguments) {
    const std::size_t count = arguments.size();
    if (count == 1 && arguments[0] == "uninstall") return Request{};
    if ((count == 2 || count == 3) && arguments[0] == "install") {
        Request request;
        request.verb = Request::Verb::install;
        request.workDirectory = plainPath(arguments[1], "the data folder");
        if (count == 3) request.usque = plainPath(arguments[2], "usque");
        return request;
    }
    throw Refused(kUsage);
}

hostile_path::User invokingUser(const char* pkexecUid, uid_t effectiveUid) {
    if (effectiveUid != 0) throw Refused("must run as root, through pkexec");
    if (pkexecUid == nullptr) throw Refused("PKEXEC_UID is not set: run it through pkexec");
    const std::size_t length = std::strlen(pkexecUid);
    uid_t uid = 0;
    const auto [rest, error] = std::from_chars(pkexecUid, pkexecUid + length, uid);
    if (length == 0 || error != std::errc() || rest != pkexecUid + length) {
        throw Refused("PKEXEC_UID is not a uid");
    }
    const passwd* account = ::getpwuid(uid);
    if (account == nullptr) throw Refused("PKEXEC_UID " + std::to_string(uid) + " has no account");
    return {account->pw_uid, account->pw_gid};
}

}  // namespace nimbra::daemon_helper
