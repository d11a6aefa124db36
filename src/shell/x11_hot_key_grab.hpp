#pragma once

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QString>
#include <array>
#include <cstdint>

namespace nimbra::shell {

// Caps Lock (Lock) and Num Lock (Mod2 on every common keymap) are states the user does not think
// of as modifiers, but the X server matches a grab on the exact modifier set: Alt+M is grabbed
// once for each combination of them.
inline constexpr uint16_t kLockModifiers = XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2;
inline constexpr std::array<uint16_t, 4> kLockCombinations = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                                              XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

// Whether a key press is Alt+M: M's key with Alt (Mod1) as the only modifier held, whatever the
// lock states and the pointer buttons (the state's bits above the eight modifiers) are.
constexpr bool isAltM(xcb_keycode_t keycode, uint16_t state, xcb_keycode_t mKey) {
    return keycode == mKey && (state & 0xff & ~kLockModifiers) == XCB_MOD_MASK_1;
}

// Alt+M for the whole X display: passive grabs on the root window, and a native event filter that
// turns a grabbed press into `pressed()`, queued so that the filter itself does no work.
class X11HotKeyGrab : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // `connection` is the application's own (Qt reads its events); it must outlive this object.
    explicit X11HotKeyGrab(xcb_connection_t* connection, QObject* parent = nullptr);
    ~X11HotKeyGrab() override;

    // Grabs the key on every lock combination, or emits `unavailable` when the server refuses one
    // (another client grabbed it first) and keeps none.
    void start();
    // Ungrabs and stops filtering; a no-op when nothing is grabbed.
    void release();

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    void pressed();
    void unavailable(const QString& reason);

private:
    void ungrabAll();

    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_NONE;
    xcb_keycode_t mKey_ = 0;
    bool grabbed_ = false;
    // A held key repeats its press; one press toggles once.
    bool held_ = false;
};

}  // namespace nimbra::shell
