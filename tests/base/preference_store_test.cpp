// The preference file: what survives a restart, how types and absence are told apart, that stores
// sharing the file keep each other's writes, and that a damaged file is kept rather than
// overwritten.

#include "base/preference_store.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#include "support/file_text.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

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

std::vector<std::filesystem::path> corruptCopies(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> copies;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with("preferences.json.corrupt-")) {
            copies.push_back(entry.path());
        }
    }
    return copies;
}

// Two stores on one file stand for the client and nimbra-cli running side by side.
TEST(PreferenceStore, StoresSharingAFileKeepEachOthersWritesAndRemovals) {
    TempDir dir;
    const auto file = dir / "preferences.json";
    PreferenceStore gui(file);
    PreferenceStore cli(file);
    gui.setText("ui_language", "zh");
    cli.setInteger("socks_port", 20000);
    gui.setBoolean("china_direct", false);
    EXPECT_EQ(gui.integer("socks_port"), 20000);  // a write brings in what the other stored
    cli.remove("ui_language");
    cli.setBoolean("usque_prefer_http2", true);
    gui.setText("nimbra_ui_theme", "dark");  // must not bring back what cli removed

    const std::string all = R"({"china_direct":false,"nimbra_ui_theme":"dark","socks_port":20000,)"
                            R"("usque_prefer_http2":true})";
    EXPECT_EQ(gui.snapshotJson(), all);
    EXPECT_EQ(PreferenceStore(file).snapshotJson(), all);

    // A reader takes in the other's writes when it asks; a damaged file changes nothing.
    cli.setText("nimbra_ui_theme", "light");
    EXPECT_EQ(gui.text("nimbra_ui_theme"), "dark");
    EXPECT_TRUE(gui.reload());
    EXPECT_EQ(gui.text("nimbra_ui_theme"), "light");
    EXPECT_FALSE(gui.reload());
    std::ofstream(file) << "{";
    EXPECT_FALSE(gui.reload());
    EXPECT_EQ(gui.text("nimbra_ui_theme"), "light");
}

TEST(PreferenceStore, StoresWritingFromTwoThreadsAtOnceLoseNothing) {
    TempDir dir;
    const auto file = dir / "preferences.json";
    constexpr int kWrites = 200;  // and half as many removals
    PreferenceStore first(file);
    PreferenceStore second(file);
    auto hammer = [](PreferenceStore& store, const std::string& prefix) {
        for (int i = 0; i < kWrites; ++i) {
            store.setInteger(prefix + std::to_string(i), i);
            // Each even key is removed again, so removals race with the other thread's writes.
            if (i % 2 == 1) store.remove(prefix + std::to_string(i - 1));
        }
    };
    std::thread other(hammer, std::ref(second), "second.");
    hammer(first, "first.");
    other.join();

    PreferenceStore reopened(file);
    for (const char* prefix : {"first.", "second."}) {
        for (int i = 0; i < kWrites; ++i) {
            const auto stored = reopened.integer(prefix + std::to_string(i));
            if (i % 2 == 0) {
                EXPECT_FALSE(stored.has_value()) << prefix << i;
            } else {
                EXPECT_EQ(stored, i) << prefix << i;
            }
        }
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "preferences.json.lock"));
    EXPECT_EQ(std::filesystem::status(dir / "preferences.json.lock").permissions() &
                  std::filesystem::perms::all & ~std::filesystem::perms::owner_all,
              std::filesystem::perms::none);
}

// Damage found when the store opens the file, or made since it last read it (say, another
// program cut it short): the bytes are copied aside once, and the next write goes on from what
// the store last read -- nothing at all in the first case.
TEST(PreferenceStore, ADamagedFileIsKeptAsideOnceAndTheNextWriteGoesOnFromTheLastRead) {
    for (const std::string& damaged : {std::string("{\"ui_language\": \"zh\""),
                                       std::string("[1, 2]"), std::string("\xff\xfe garbage")}) {
        for (const bool sinceRead : {false, true}) {
            SCOPED_TRACE(damaged + (sinceRead ? ", since read" : ", at open"));
            TempDir dir;
            const auto file = dir / "preferences.json";
            writeFile(file, R"({"ui_language":"zh"})");
            std::optional<PreferenceStore> store;
            if (sinceRead) store.emplace(file);
            writeFile(file, damaged);
            if (!sinceRead) store.emplace(file);
            EXPECT_EQ(store->contains("ui_language"), sinceRead);

            store->setBoolean("china_direct", false);
            const auto copies = corruptCopies(dir.path());
            ASSERT_EQ(copies.size(), 1u);  // the write's re-read of the same damage made none
            EXPECT_EQ(readFile(copies[0]), damaged);
            EXPECT_EQ(PreferenceStore(file).snapshotJson(),
                      sinceRead ? R"({"china_direct":false,"ui_language":"zh"})"
                                : R"({"china_direct":false})");
        }
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
