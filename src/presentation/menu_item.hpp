#pragma once

#include <string>
#include <vector>

namespace nimbra::presentation {

enum class MenuItemKind { action, separator, submenu, caption };

// One entry of a menu as the views draw it. Every entry keeps a stable id for the life of the
// menu, also while hidden, so a view can update the entry it already shows instead of rebuilding
// the menu under the user's pointer.
struct MenuItem {
    MenuItemKind kind = MenuItemKind::action;
    std::string id;
    std::string text;
    // The name of a freedesktop icon shown beside the text; empty for none.
    std::string icon;
    bool enabled = true;
    bool visible = true;
    bool checkable = false;
    bool checked = false;
    std::vector<MenuItem> children;

    bool operator==(const MenuItem&) const = default;
};

}  // namespace nimbra::presentation
