#pragma once

#include <QIcon>

namespace nimbra::shell {

// The application icon for the window and the tray: the packaged SVG when Qt can read SVG here,
// otherwise the same design painted at the usual icon sizes (Qt's SVG support is a separate
// package that a minimal install may lack).
QIcon appIcon();

}  // namespace nimbra::shell
