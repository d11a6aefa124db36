#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"
#include "presentation/color_role.hpp"

// The status card's rules. Its label is L10n::status(phase, language) and its button's title
// L10n::connectButtonTitle(phase, connecting, language); the lines under the label are in
// detail_line.hpp.
namespace nimbra::presentation {

// Emerald when connected, coral on error, amber while the connection moves; at rest the plain
// text colour, or amber when official WARP blocks the next connect.
ColorRole statusColor(const ControllerSnapshot& snapshot);

// Whether the rings around the connect button pulse and turn: in every phase but the two at
// rest, so nothing animates while the connection stands still.
bool statusRingMoves(WarpPhase phase);

// A teardown cannot be interrupted: the button waits greyed ("Please wait…") until it is done.
bool connectButtonEnabled(const ControllerSnapshot& snapshot);

// The conflict banner's one line, or nothing when the banner is hidden. It shows only while no
// connection is up or starting (at rest, stopping or after an error), with the controller's
// banner text trimmed, or a plain "disconnect official WARP first" when WARP blocks and the
// banner has no words of its own.
std::optional<std::string> conflictBannerText(const ControllerSnapshot& snapshot,
                                              AppLanguage language);

// Said before the user presses Connect, not after: when the look-up found no usque, what is
// missing and the script that fetches it (`fetchScript`, from the platform profile). Empty
// while usque is found or not yet looked for.
std::string usqueMissingNotice(const ControllerSnapshot& snapshot, std::string_view fetchScript,
                               AppLanguage language);

}  // namespace nimbra::presentation
