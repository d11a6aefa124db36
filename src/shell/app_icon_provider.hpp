#pragma once

#include <QQuickAsyncImageProvider>
#include <QString>
#include <QThreadPool>
#include <memory>
#include <string>

#include "apprules/icon_lookup.hpp"
#include "shell/app_icon_cache.hpp"

class QQmlEngine;

namespace nimbra::shell {

// The scheme QML asks for application icons with: image://appicon/<percent-encoded Icon value>
// (encodeURIComponent of a desktop entry's Icon, a theme name or an absolute path).
inline constexpr const char* kAppIconProviderId = "appicon";
// Drawn when neither the entry's icon nor the desktop's generic one is found.
inline constexpr const char* kGenericAppIconResource = ":/Nimbra/icons/application.svg";
// The size served when QML gives no sourceSize.
inline constexpr int kDefaultAppIconPixels = 32;

// What every icon job needs. Shared with the jobs, which may still run when the engine has
// already dropped the provider.
struct AppIconSources {
    std::string theme;  // the desktop's icon theme; hicolor is always tried after it
    apprules::IconSearchPaths paths;
    AppIconCache cache;
};

// Serves application icons to QML without touching the GUI thread: each request is looked up
// (icon theme files, stats and index reads) and decoded on a small pool of its own, scaled to the
// requested size, and remembered in the shared cache. An icon that cannot be found or read comes
// back as the desktop's generic application icon ("application-x-executable", then
// "application-default-icon"), else as Nimbra's own.
class AppIconProvider : public QQuickAsyncImageProvider {
public:
    AppIconProvider(std::string theme, apprules::IconSearchPaths paths);
    // Forgets the requests not yet started and waits for the few already running.
    ~AppIconProvider() override;

    QQuickImageResponse* requestImageResponse(const QString& id,
                                              const QSize& requestedSize) override;

    const AppIconCache& cache() const { return sources_->cache; }

private:
    std::shared_ptr<AppIconSources> sources_;
    QThreadPool pool_;
};

// Registers the provider under kAppIconProviderId, for the desktop's icon theme (as Qt's platform
// theme reports it) and the XDG icon folders of this process's environment.
void installAppIconProvider(QQmlEngine& engine);

}  // namespace nimbra::shell
