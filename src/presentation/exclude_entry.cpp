#include "presentation/exclude_entry.hpp"

#include "base/text.hpp"

namespace nimbra::presentation {

bool excludeAddEnabled(std::string_view draft, const ControllerSnapshot& snapshot) {
    return !text::trim(draft).empty() && snapshot.daemonReachable.value_or(true);
}

}  // namespace nimbra::presentation
