#!/usr/bin/env python3
"""What the desktop client costs the machine while nothing happens, beside idle peers.

Every row runs alone on one private Xvfb and one private D-Bus session bus (never the user's
display or bus), with a home, XDG folders and a preferences file of its own in a temp dir. After a
settle time the row is watched for a window (60 s): wake-ups per second of all its threads (run
counts from /proc/<pid>/task/*/schedstat), CPU time (utime+stime of /proc/<pid>/stat) and, at the
end, resident memory (VmRSS, with its anonymous and file-backed parts). bench/README.md says how
to read the table.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
QML_HELLO = """import QtQuick
import QtQuick.Controls
ApplicationWindow { width: 800; height: 620; visible: true; title: "hello"
    Label { anchors.centerIn: parent; text: "Hello" } }
"""


@dataclass
class Row:
    name: str
    argv: list
    then: list = field(default_factory=list)  # run to its end, in the row's env, after a while


@dataclass
class Sample:
    runs: dict = field(default_factory=dict)  # tid -> (comm, schedstat run count)
    cpu_ticks: int = 0


@dataclass
class Figures:
    wakeups_per_s: float
    cpu_ms: float
    rss_kib: int
    anon_kib: int
    file_kib: int
    threads: int
    per_thread: list  # (comm, wake-ups/s), busiest first


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:  # a thread ended between listing and reading
        return ""


def sample(pid):
    s = Sample()
    stat = read(f"/proc/{pid}/stat")
    fields = stat[stat.rfind(")") + 2:].split()
    s.cpu_ticks = int(fields[11]) + int(fields[12])  # utime, stime
    for tid in os.listdir(f"/proc/{pid}/task"):
        schedstat = read(f"/proc/{pid}/task/{tid}/schedstat").split()
        if len(schedstat) == 3:
            comm = read(f"/proc/{pid}/task/{tid}/comm").strip()
            s.runs[tid] = (comm, int(schedstat[2]))
    return s


def status_kib(pid, key):
    for line in read(f"/proc/{pid}/status").splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return 0


def measure(pid, seconds):
    before = sample(pid)
    time.sleep(seconds)
    after = sample(pid)
    per_thread = {}
    for tid, (comm, runs) in after.runs.items():
        # A thread born inside the window counts from zero: its first run is a wake-up too.
        woke = runs - before.runs.get(tid, (comm, 0))[1]
        if woke:
            per_thread[f"{comm}/{'main' if tid == str(pid) else tid}"] = woke / seconds
    return Figures(
        wakeups_per_s=sum(per_thread.values()),
        cpu_ms=(after.cpu_ticks - before.cpu_ticks) * 1000 / CLOCK_TICKS,
        rss_kib=status_kib(pid, "VmRSS"),
        anon_kib=status_kib(pid, "RssAnon"),
        file_kib=status_kib(pid, "RssFile") + status_kib(pid, "RssShmem"),
        threads=len(after.runs),
        per_thread=sorted(per_thread.items(), key=lambda item: -item[1]),
    )


def start_xvfb(tmp):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1920x1080x24"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        display = f.readline().strip()
    if not display:
        sys.exit("idle_cost: Xvfb did not start")
    return xvfb, ":" + display


def start_bus(tmp):
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, cwd=tmp)
    address = bus.stdout.readline().strip()
    if not address:
        sys.exit("idle_cost: dbus-daemon did not start")
    return bus, address


def private_env(tmp, display, bus, row):
    home = os.path.join(tmp, row)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home, "DISPLAY": display,
           "DBUS_SESSION_BUS_ADDRESS": bus, "NIMBRA_PREFERENCES_FILE": f"{home}/prefs.json",
           "XDG_RUNTIME_DIR": f"{home}/runtime", "LANG": "C.UTF-8"}
    # The renderer choice passes through, so a run can set it for every row.
    for name in ("QT_QUICK_BACKEND", "QSG_RHI_BACKEND", "QSG_RENDER_LOOP"):
        if name in os.environ:
            env[name] = os.environ[name]
    for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"):
        env[name] = f"{home}/{name.lower()}"
    for path in [home] + [env[n] for n in env if n.startswith("XDG_")]:
        os.makedirs(path, mode=0o700, exist_ok=True)
    return env


def run_row(row, tmp, display, bus, settle, window):
    env = private_env(tmp, display, bus, row.name)
    process = subprocess.Popen(row.argv, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, cwd=tmp)
    try:
        if row.then:
            time.sleep(settle / 2)
            subprocess.run(row.then, env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, cwd=tmp, timeout=30)
            time.sleep(settle / 2)
        else:
            time.sleep(settle)
        if process.poll() is not None:
            return None, f"{row.name}: exited {process.returncode} during the settle time"
        return measure(process.pid, window), None
    finally:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def rows(nimbra):
    found = []
    if nimbra:
        # A second launch with --toggle hides the shown window, as the tray or hot key would.
        found += [Row("nimbra --hidden", [nimbra, "--hidden"]),
                  Row("nimbra, window shown", [nimbra]),
                  Row("nimbra, shown then hidden", [nimbra], then=[nimbra, "--toggle"])]
    notes = []
    qml = shutil.which("qml") or next(
        (p for p in ("/usr/lib/qt6/bin/qml",) if os.access(p, os.X_OK)), None)
    if qml:
        # As Qt draws it by default (GL). No software row: the qml viewer maps the GL driver
        # whatever QT_QUICK_BACKEND says.
        found.append(Row("peer: qml hello window", [qml, "__hello.qml"]))
    else:
        notes.append("qml (Debian qml-qt6) missing: no QML peer row")
    if shutil.which("xeyes"):
        found.append(Row("peer: xeyes", ["xeyes"]))
    else:
        notes.append("xeyes (Debian x11-apps) missing: no plain X client row")
    return found, notes


def print_table(results, window):
    print(f"\nidle cost over {window:g} s (after the settle time)")
    header = f"{'row':28} {'wake-ups/s':>10} {'CPU ms':>8} {'RSS MiB':>8} {'anon':>7} {'file':>7} {'thr':>4}"
    print(header)
    print("-" * len(header))
    for name, figures, problem in results:
        if figures is None:
            print(f"{name:28} {problem}")
            continue
        print(f"{name:28} {figures.wakeups_per_s:10.2f} {figures.cpu_ms:8.0f} "
              f"{figures.rss_kib / 1024:8.1f} {figures.anon_kib / 1024:7.1f} "
              f"{figures.file_kib / 1024:7.1f} {figures.threads:4}")


def print_threads(results):
    for name, figures, _ in results:
        if figures is None or not figures.per_thread:
            continue
        woken = ", ".join(f"{thread} {rate:.2f}" for thread, rate in figures.per_thread)
        print(f"  {name}: {woken}")


def print_goals(results):
    by_name = {name: figures for name, figures, _ in results}
    hidden = by_name.get("nimbra --hidden")
    if hidden is None:
        return
    print("\ngoals (printed, not asserted)")
    checks = [(hidden.wakeups_per_s == 0, "--hidden: no wake-ups", f"{hidden.wakeups_per_s:.2f}/s"),
              (hidden.cpu_ms == 0, "--hidden: no CPU time", f"{hidden.cpu_ms:.0f} ms"),
              (hidden.rss_kib <= 80 * 1024, "--hidden: RSS <= 80 MiB", f"{hidden.rss_kib / 1024:.1f} MiB")]
    for ok, goal, value in checks:
        print(f"  {'PASS' if ok else 'FAIL'}  {goal:32} {value}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nimbra", help="the nimbra program to measure")
    parser.add_argument("--window", type=float, default=60, help="seconds watched per row (60)")
    # Qt itself fires a one-shot timer on the GUI thread about 30 s after start (the qml peer
    # shows it too); the default settle time lets it pass so the window sees the idle state.
    parser.add_argument("--settle", type=float, default=40, help="seconds before watching (40)")
    parser.add_argument("--quick", action="store_true", help="10 s windows after 35 s")
    parser.add_argument("--only", action="append", help="rows whose name contains this")
    args = parser.parse_args()
    if args.quick:
        args.window, args.settle = 10, 35
    for tool in ("Xvfb", "dbus-daemon"):
        if not shutil.which(tool):
            sys.exit(f"idle_cost: {tool} is missing (scripts/bootstrap installs it)")

    found, notes = rows(os.path.abspath(args.nimbra) if args.nimbra else None)
    if args.only:
        found = [r for r in found if any(o in r.name for o in args.only)]
    results = []
    with tempfile.TemporaryDirectory(prefix="nimbra-idle-") as tmp:
        with open(os.path.join(tmp, "__hello.qml"), "w") as f:
            f.write(QML_HELLO)
        xvfb, display = start_xvfb(tmp)
        bus, address = start_bus(tmp)
        try:
            for row in found:
                print(f"[idle_cost] {row.name} ...", file=sys.stderr)
                figures, problem = run_row(row, tmp, display, address, args.settle, args.window)
                results.append((row.name, figures, problem))
        finally:
            for helper in (bus, xvfb):
                helper.terminate()
                helper.wait()
    print_table(results, args.window)
    print("\nwake-ups/s per thread (comm/tid), busiest first")
    print_threads(results)
    print_goals(results)
    for note in notes:
        print(f"note: {note}")


if __name__ == "__main__":
    main()
