#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <stdexcept>

#include "base/subprocess.hpp"
#include "support/line_reader.hpp"
#include "support/private_dbus_session.hpp"
#include "support/temp_dir.hpp"

namespace {

// An X server of the test's own (the tray exists only on a real windowing platform): Xvfb picks
// a free display and writes its number to us once it accepts clients.
nimbra::Subprocess startXvfb(std::string& display) {
    nimbra::Subprocess::Options options;
    options.argv = {"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"};
    nimbra::Subprocess xvfb = nimbra::Subprocess::start(std::move(options));
    nimbra::testing::LineReader output(xvfb.releaseStdout());
    auto number = output.next(std::chrono::seconds(30));
    if (!number) throw std::runtime_error("Xvfb (package xvfb) did not start");
    display = ":" + *number;
    return xvfb;
}

}  // namespace

// The tray tests run against a private X server and a private session bus, never the user's.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    nimbra::testing::TempDir dir;
    std::string display;
    nimbra::Subprocess xvfb = startXvfb(display);
    nimbra::testing::PrivateDbusSession bus(dir / "dbus");
    setenv("DISPLAY", display.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("NIMBRA_PREFERENCES_FILE", (dir / "preferences.json").c_str(), 1);
    int result = 0;
    {
        QApplication app(argc, argv);
        result = RUN_ALL_TESTS();
    }
    return result;
}
