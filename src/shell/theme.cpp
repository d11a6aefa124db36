#include "shell/theme.hpp"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QMetaObject>
#include <QPointer>
#include <string_view>

#include "model/app_preferences.hpp"
#include "model/preference_keys.hpp"
#include "shell/desktop_color_scheme_watch.hpp"

namespace nimbra::shell {
namespace {

// Preference listeners may run on any thread; the theme is only touched on the GUI thread.
PreferenceStore::Listener reloadOnGui(QPointer<Theme> guard, void (Theme::*reload)()) {
    return [guard, reload](std::string_view) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) return;
        QMetaObject::invokeMethod(
            app,
            [guard, reload] {
                if (Theme* theme = guard.data()) (theme->*reload)();
            },
            Qt::QueuedConnection);
    };
}

}  // namespace

Theme::Theme(PreferenceStore& store, DesktopColorSchemeWatch& desktop,
             const QStringList& installedFamilies, QObject* parent)
    : QObject(parent), store_(store), desktop_(desktop) {
    installed_.reserve(static_cast<size_t>(installedFamilies.size()));
    for (const QString& family : installedFamilies) installed_.push_back(family.toStdString());
    reload();
    connect(&desktop_, &DesktopColorSchemeWatch::schemeChanged, this, &Theme::reload);
    const QPointer<Theme> guard(this);
    themeSubscription_ = store_.subscribe(prefkey::uiTheme, reloadOnGui(guard, &Theme::reload));
    languageSubscription_ =
        store_.subscribe(prefkey::uiLanguage, reloadOnGui(guard, &Theme::reload));
}

Theme::~Theme() {
    themeSubscription_.reset();
    languageSubscription_.reset();
}

QColor Theme::colour(Rgb Palette::*role) const {
    const Rgb& rgb = palette(scheme_).*role;
    return QColor::fromRgbF(static_cast<float>(rgb.red), static_cast<float>(rgb.green),
                            static_cast<float>(rgb.blue));
}

// Nothing of a chain installed: the desktop's own font of that kind, named, so that a binding
// never hands QML an empty family.
QString Theme::fontFamily() const {
    if (fonts_.interface.empty()) {
        return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }
    return QString::fromStdString(fonts_.interface);
}

QString Theme::monoFamily() const {
    if (fonts_.mono.empty()) return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    return QString::fromStdString(fonts_.mono);
}

void Theme::reload() {
    const AppPreferences preferences(store_);
    const ColorScheme scheme = effectiveColorScheme(preferences.theme(), desktop_.scheme());
    FontChoice fonts = chooseFonts(installed_, preferences.uiLanguage());
    if (scheme == scheme_ && fonts.interface == fonts_.interface && fonts.mono == fonts_.mono) {
        return;
    }
    scheme_ = scheme;
    fonts_ = std::move(fonts);
    Q_EMIT changed();
}

}  // namespace nimbra::shell
