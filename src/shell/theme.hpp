#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "base/preference_store.hpp"
#include "model/desktop_color_scheme.hpp"
#include "model/font_choice.hpp"
#include "model/palette.hpp"

namespace nimbra::shell {

class DesktopColorSchemeWatch;

// The one object the window takes every colour and font from (QML context property "theme").
// The scheme follows the stored theme ("nimbra_ui_theme") and, for "system", the desktop; the
// fonts follow the interface language ("ui_language"). Lives on the GUI thread.
class Theme : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool dark READ dark NOTIFY changed)
    Q_PROPERTY(QColor windowBg READ windowBg NOTIFY changed)
    Q_PROPERTY(QColor sidebarBg READ sidebarBg NOTIFY changed)
    Q_PROPERTY(QColor cardBg READ cardBg NOTIFY changed)
    Q_PROPERTY(QColor cardBgSecondary READ cardBgSecondary NOTIFY changed)
    Q_PROPERTY(QColor border READ border NOTIFY changed)
    Q_PROPERTY(QColor text READ text NOTIFY changed)
    Q_PROPERTY(QColor textMuted READ textMuted NOTIFY changed)
    Q_PROPERTY(QColor accent READ accent NOTIFY changed)
    Q_PROPERTY(QColor accentDeep READ accentDeep NOTIFY changed)
    Q_PROPERTY(QColor emerald READ emerald NOTIFY changed)
    Q_PROPERTY(QColor amber READ amber NOTIFY changed)
    Q_PROPERTY(QColor coral READ coral NOTIFY changed)
    Q_PROPERTY(QColor idle READ idle NOTIFY changed)
    Q_PROPERTY(QColor onAccent READ onAccent NOTIFY changed)
    Q_PROPERTY(QColor noticeBg READ noticeBg NOTIFY changed)
    Q_PROPERTY(QColor noticeBorder READ noticeBorder NOTIFY changed)
    Q_PROPERTY(QColor tipBg READ tipBg NOTIFY changed)
    Q_PROPERTY(QColor tipBorder READ tipBorder NOTIFY changed)
    Q_PROPERTY(QString fontFamily READ fontFamily NOTIFY changed)
    Q_PROPERTY(QString monoFamily READ monoFamily NOTIFY changed)

public:
    // `installedFamilies` is what the font database offers (QFontDatabase::families()).
    Theme(PreferenceStore& store, DesktopColorSchemeWatch& desktop,
          const QStringList& installedFamilies, QObject* parent = nullptr);
    ~Theme() override;

    ColorScheme scheme() const { return scheme_; }
    bool dark() const { return scheme_ == ColorScheme::dark; }
    QColor windowBg() const { return colour(&Palette::windowBg); }
    QColor sidebarBg() const { return colour(&Palette::sidebarBg); }
    QColor cardBg() const { return colour(&Palette::cardBg); }
    QColor cardBgSecondary() const { return colour(&Palette::cardBgSecondary); }
    QColor border() const { return colour(&Palette::border); }
    QColor text() const { return colour(&Palette::text); }
    QColor textMuted() const { return colour(&Palette::textMuted); }
    QColor accent() const { return colour(&Palette::accent); }
    QColor accentDeep() const { return colour(&Palette::accentDeep); }
    QColor emerald() const { return colour(&Palette::emerald); }
    QColor amber() const { return colour(&Palette::amber); }
    QColor coral() const { return colour(&Palette::coral); }
    QColor idle() const { return colour(&Palette::idle); }
    QColor onAccent() const { return colour(&Palette::onAccent); }
    QColor noticeBg() const { return colour(&Palette::noticeBg); }
    QColor noticeBorder() const { return colour(&Palette::noticeBorder); }
    QColor tipBg() const { return colour(&Palette::tipBg); }
    QColor tipBorder() const { return colour(&Palette::tipBorder); }
    QString fontFamily() const;
    QString monoFamily() const;

Q_SIGNALS:
    void changed();

private:
    QColor colour(Rgb Palette::*role) const;
    void reload();

    PreferenceStore& store_;
    DesktopColorSchemeWatch& desktop_;
    std::vector<std::string> installed_;
    ColorScheme scheme_ = ColorScheme::light;
    FontChoice fonts_;
    std::unique_ptr<PreferenceStore::Subscription> themeSubscription_;
    std::unique_ptr<PreferenceStore::Subscription> languageSubscription_;
};

}  // namespace nimbra::shell
