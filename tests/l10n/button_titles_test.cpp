// The connect button's and the tray item's titles: the first rule that applies wins, and a
// connect under way (the flag alone, as during a cancel's teardown) outranks its phase.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

struct Row {
    WarpPhase phase;
    bool connecting;
    std::string english;
    std::string chinese;
};

using Title = std::function<std::string(WarpPhase, bool, AppLanguage)>;

void expectTitles(const Title& title, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(rawValue(row.phase)) + (row.connecting ? " connecting" : ""));
        EXPECT_EQ(title(row.phase, row.connecting, AppLanguage::english), row.english);
        EXPECT_EQ(title(row.phase, row.connecting, AppLanguage::chinese), row.chinese);
    }
}

TEST(ButtonTitlesTest, TheWindowsButtonSaysWhatAPressDoesAndAsksToWaitWhileStopping) {
    expectTitles(&L10n::connectButtonTitle,
                 {{WarpPhase::preparing, false, "Cancel", "取消"},
                  {WarpPhase::startingEngine, false, "Cancel", "取消"},
                  {WarpPhase::stopping, true, "Cancel", "取消"},
                  {WarpPhase::disconnected, true, "Cancel", "取消"},
                  {WarpPhase::stopping, false, "Please wait…", "请稍候…"},
                  {WarpPhase::connected, false, "Disconnect", "断开"},
                  {WarpPhase::reconnecting, false, "Disconnect", "断开"},
                  {WarpPhase::disconnected, false, "Connect", "连接"},
                  {WarpPhase::error, false, "Connect", "连接"}});
}

TEST(ButtonTitlesTest, TheTraysToggleItemSpellsOutWhatItCancelsOrDisconnects) {
    expectTitles(&L10n::trayToggleTitle,
                 {{WarpPhase::preparing, false, "Cancel Connect", "取消连接"},
                  {WarpPhase::startingEngine, false, "Cancel Connect", "取消连接"},
                  {WarpPhase::stopping, true, "Cancel Connect", "取消连接"},
                  {WarpPhase::connected, false, "Disconnect", "断开连接"},
                  {WarpPhase::reconnecting, false, "Disconnect", "断开连接"},
                  {WarpPhase::stopping, false, "Connect", "连接"},
                  {WarpPhase::disconnected, false, "Connect", "连接"},
                  {WarpPhase::error, false, "Connect", "连接"}});
}

}  // namespace
}  // namespace nimbra
