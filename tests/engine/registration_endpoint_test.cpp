// Pointing usque's registration file at an exit gateway: which endpoint each prefix gives, and
// every way the file is left alone (byte for byte) or kept (its other keys, its mode, a link).

#include "engine/registration_endpoint.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::readFile;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using nimbra::testing::writeFile;
using Outcome = EndpointRewriteOutcome;

// As usque writes it, with keys we must never lose, in an order and layout we do not produce.
constexpr const char* kRegistration =
    R"({"private_key":"a2V5","endpoint_v4":"162.159.198.1","endpoint_v6":"2606:4700:103::1",)"
    R"("ipv4":"172.16.0.2","mtu":1280,"ratio":0.25,"nested":{"b":[1,"ü",null],"a":true}})";

class RegistrationEndpoint : public ::testing::Test {
protected:
    TempDir home;
    fs::path file = home / "config.json";
    // The deployment defaults, whatever the environment the tests run in says.
    ScopedEnv v4{"NIMBRA_ENDPOINT_V4", "162.159.198.1"};
    ScopedEnv v6{"NIMBRA_ENDPOINT_V6", "2606:4700:103::1"};
};

// Each from the deployment's endpoints, whichever they are.
TEST_F(RegistrationEndpoint, EachGatewaySetsItsEndpointAndKeepsEveryOtherKey) {
    struct Case {
        const char* prefix;
        const char* endpoint;
        std::pair<const char*, const char*> deployment{"162.159.198.1", "2606:4700:103::1"};
    };
    const Case cases[] = {
        // How a prefix is completed is nat64Address's own test (tests/model).
        {"2602:fc59:b0:64", "2602:fc59:b0:64::a29f:c601"},
        {"none", "2606:4700:103::1"},
        {"", "2606:4700:103::1"},  // an empty preference reads as direct too
        {"64:ff9b::", "64:ff9b::a00:1", {"10.0.0.1", "fd00::2"}},
        {"none", "fd00::2", {"10.0.0.1", "fd00::2"}},
    };
    const auto original = nlohmann::json::parse(kRegistration);
    for (const auto& [prefix, endpoint, deployment] : cases) {
        ScopedEnv v4("NIMBRA_ENDPOINT_V4", deployment.first);
        ScopedEnv v6("NIMBRA_ENDPOINT_V6", deployment.second);
        SCOPED_TRACE(std::string("deployment endpoints ") + deployment.first + ", " +
                     deployment.second);
        // Start from the other gateway's endpoint, so every case really writes.
        auto before = original;
        before["endpoint_v6"] = "2001:db8::1";
        writeFile(file, before.dump());

        const EndpointRewrite rewrite = rewriteEndpointV6(file, prefix);
        EXPECT_EQ(rewrite.outcome, Outcome::written) << prefix << ": " << rewrite.reason;
        EXPECT_EQ(rewrite.endpoint, endpoint) << prefix;
        auto after = nlohmann::json::parse(readFile(file));
        EXPECT_EQ(after.at("endpoint_v6"), endpoint) << prefix;
        after["endpoint_v6"] = original["endpoint_v6"];
        EXPECT_EQ(after, original) << prefix;
    }
}

TEST_F(RegistrationEndpoint, LeavesTheFileByteForByteWhenItCannotOrNeedNotChange) {
    struct Case {
        const char* name;
        std::optional<std::string> contents;  // nullopt: no file at all
        const char* prefix;
        Outcome outcome;
        std::optional<const char*> v4Override = std::nullopt;
    };
    const Case cases[] = {
        {"missing", std::nullopt, "2602:fc59:b0:64::", Outcome::missingFile},
        // JSON that is no object, and no JSON at all.
        {"array", "[1, 2]", "2602:fc59:b0:64::", Outcome::notAnObject},
        {"truncated", std::string(kRegistration).substr(0, 40), "none", Outcome::notAnObject},
        {"already set", kRegistration, "none", Outcome::alreadySet},
        {"bad group", kRegistration, "2602:fc59:zz::", Outcome::invalidPrefix},
        {"endpoint not IPv4", kRegistration, "2602:fc59:b0:64::", Outcome::invalidPrefix,
         "endpoint.example"},
    };
    for (const auto& test : cases) {
        std::optional<ScopedEnv> v4Override;
        if (test.v4Override) v4Override.emplace("NIMBRA_ENDPOINT_V4", *test.v4Override);
        fs::remove(file);
        if (test.contents) writeFile(file, *test.contents);

        const EndpointRewrite rewrite = rewriteEndpointV6(file, test.prefix);
        EXPECT_EQ(rewrite.outcome, test.outcome) << test.name;
        EXPECT_EQ(rewrite.reason.empty(), test.outcome == Outcome::alreadySet) << test.name;
        EXPECT_EQ(rewrite.endpoint.empty(), test.outcome == Outcome::invalidPrefix) << test.name;
        if (test.contents) {
            EXPECT_EQ(readFile(file), *test.contents) << test.name;
        } else {
            EXPECT_FALSE(fs::exists(file)) << test.name;
        }
        // Nothing is left behind beside the file either (no temporary, no copy).
        EXPECT_EQ(std::distance(fs::directory_iterator(home.path()), fs::directory_iterator()),
                  test.contents ? 1 : 0)
            << test.name;
    }
}

TEST_F(RegistrationEndpoint, KeepsTheFileModeAndWritesThroughALink) {
    for (const fs::perms mode : {fs::perms::owner_read | fs::perms::owner_write,
                                 fs::perms::owner_read | fs::perms::owner_write |
                                     fs::perms::group_read | fs::perms::others_read}) {
        writeFile(file, kRegistration);
        fs::permissions(file, mode);
        ASSERT_EQ(rewriteEndpointV6(file, "2602:fc59:b0:64::").outcome, Outcome::written);
        EXPECT_EQ(fs::status(file).permissions(), mode);
    }

    const fs::path link = home / "link.json";
    fs::create_symlink(file, link);
    ASSERT_EQ(rewriteEndpointV6(link, "none").outcome, Outcome::written);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(nlohmann::json::parse(readFile(file)).at("endpoint_v6"), "2606:4700:103::1");
}

TEST_F(RegistrationEndpoint, AFailedWriteKeepsTheOldFile) {
    // The name leaves no room for the temporary file's longer name beside it, which fails even
    // for root, unlike a read-only directory.
    const fs::path longName = home / std::string(250, 'c');
    writeFile(longName, kRegistration);
    const EndpointRewrite rewrite = rewriteEndpointV6(longName, "2602:fc59:b0:64::");
    EXPECT_EQ(rewrite.outcome, Outcome::writeFailed);
    EXPECT_NE(rewrite.reason, "");
    EXPECT_EQ(readFile(longName), kRegistration);
}

}  // namespace
}  // namespace nimbra
