// The connect button's and the tray item's titles: the first rule that applies wins. A connect
// under way (the flag alone) outranks its phase, except that the window's button asks to wait
// through any teardown, a cancel's included.

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

TEST(ButtonTitlesTest, TheButtonSaysWhatAPressDoesAndTheTraySpellsOutWhatItCancels) {
    // The phase, whether a connect is under way, then the button's and the tray item's titles in
    // English and in Chinese.
    using Titles = std::tuple<std::string, std::string, std::string, std::string>;
    const std::tuple<WarpPhase, bool, Titles> rows[] = {
        {WarpPhase::preparing, false, {"Cancel", "取消", "Cancel Connect", "取消连接"}},
        {WarpPhase::startingEngine, false, {"Cancel", "取消", "Cancel Connect", "取消连接"}},
        {WarpPhase::stopping, true, {"Please wait…", "请稍候…", "Cancel Connect", "取消连接"}},
        {WarpPhase::disconnected, true, {"Cancel", "取消", "Cancel Connect", "取消连接"}},
        {WarpPhase::stopping, false, {"Please wait…", "请稍候…", "Connect", "连接"}},
        {WarpPhase::connected, false, {"Disconnect", "断开", "Disconnect", "断开连接"}},
        {WarpPhase::reconnecting, false, {"Disconnect", "断开", "Disconnect", "断开连接"}},
        {WarpPhase::error, false, {"Connect", "连接", "Connect", "连接"}},
    };
    for (const auto& [phase, connecting, titles] : rows) {
        SCOPED_TRACE(std::string(rawValue(phase)) + (connecting ? " connecting" : ""));
        const auto title = [&](auto rule, AppLanguage language) {
            return rule(phase, connecting, language);
        };
        EXPECT_EQ(title(&L10n::connectButtonTitle, AppLanguage::english), std::get<0>(titles));
        EXPECT_EQ(title(&L10n::connectButtonTitle, AppLanguage::chinese), std::get<1>(titles));
        EXPECT_EQ(title(&L10n::trayToggleTitle, AppLanguage::english), std::get<2>(titles));
        EXPECT_EQ(title(&L10n::trayToggleTitle, AppLanguage::chinese), std::get<3>(titles));
    }
}

}  // namespace
}  // namespace nimbra
