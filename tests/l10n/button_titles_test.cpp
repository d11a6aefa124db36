// The connect button's and the tray item's titles: the first rule that applies wins. A connect
// under way (the flag alone) outranks its phase, except that the window's button asks to wait
// through any teardown, a cancel's included.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

// Each row: the phase, whether a connect is under way, the English and the Chinese title.
using Rows = std::vector<std::tuple<WarpPhase, bool, std::string, std::string>>;

void expectTitles(std::string (*title)(WarpPhase, bool, AppLanguage), const Rows& rows) {
    for (const auto& [phase, connecting, english, chinese] : rows) {
        SCOPED_TRACE(std::string(rawValue(phase)) + (connecting ? " connecting" : ""));
        EXPECT_EQ(title(phase, connecting, AppLanguage::english), english);
        EXPECT_EQ(title(phase, connecting, AppLanguage::chinese), chinese);
    }
}

TEST(ButtonTitlesTest, TheWindowsButtonSaysWhatAPressDoesAndAsksToWaitWhileStopping) {
    expectTitles(&L10n::connectButtonTitle,
                 {{WarpPhase::preparing, false, "Cancel", "取消"},
                  {WarpPhase::startingEngine, false, "Cancel", "取消"},
                  {WarpPhase::stopping, true, "Please wait…", "请稍候…"},
                  {WarpPhase::disconnected, true, "Cancel", "取消"},
                  {WarpPhase::stopping, false, "Please wait…", "请稍候…"},
                  {WarpPhase::connected, false, "Disconnect", "断开"},
                  {WarpPhase::reconnecting, false, "Disconnect", "断开"},
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
                  {WarpPhase::error, false, "Connect", "连接"}});
}

}  // namespace
}  // namespace nimbra
