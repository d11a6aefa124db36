// The preference file: what survives a restart, how types and absence are told apart, and that a
// damaged file is kept rather than overwritten.

#include "base/preference_store.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using testing::TempDir;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(PreferenceStore, ValuesSurviveReopeningAndKeepTheirTypes) {
    TempDir dir;
    const auto file = dir / "nimbra" / "preferences.json";  // parent created on first write
    {
        PreferenceStore store(file);
        store.setBoolean("china_direct", false);
        store.setInteger("socks_port", 18088);
        store.setText("ui_language", "");
        store.setData("blob", std::string("\0\xff\x01 raw", 7));
    }
    PreferenceStore reopened(file);
    EXPECT_EQ(reopened.boolean("china_direct"), false);  // stored false, not absent
    EXPECT_EQ(reopened.integer("socks_port"), 18088);
    EXPECT_EQ(reopened.text("ui_language"), "");  // stored empty, not absent
    EXPECT_EQ(reopened.data("blob"), std::string("\0\xff\x01 raw", 7));
    EXPECT_FALSE(reopened.contains("never_written"));
    EXPECT_EQ(reopened.boolean("never_written"), std::nullopt);
}

TEST(PreferenceStore, ValuesOfAnotherTypeReadAsAbsent) {
    TempDir dir;
    std::ofstream(dir / "p.json") << R"({"flag": "yes", "port": 1.5, "name": 3, "data": "abc"})";
    PreferenceStore store(dir / "p.json");
    EXPECT_EQ(store.boolean("flag"), std::nullopt);
    EXPECT_EQ(store.integer("port"), std::nullopt);
    EXPECT_EQ(store.text("name"), std::nullopt);
    EXPECT_EQ(store.data("data"), std::nullopt);
    EXPECT_TRUE(store.contains("flag"));
}

TEST(PreferenceStore, RemoveMakesAKeyAbsentOnDiskToo) {
    TempDir dir;
    {
        PreferenceStore store(dir / "p.json");
        store.setBoolean("set_system_socks_proxy", true);
        store.remove("set_system_socks_proxy");
    }
    EXPECT_FALSE(PreferenceStore(dir / "p.json").contains("set_system_socks_proxy"));
}

TEST(PreferenceStore, ACorruptFileIsKeptAsideAndTheStoreStartsEmpty) {
    for (const std::string& damaged : {std::string("{\"ui_language\": \"zh\""),
                                       std::string("[1, 2]"), std::string("\xff\xfe garbage")}) {
        TempDir dir;
        const auto file = dir / "preferences.json";
        std::ofstream(file) << damaged;

        PreferenceStore store(file);
        EXPECT_FALSE(store.contains("ui_language"));

        std::vector<std::filesystem::path> copies;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (entry.path().filename().string().starts_with("preferences.json.corrupt-")) {
                copies.push_back(entry.path());
            }
        }
        ASSERT_EQ(copies.size(), 1u) << damaged;
        EXPECT_EQ(readFile(copies[0]), damaged);

        // The first write replaces the damaged file; the copy still holds what was there.
        store.setText("ui_language", "en");
        EXPECT_EQ(PreferenceStore(file).text("ui_language"), "en");
        EXPECT_EQ(readFile(copies[0]), damaged);
    }
}

TEST(PreferenceStore, ListenersHearOnlyTheirKeyUntilUnsubscribed) {
    TempDir dir;
    PreferenceStore store(dir / "p.json");
    std::vector<std::string> heard;
    auto subscription =
        store.subscribe("ui_language", [&](std::string_view key) { heard.emplace_back(key); });
    store.setText("ui_language", "zh");
    store.setText("nimbra_ui_theme", "dark");
    store.remove("ui_language");
    subscription.reset();
    store.setText("ui_language", "en");
    EXPECT_EQ(heard, (std::vector<std::string>{"ui_language", "ui_language"}));
}

TEST(PreferenceStore, ConcurrentWritersLeaveAValidFileWithEveryValue) {
    TempDir dir;
    const auto file = dir / "p.json";
    {
        PreferenceStore store(file);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&store, t] {
                for (int i = 0; i < 25; ++i) {
                    store.setInteger("k" + std::to_string(t) + "_" + std::to_string(i), i);
                    (void)store.integer("k0_0");
                }
            });
        }
        for (auto& writer : writers) writer.join();
    }
    PreferenceStore reopened(file);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(reopened.integer("k" + std::to_string(t) + "_" + std::to_string(i)), i);
        }
    }
}

}  // namespace
}  // namespace nimbra
