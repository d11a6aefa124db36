#!/usr/bin/python3
"""The window as a screen reader sees it, over AT-SPI.

Runs the real `nimbra` (in Chinese) on a private X server, session bus and accessibility bus, in a
network namespace of its own with only a loopback (its exit probes and connect attempt stay on
this machine), then walks its accessible tree: the connect button is found by its Chinese name as
a push button and its Press action starts a connect, which changes the phase label; a navigation
tab's Press selects it.

    accessibility_check.py path/to/nimbra
"""
import os
import subprocess
import sys
import tempfile
import time

if not os.environ.get("NIMBRA_ATSPI_ISOLATED"):
    os.environ["NIMBRA_ATSPI_ISOLATED"] = "1"
    os.execvp("unshare", ["unshare", "--net", "--map-root-user", "--", sys.executable,
                          os.path.abspath(__file__)] + sys.argv[1:])

children = []


def start(argv, **kwargs):
    child = subprocess.Popen(argv, **kwargs)
    children.append(child)
    return child


def eventually(check, what, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = check()
        if found:
            return found
        time.sleep(0.2)
    sys.exit(f"accessibility_check: {what}")


def find(node, role, name_start):
    """The first accessible below `node` with `role` whose name starts with `name_start`."""
    if node is None:
        return None
    if node.getRole() == role and node.name.startswith(name_start):
        return node
    for child in node:
        found = find(child, role, name_start)
        if found is not None:
            return found
    return None


def press(node):
    actions = node.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    if "Press" not in names:
        sys.exit(f"accessibility_check: {node.name!r} offers no Press action, only {names}")
    actions.doAction(names.index("Press"))


def main(nimbra):
    work = tempfile.mkdtemp(prefix="nimbra-atspi-")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    os.makedirs(home)
    os.makedirs(runtime, mode=0o700)
    os.environ.update(HOME=home, XDG_RUNTIME_DIR=runtime, XDG_CONFIG_HOME=home + "/.config",
                      XDG_DATA_HOME=home + "/.local/share", QT_QPA_PLATFORM="xcb",
                      QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                      NIMBRA_PREFERENCES_FILE=os.path.join(work, "preferences.json"),
                      PATH="/usr/bin:/bin")  # no usque: the connect attempt fails on its own
    with open(os.environ["NIMBRA_PREFERENCES_FILE"], "w") as prefs:
        prefs.write('{"ui_language": "zh"}\n')

    display_r, display_w = os.pipe()
    start(["Xvfb", "-displayfd", str(display_w), "-screen", "0", "1024x768x24", "-nolisten",
           "tcp", "-noreset"], pass_fds=[display_w], stderr=subprocess.DEVNULL)
    os.close(display_w)
    with os.fdopen(display_r) as display:
        os.environ["DISPLAY"] = ":" + display.readline().strip()
    bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                          "--print-pid=1"], check=True, capture_output=True, text=True)
    address, pid = bus.stdout.split()[:2]
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = address
    children.append(int(pid))
    start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
          stderr=subprocess.DEVNULL)
    start([nimbra], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    import pyatspi  # reads the session bus address from the environment when first used

    def app():
        for candidate in pyatspi.Registry.getDesktop(0):
            if candidate is not None and candidate.name == "Nimbra":
                return candidate
        return None

    button = eventually(lambda: find(app(), pyatspi.ROLE_PUSH_BUTTON, "连接"),
                        "no push button named 连接")
    phase = eventually(lambda: find(app(), pyatspi.ROLE_LABEL, "未连接"),
                       "no phase label 未连接")
    press(button)
    eventually(lambda: phase.name != "未连接", "Press on 连接 left the phase at 未连接")

    tab = eventually(lambda: find(app(), pyatspi.ROLE_PAGE_TAB, "应用分流管理"),
                     "no navigation tab 应用分流管理")
    press(tab)
    eventually(lambda: tab.getState().contains(pyatspi.STATE_SELECTED),
               "Press on the tab did not select it")
    print("accessibility_check: passed")


try:
    main(sys.argv[1])
finally:
    for child in reversed(children):
        if isinstance(child, int):
            subprocess.run(["kill", str(child)], check=False)
        else:
            child.terminate()
            child.wait()
