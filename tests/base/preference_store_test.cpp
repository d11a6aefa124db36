// The preference file: what survives a restart, how types and absence are told apart, and that a
// damaged file is kept rather than overwritten.

#include "base/preference_store.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using testing::TempDir;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PreferenceStore, ValuesSurviveReopeningWithTheirTypesAndAbsenceIsNotFalse) {
    TempDir dir;
    const auto file = dir / "nimbra" / "preferences.json";  // parent created on first write
    const std::string binary("\0\xff\x01 raw", 7);
    {
        PreferenceStore store(file);
        store.setBoolean("china_direct", false);
        store.setInteger("socks_port", 18088);
        store.setText("ui_language", "");
        store.setData("blob", binary);
        store.setBoolean("removed", true);
        store.remove("removed");
    }
    PreferenceStore reopened(file);
    EXPECT_EQ(reopened.boolean("china_direct"), false);  // stored false, not absent
    EXPECT_EQ(reopened.integer("socks_port"), 18088);
    EXPECT_EQ(reopened.text("ui_language"), "");  // stored empty, not absent
    EXPECT_EQ(reopened.data("blob"), binary);
    EXPECT_FALSE(reopened.contains("removed"));
    EXPECT_EQ(reopened.boolean("never_written"), std::nullopt);
    // Asked for as another type, a value reads as absent.
    EXPECT_EQ(reopened.boolean("socks_port"), std::nullopt);
    EXPECT_EQ(reopened.integer("china_direct"), std::nullopt);
    EXPECT_EQ(reopened.data("ui_language"), std::nullopt);
    EXPECT_EQ(reopened.text("blob"), std::nullopt);
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

}  // namespace
}  // namespace nimbra
