#!/usr/bin/env python3
"""The desktop client's window under a scripted session, beside a QML hello window.

Runs inside a network namespace of its own with only a loopback (bench/run-window-session enters
it), on a private Xvfb and session bus, with the usque and trace-server stand-ins, so nothing
leaves the machine. One table: the GUI thread's longest stall per session step (from the opt-in
probe NIMBRA_GUI_STALL_PROBE compiled into nimbra), CPU and wake-ups with the window shown and
hidden while connected, RSS, first frame and quit time. bench/README.md says how to read it.
"""

import argparse
import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("idle_cost", os.path.join(HERE, "../idle_cost/idle_cost.py"))
idle = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(idle)

SOCKS_PORT = 40001
STALL_GOAL_MS = 16
HIDDEN_WINDOW_S = 15


class Standins:
    """The trace servers and the environment that sends the client's probes to them."""

    def __init__(self, tmp, standins, repo):
        self.tmp, self.standins = tmp, standins
        self.processes = []
        ca = os.path.join(repo, "tests/support/trace_server/certs/ca.pem")
        direct = self.trace_server("direct", "--body",
                                   "fl=1\nh=localhost\nip=198.51.100.23\nts=0\nvisit_scheme=https\n"
                                   "uag=curl\ncolo=FRA\nhttp=http/1.1\nloc=DE\ntls=TLSv1.3\n"
                                   "sni=plaintext\nwarp=off\ngateway=off\nrbi=off\nkex=X25519\n")
        tunnel = self.trace_server("tunnel")
        bin_dir = os.path.join(tmp, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        os.symlink(os.path.join(standins, "usque"), os.path.join(bin_dir, "usque"))
        self.env = {
            "PATH": f"{bin_dir}:{os.environ.get('PATH', '/usr/bin:/bin')}",
            "QT_QPA_PLATFORM": "xcb",
            "NIMBRA_TRACE_CA_FILE": ca,
            "NIMBRA_TRACE_HOST": f"localhost:{direct}",
            "USQUE_STANDIN_HOSTS": f"localhost=127.0.0.1:{tunnel}",
            # A connect that takes a moment, as a real one does, so it can be cancelled.
            "USQUE_STANDIN_READY_DELAY_MS": "800",
            "NIMBRA_ENDPOINT_V4": "127.0.0.1", "NIMBRA_ENDPOINT_V6": "::1",
            "NIMBRA_FREMONT_NAT64_PREFIX": "::ffff:",
            "NIMBRA_GATEWAY_PROBE_PORT": str(direct), "NIMBRA_ANYCAST_RESOLVER": "127.0.0.1",
        }
        self.ca = ca

    def trace_server(self, name, *args):
        out = open(os.path.join(self.tmp, f"{name}.port"), "w+")
        self.processes.append(subprocess.Popen([os.path.join(self.standins, "trace-server"), "--port", "0", *args],
                                               stdout=out, stderr=subprocess.DEVNULL))
        for _ in range(50):
            out.seek(0)
            found = re.search(r"^listening tcp=(\d+)", out.read(), re.M)
            if found:
                return int(found.group(1))
            time.sleep(0.1)
        sys.exit(f"window_session: trace-server {name} did not start")

    def home(self, base_env):
        """A private home for one row: preferences in socks mode, a registration, curl's CA."""
        env = dict(base_env, **self.env)
        with open(env["NIMBRA_PREFERENCES_FILE"], "w") as f:
            f.write('{"connection_mode": "socks", "socks_port": %d, "http_proxy_port": %d}\n'
                    % (SOCKS_PORT, SOCKS_PORT + 1))
        os.makedirs(f"{env['XDG_DATA_HOME']}/Nimbra", exist_ok=True)
        with open(f"{env['XDG_DATA_HOME']}/Nimbra/config.json", "w") as f:
            f.write('{"endpoint_v4": "127.0.0.1", "endpoint_v6": "::1"}\n')
        with open(f"{env['HOME']}/.curlrc", "w") as f:
            f.write(f'cacert = "{self.ca}"\n')
        return env

    def stop(self):
        for p in self.processes:
            p.terminate()
            p.wait()


def socks_open():
    import socket
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", SOCKS_PORT)) == 0


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def find_window(env, name, seconds=20):
    """The window id once it is mapped, and the monotonic time xdotool saw it."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                                   env=env, capture_output=True, text=True, timeout=2).stdout.split()
        except subprocess.TimeoutExpired:  # a window going away mid-search can stall xdotool
            found = []
        if found:
            return found[0], time.monotonic()
        time.sleep(0.01)
    return None, None


def xdo(env, *args):
    subprocess.run(["xdotool", *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=10)


class Session:
    """nimbra with the stall probe on, driven through the steps; records when each step ran."""

    def __init__(self, nimbra, env, tmp):
        self.nimbra, self.env, self.tmp = nimbra, env, tmp
        self.steps = []  # (name, start, end)
        self.log_path = os.path.join(tmp, "nimbra-session.log")
        self.first_frame_ms = self.mapped_ms = self.quit_ms = None

    def launch_again(self, *args):
        # A second launch hands its request to the running one; it carries no probe.
        subprocess.run([self.nimbra, *args], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def step(self, name, action, settle):
        start = time.monotonic()
        action()
        time.sleep(settle)
        self.steps.append((name, start, time.monotonic()))

    def run(self, gateway_at, test_at):
        log = open(self.log_path, "w")
        started = time.monotonic()
        process = subprocess.Popen([self.nimbra], env=dict(self.env, NIMBRA_GUI_STALL_PROBE="1"),
                                   stdout=log, stderr=log, cwd=self.tmp)
        window, seen = find_window(self.env, "^Nimbra$")
        if window is None:
            process.kill()
            sys.exit("window_session: nimbra showed no window")
        self.mapped_ms = (seen - started) * 1000
        time.sleep(2)
        self.steps.append(("launch, window shown", started, time.monotonic()))
        self.step("connect", lambda: (self.launch_again("--toggle-connection"),
                                      wait_for(socks_open, 20)), 3)
        xdo(self.env, "key", "--window", window, "ctrl+2")
        time.sleep(0.5)
        self.step("Test All", lambda: click(self.env, window, *test_at), 4)
        before = open(self.env["NIMBRA_PREFERENCES_FILE"]).read()
        self.step("gateway switch", lambda: click(self.env, window, *gateway_at), 5)
        # The choice is saved at once; an unchanged file means the click missed the card.
        self.gateway_switched = open(self.env["NIMBRA_PREFERENCES_FILE"]).read() != before
        self.step("disconnect", lambda: (self.launch_again("--toggle-connection"),
                                         wait_for(lambda: not socks_open(), 20)), 2)
        self.step("cancel during connect", lambda: (self.launch_again("--toggle-connection"),
                                                    time.sleep(0.3),
                                                    self.launch_again("--toggle-connection")), 3)
        start = time.monotonic()
        xdo(self.env, "key", "--window", window, "ctrl+q")
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self.quit_ms = (time.monotonic() - start) * 1000
        self.steps.append(("quit", start, time.monotonic()))
        log.close()
        text = open(self.log_path).read()
        frame = re.search(r"^gui-first-frame: ([\d.]+)", text, re.M)
        if frame:
            self.first_frame_ms = (float(frame.group(1)) - started) * 1000
        stalls = [tuple(float(v) for v in found) for found in re.findall(
            r"^gui-stall: ([\d.]+) ms ending at ([\d.]+) \(on cpu ([\d.]+) ms, runnable ([\d.]+)",
            text, re.M)]
        overall = re.search(r"^gui-stall-max: ([\d.]+) ms over (\d+)", text, re.M)
        return stalls, overall, text


def click(env, window, x, y):
    xdo(env, "mousemove", "--window", window, str(x), str(y))
    xdo(env, "click", "1")


def stalls_per_step(steps, stalls):
    rows = []
    for name, start, end in steps:
        inside = [stall for stall in stalls if start <= stall[1] <= end + 0.05]
        rows.append((name, max(inside) if inside else None, len(inside)))
    return rows


def cpu_and_memory(argv, title, env, tmp, settle, window, connect=None, hide=None):
    """CPU % of one core and wake-ups over the window with the window shown; then, if hide is
    given, wake-ups with it hidden; RSS at the end of the shown window; the mapped time."""
    started = time.monotonic()
    process = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp)
    try:
        _, seen = find_window(env, title)
        mapped_ms = (seen - started) * 1000 if seen else None
        if connect:
            connect()
        time.sleep(settle)
        shown = idle.measure(process.pid, window)
        hidden = None
        if hide:
            hide()
            time.sleep(5)  # the hide's own repaints and releases pass
            hidden = idle.measure(process.pid, HIDDEN_WINDOW_S)
        return shown, hidden, mapped_ms
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nimbra", required=True)
    parser.add_argument("--window", type=float, default=30, help="seconds of CPU watching (30)")
    parser.add_argument("--test-at", default="463,127", help="x,y of the Test All button on the exit tab")
    parser.add_argument("--gateway-at", default="500,270", help="x,y of a gateway card not selected")
    args = parser.parse_args()
    nimbra = os.path.abspath(args.nimbra)
    standins = os.path.realpath(os.path.join(os.path.dirname(nimbra), "../standins"))
    repo = os.path.realpath(os.path.join(HERE, "../.."))
    for tool in ("Xvfb", "dbus-daemon", "xdotool"):
        if not shutil.which(tool):
            sys.exit(f"window_session: {tool} is missing (scripts/bootstrap --bench)")
    test_at = tuple(int(v) for v in args.test_at.split(","))
    gateway_at = tuple(int(v) for v in args.gateway_at.split(","))

    with tempfile.TemporaryDirectory(prefix="nimbra-window-") as tmp:
        xvfb, display = idle.start_xvfb(tmp)
        bus, address = idle.start_bus(tmp)
        standin = Standins(tmp, standins, repo)
        try:
            print("[window_session] scripted session with the stall probe ...", file=sys.stderr)
            env = standin.home(idle.private_env(tmp, display, address, "session"))
            session = Session(nimbra, env, tmp)
            stalls, overall, log = session.run(gateway_at, test_at)

            print("[window_session] connected, window shown then hidden ...", file=sys.stderr)
            env = standin.home(idle.private_env(tmp, display, address, "cpu"))

            def connect():
                subprocess.run([nimbra, "--toggle-connection"], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30)
                wait_for(socks_open, 20)

            def hide():
                subprocess.run([nimbra, "--toggle"], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=30)

            shown, hidden, mapped = cpu_and_memory([nimbra], "^Nimbra$", env, tmp, 5, args.window, connect, hide)
            # The same window disconnected: nothing moves, so the difference is the motion's cost.
            print("[window_session] disconnected, window shown ...", file=sys.stderr)
            env = standin.home(idle.private_env(tmp, display, address, "still"))
            still = cpu_and_memory([nimbra], "^Nimbra$", env, tmp, 5, args.window)[0]

            peer = None
            qml = shutil.which("qml") or ("/usr/lib/qt6/bin/qml" if os.access("/usr/lib/qt6/bin/qml", os.X_OK) else None)
            if qml:
                print("[window_session] peer: qml hello window ...", file=sys.stderr)
                hello = os.path.join(tmp, "hello.qml")
                with open(hello, "w") as f:
                    f.write(idle.QML_HELLO)
                env = idle.private_env(tmp, display, address, "qml")
                peer = cpu_and_memory([qml, hello], "^hello$", env, tmp, 5, args.window)
        finally:
            standin.stop()
            for helper in (bus, xvfb):
                helper.terminate()
                helper.wait()

    report(session, stalls_per_step(session.steps, stalls), overall, shown, hidden, still, peer,
           args.window, log)


def report(session, per_step, overall, shown, hidden, still, peer, window, log):
    print("\nGUI thread's longest stall per step (probe every 5 ms; stalls >= 16 ms counted)")
    print("(of the longest: ms running on a CPU, runnable but waiting for one, asleep)")
    print(f"{'step':26} {'longest ms':>10} {'stalls':>6} {'on cpu':>7} {'runnable':>8} {'asleep':>7}")
    for name, longest, count in per_step:
        if longest is None:
            print(f"{name:26} {'<16':>10} {count:6}")
            continue
        ms, _, cpu, runnable = longest
        print(f"{name:26} {ms:10.1f} {count:6} {cpu:7.1f} {runnable:8.1f} {max(0, ms - cpu - runnable):7.1f}")
    if overall:
        print(f"{'whole run':26} {float(overall.group(1)):10.1f}   ({overall.group(2)} probes)")
    if not session.gateway_switched:
        print("note: the gateway click changed no preference; check --gateway-at (and --test-at)")
    print("DNS apply: skipped, it needs nimbrad and a real TUN (not run with the stand-ins)")

    def cpu_pct(figures):
        return figures.cpu_ms / (window * 10)

    print(f"\nwindow cost, connected, over {window:g} s shown, {HIDDEN_WINDOW_S} s hidden")
    header = f"{'row':34} {'CPU %':>6} {'wake-ups/s':>10} {'RSS MiB':>8} {'first frame ms':>14}"
    print(header)
    print("-" * len(header))
    frame = f"{session.first_frame_ms:.0f}" if session.first_frame_ms else "?"
    print(f"{'nimbra, window shown':34} {cpu_pct(shown):6.1f} {shown.wakeups_per_s:10.1f} "
          f"{shown.rss_kib / 1024:8.1f} {frame:>14}")
    print(f"{'nimbra, window hidden':34} {hidden.cpu_ms / (HIDDEN_WINDOW_S * 10):6.1f} "
          f"{hidden.wakeups_per_s:10.1f} {hidden.rss_kib / 1024:8.1f} {'':>14}")
    print(f"{'nimbra, shown, disconnected':34} {cpu_pct(still):6.1f} {still.wakeups_per_s:10.1f} "
          f"{still.rss_kib / 1024:8.1f} {'':>14}")
    if peer:
        p, _, p_mapped = peer
        print(f"{'peer: qml hello window (GL)':34} {cpu_pct(p):6.1f} {p.wakeups_per_s:10.1f} "
              f"{p.rss_kib / 1024:8.1f} {('mapped %.0f' % p_mapped) if p_mapped else '?':>14}")
    print(f"nimbra mapped (xdotool) at {session.mapped_ms:.0f} ms; quit (Ctrl+Q to exit) {session.quit_ms:.0f} ms")
    print("\nwake-ups/s per thread, shown:", ", ".join(f"{t} {r:.1f}" for t, r in shown.per_thread[:8]))
    print("wake-ups/s per thread, hidden:", ", ".join(f"{t} {r:.1f}" for t, r in hidden.per_thread[:8]))

    print("\ngoals (printed, not asserted)")
    longest = float(overall.group(1)) if overall else float("inf")
    checks = [(longest <= STALL_GOAL_MS, "GUI stall <= 16 ms", f"{longest:.1f} ms"),
              (cpu_pct(shown) <= 5, "shown, connected: CPU <= 5 %", f"{cpu_pct(shown):.1f} %"),
              (hidden.wakeups_per_s == 0, "hidden, connected: 0 wake-ups/s", f"{hidden.wakeups_per_s:.1f}/s"),
              (shown.rss_kib <= 120 * 1024, "shown, connected: RSS <= 120 MiB", f"{shown.rss_kib / 1024:.1f} MiB"),
              ((session.first_frame_ms or 1e9) <= 500, "first frame <= 500 ms", f"{frame} ms")]
    for ok, goal, value in checks:
        print(f"  {'PASS' if ok else 'FAIL'}  {goal:36} {value}")
    problems = [line for line in log.splitlines() if "qml" in line.lower() and "warning" in line.lower()]
    for line in problems[:5]:
        print(f"note: {line}")


if __name__ == "__main__":
    main()
