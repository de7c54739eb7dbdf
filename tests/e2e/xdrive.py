"""Driving the built program in a real X server as an operator does: Xvfb, real pointer clicks and
keystrokes through xdotool, the clipboard through xclip, and the window manager's close request
(a WM_DELETE_WINDOW client message) through python3-xlib."""
import os
import re
import shutil
import subprocess
import tempfile
import time


class Fail(Exception):
    pass


def wait_for(what, predicate, timeout=20.0, step=0.1):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise Fail(f"timed out waiting for {what}")
        time.sleep(step)


class XServer:
    """An Xvfb of our own on a free display number."""

    def __init__(self, width=1024, height=768):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            self.proc.kill()
            raise Fail("Xvfb did not start")
        self.display = ":" + number
        self.runtime = tempfile.mkdtemp(prefix="zub-xdg-")
        self.env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb",
                        XDG_RUNTIME_DIR=self.runtime)
        self.env.pop("WAYLAND_DISPLAY", None)

    def close(self):
        shutil.rmtree(self.runtime, ignore_errors=True)
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def run(self, *args, check=True, capture=True, timeout=20):
        r = subprocess.run(list(args), env=self.env, timeout=timeout,
                           stdout=subprocess.PIPE if capture else None,
                           stderr=subprocess.PIPE if capture else None)
        if check and r.returncode != 0:
            raise Fail(f"{args[0]} failed ({r.returncode}): {r.stderr.decode(errors='replace')}")
        return r.stdout.decode(errors="replace") if capture else ""

    # ---- windows ----
    def find_windows(self, name_regex):
        out = self.run("xdotool", "search", "--onlyvisible", "--name", name_regex, check=False)
        return [int(w) for w in out.split()]

    def wait_window(self, name_regex, timeout=20.0):
        return wait_for(f"window {name_regex!r}",
                        lambda: (self.find_windows(name_regex) or [None])[0], timeout)

    def geometry(self, wid):
        out = self.run("xdotool", "getwindowgeometry", str(wid))
        pos = re.search(r"Position: (-?\d+),(-?\d+)", out)
        size = re.search(r"Geometry: (\d+)x(\d+)", out)
        return (int(pos[1]), int(pos[2]), int(size[1]), int(size[2]))

    def focus(self, wid):
        self.run("xdotool", "windowfocus", "--sync", str(wid), check=False)

    # ---- operator input ----
    def click(self, wid, x, y, button=1, repeat=1):
        """A real pointer click at (x, y) of the window's client area."""
        self.run("xdotool", "mousemove", "--window", str(wid), "--sync", str(x), str(y))
        self.run("xdotool", "click", "--repeat", str(repeat), "--delay", "80", str(button))

    def keys(self, *keys):
        self.run("xdotool", "key", "--delay", "40", *keys)

    def type_text(self, text):
        self.run("xdotool", "type", "--delay", "15", text)

    def clipboard(self):
        return self.run("xclip", "-o", "-selection", "clipboard", check=False)

    def screenshot(self, path, crop=None):
        """The screen, or the (width, height) at its top left corner, as a PNG."""
        extra = ["-crop", f"{crop[0]}x{crop[1]}+0+0", "+repage"] if crop else []
        self.run("import", "-display", self.display, "-window", "root", *extra, path, timeout=60)

    def close_request(self, wid):
        """What a window manager's close button sends: WM_DELETE_WINDOW, so the close handler
        runs (xdotool's windowclose would destroy the window instead)."""
        from Xlib import X, display, protocol
        d = display.Display(self.display)
        try:
            window = d.create_resource_object("window", wid)
            protocols = d.intern_atom("WM_PROTOCOLS")
            delete = d.intern_atom("WM_DELETE_WINDOW")
            event = protocol.event.ClientMessage(
                window=window, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
            window.send_event(event, event_mask=X.NoEventMask)
            # A round trip, as Xlib's XCloseDisplay makes: python-xlib's close() only flushes,
            # and a busy X server that sees the connection gone drops the unprocessed event.
            d.sync()
        finally:
            d.close()
