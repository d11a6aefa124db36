#include "apprules/app_name_order.hpp"

#include <glib.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace nimbra::apprules {
namespace {

std::string take(gchar* text) {
    std::string copy(text != nullptr ? text : "");
    g_free(text);
    return copy;
}

// Names are UTF-8 from files anyone may write: an invalid one is sorted by a repaired copy
// rather than handed to GLib's collation, whose result is undefined for it.
std::string collationKey(const std::string& name) {
    const std::string valid = take(g_utf8_make_valid(name.c_str(), -1));
    const std::string folded = take(g_utf8_casefold(valid.c_str(), -1));
    return take(g_utf8_collate_key_for_filename(folded.c_str(), -1));
}

}  // namespace

void sortByName(std::vector<AppRuleItem>& apps) {
    struct Keyed {
        std::string key;
        AppRuleItem app;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(apps.size());
    for (auto& app : apps) keyed.push_back({collationKey(app.name), std::move(app)});
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return std::tie(a.key, a.app.name, a.app.appPath) <
               std::tie(b.key, b.app.name, b.app.appPath);
    });
    for (std::size_t i = 0; i < apps.size(); ++i) apps[i] = std::move(keyed[i].app);
}

}  // namespace nimbra::apprules
