#!/usr/bin/python3
"""Walks the window's accessible tree the way a screen reader sees it.

accessibility_walk.py PROBE LANGUAGE: starts itself again under Xvfb and a
private session bus, starts the accessibility bus there, runs PROBE and checks
the names, roles and values of its controls in LANGUAGE (zh or en), then
presses the failure view's button through its accessible action.
Exit 77 (skipped) when a piece is missing, unless CI=true, where it fails.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
BOUND = 60.0  # seconds for anything to appear on a loaded machine

EXPECTED = {
    "zh": {"bar": "安装进度", "status": "1.23 GB / 3.4 GB · 18.5 MB/s · 剩余 2 分钟",
           "dot": "第 1 张图片，共 3 张", "button": "好", "close": "关闭", "minimize": "最小化"},
    "en": {"bar": "Setup progress", "status": "1.23 GB / 3.4 GB · 18.5 MB/s · 2 min left",
           "dot": "Picture 1 of 3", "button": "OK", "close": "Close", "minimize": "Minimize"},
}


def missing_piece():
    for tool in ("Xvfb", "dbus-run-session", LAUNCHER, "/usr/bin/python3"):
        if not shutil.which(tool) and not os.access(tool, os.X_OK):
            return tool
    try:
        subprocess.run(["/usr/bin/python3", "-c", "import pyatspi, dbus"], check=True,
                       capture_output=True)
    except subprocess.CalledProcessError:
        return "python3-pyatspi"
    return None


def outer(probe, language):
    piece = missing_piece()
    if piece:
        print(f"accessibility walk: {piece} is missing", file=sys.stderr)
        return 1 if os.environ.get("CI") == "true" else 77
    # Xvfb picks a free display itself and names it: xvfb-run -a guesses one,
    # and two walks started at once can guess the same.
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(write,), stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read, "rb") as answer:
        display = answer.readline().decode().strip()
    try:
        if not display:
            print("accessibility walk: Xvfb named no display", file=sys.stderr)
            return 1
        return subprocess.run(["dbus-run-session", "--", "/usr/bin/python3", __file__, "--inner",
                               probe, language], env=dict(os.environ, DISPLAY=":" + display)
                              ).returncode
    finally:
        xvfb.terminate()
        xvfb.wait()


def wait_for(what, predicate):
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise SystemExit(f"accessibility walk: no {what} within {BOUND:.0f} s")


def walk(node, found):
    found.append(node)
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            walk(child, found)
    return found


def inner(probe, language):
    import dbus
    launcher = subprocess.Popen([LAUNCHER, "--launch-immediately"])
    app = None
    try:
        bus = dbus.SessionBus()
        wait_for("accessibility bus", lambda: bus.name_has_owner("org.a11y.Bus"))
        import pyatspi
        home = tempfile.TemporaryDirectory(prefix="corvel-a11y-")
        runtime = os.path.join(home.name, "runtime")
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                   HOME=home.name, XDG_RUNTIME_DIR=runtime)
        for name in ("LC_ALL", "LC_MESSAGES", "LANGUAGE", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                     "XDG_CONFIG_HOME", "XDG_STATE_HOME"):
            env.pop(name, None)
        env["LANG"] = "zh_CN.UTF-8" if language == "zh" else "en_US.UTF-8"
        # The registry is started on demand: up before the application starts,
        # so the application's announcement at start-up has somebody to reach.
        wait_for("registry", lambda: pyatspi.Registry.getDesktop(0) is not None and
                 pyatspi.Registry.getDesktop(0).childCount >= 0)
        app = subprocess.Popen([probe], env=env)
        name = os.path.basename(probe)

        def application():
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                child = desktop.getChildAtIndex(i)
                if child is not None and child.name == name and child.childCount >= 2:
                    return child
            if app.poll() is not None:
                raise SystemExit(f"accessibility walk: {name} ended with {app.returncode}")
            return None

        def nodes():
            # What is on screen: the stack behind the failure view holds a
            # hidden progress view too.
            found = [n for n in walk(wait_for("application", application), [])
                     if n.getState().contains(pyatspi.STATE_SHOWING)]
            roles = {n.getRoleName() for n in found}
            return found if {"progress bar", "push button", "page tab"} <= roles else None

        found = wait_for("controls", nodes)
        expect = EXPECTED[language]

        def one(role, label):
            hits = [n for n in found if n.getRoleName() == role and n.name == label]
            if len(hits) != 1:
                names = sorted({(n.getRoleName(), n.name) for n in found})
                raise SystemExit(f"accessibility walk: {len(hits)} {role} named {label!r} in {names}")
            return hits[0]

        bar = one("progress bar", expect["bar"])
        value = bar.queryValue().currentValue
        assert value == 42, f"the bar's value is {value}, not 42"
        one("label", expect["status"])
        one("label", "42%")
        one("label", "boom")  # the failure message
        dot = one("page tab", expect["dot"])
        assert dot.getState().contains(pyatspi.STATE_SELECTED), "the first dot is not selected"
        for key in ("close", "minimize"):
            assert sum(1 for n in found if n.getRoleName() == "push button"
                       and n.name == expect[key]) == 2, f"{key} button missing"
        one("push button", expect["button"]).queryAction().doAction(0)
        status = app.wait(timeout=BOUND)
        assert status == 7, f"pressing the button ended the program with {status}, not 7"
        app = None
        print(f"accessibility walk ({language}): {len(found)} nodes, all found")
        return 0
    finally:
        if app is not None:
            app.kill()
            app.wait()
        launcher.terminate()
        launcher.wait()


if __name__ == "__main__":
    if sys.argv[1] == "--inner":
        sys.exit(inner(sys.argv[2], sys.argv[3]))
    sys.exit(outer(sys.argv[1], sys.argv[2]))
