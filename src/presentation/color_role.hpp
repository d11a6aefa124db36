#pragma once

namespace nimbra::presentation {

// A colour by its role. The window's theme maps each role to the palette field of the same name
// (model/palette.hpp), light or dark, so a rule never carries channel values and both themes keep
// their own contrast.
enum class ColorRole { text, textMuted, accent, emerald, amber, coral };

}  // namespace nimbra::presentation
