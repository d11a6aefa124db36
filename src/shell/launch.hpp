#pragma once

#include <QUrl>
#include <string_view>

namespace nimbra::shell {

// Where qt_add_qml_module puts the window (see CMakeLists.txt).
inline constexpr std::string_view kMainWindowUrl = "qrc:/Nimbra/Main.qml";
// The icon, in the same module's resources.
inline constexpr std::string_view kIconResource = ":/Nimbra/icons/nimbra.svg";

// True when "--version" is among the arguments.
bool wantsVersion(int argc, const char* const* argv);

// True when Qt has somewhere to show a window: an X11 or Wayland display, an explicit platform
// plugin (QT_QPA_PLATFORM), or a "-platform" argument.
bool displayAvailable(int argc, const char* const* argv);

}  // namespace nimbra::shell
