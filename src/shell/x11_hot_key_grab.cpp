#include "shell/x11_hot_key_grab.hpp"

#include <xcb/xcb_keysyms.h>

#include <QCoreApplication>
#include <cstdlib>
#include <optional>
#include <vector>

namespace nimbra::shell {
namespace {

constexpr xcb_keysym_t kKeysymM = 0x006d;  // XK_m
constexpr uint8_t kBadAccess = 10;

// The first key that types "m" in the current keyboard map, or 0 when none does.
xcb_keycode_t keycodeOfM(xcb_connection_t* connection) {
    xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
    if (symbols == nullptr) return 0;
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, kKeysymM);
    const xcb_keycode_t code = codes != nullptr ? codes[0] : 0;
    std::free(codes);
    xcb_key_symbols_free(symbols);
    return code;
}

QString refusal(uint8_t errorCode) {
    if (errorCode == kBadAccess) return QStringLiteral("another X client has already grabbed it");
    return QStringLiteral("the X server refused the grab (X error %1)").arg(errorCode);
}

}  // namespace

X11HotKeyGrab::X11HotKeyGrab(xcb_connection_t* connection, QObject* parent)
    : QObject(parent), connection_(connection) {}

X11HotKeyGrab::~X11HotKeyGrab() {
    release();
}

void X11HotKeyGrab::start() {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    mKey_ = keycodeOfM(connection_);
    if (mKey_ == 0) {
        Q_EMIT unavailable(QStringLiteral("no key of the keyboard map types M"));
        return;
    }
    // Every grab is sent before the first answer is awaited: one round trip to the server.
    std::vector<xcb_void_cookie_t> cookies;
    for (const uint16_t locks : kLockCombinations) {
        cookies.push_back(xcb_grab_key_checked(connection_, 0, root_, XCB_MOD_MASK_1 | locks, mKey_,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    std::optional<uint8_t> refused;
    for (const xcb_void_cookie_t cookie : cookies) {
        if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
            refused = error->error_code;
            std::free(error);
        }
    }
    if (refused) {
        // Half a shortcut (working only with Num Lock off, say) would look like a random fault.
        ungrabAll();
        Q_EMIT unavailable(refusal(*refused));
        return;
    }
    grabbed_ = true;
    QCoreApplication::instance()->installNativeEventFilter(this);
}

void X11HotKeyGrab::release() {
    if (!grabbed_) return;
    grabbed_ = false;
    // After QApplication is gone its connection is too; there is nothing left to release.
    if (QCoreApplication::instance() == nullptr) return;
    QCoreApplication::instance()->removeNativeEventFilter(this);
    ungrabAll();
}

void X11HotKeyGrab::ungrabAll() {
    for (const uint16_t locks : kLockCombinations) {
        xcb_ungrab_key(connection_, mKey_, root_, XCB_MOD_MASK_1 | locks);
    }
    xcb_flush(connection_);
}

bool X11HotKeyGrab::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const uint8_t kind = event->response_type & ~0x80;
    if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE) return false;
    // Press and release share one layout.
    const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
    if (key->event != root_ || key->detail != mKey_) return false;
    if (kind == XCB_KEY_RELEASE) {
        // Alt may be up already; M's release ends the press either way.
        held_ = false;
        return true;
    }
    if (!isAltM(key->detail, key->state, mKey_) || held_) return true;
    held_ = true;
    QMetaObject::invokeMethod(this, &X11HotKeyGrab::pressed, Qt::QueuedConnection);
    return true;
}

}  // namespace nimbra::shell
