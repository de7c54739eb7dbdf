#!/usr/bin/env python3
"""The built program in a real X server, driven like an operator with real clicks and keys:

first start   no settings, no image list: both message boxes, the list fetched from the update
              server, closed through the window manager's close request; "default.ini" written
              with every control at its default.
second start  port typed in, "Local File" chosen, file name typed, Start: the local HEX file in
              the simulated board's flash. "Web File", Start: the chosen model's scrambled image
              (above 64 KiB) fetched from the server and in the flash. A screenshot of the
              finished download. Start again and Stop mid-way: no end frame. Closed again:
              "default.ini" holds what the operator chose.

The flash dumps are compared with what binutils' objcopy makes of the same HEX text, and the log
pane's lines are read through the clipboard (select all, copy) exactly as an operator could.
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xdrive import Fail, XServer, wait_for  # noqa: E402

LOD_KEY = b"Kq7Wd2Lp9"
FLASH_SIZE = 128 * 1024  # the simulator's default part: Mega128

# Control centres in the window's client area (the window is 400 x 360 at (0, 0)).
AT = {
    "RbLocalFile": (35, 19),
    "EdFileName": (206, 19),
    "RbWebFile": (35, 48),
    "CmbModel": (186, 48),
    "CmbComPort": (99, 91),
    "Memo1": (258, 181),
    "BtnStop": (315, 334),
    "BtnStart": (368, 334),
}

TIME = r"\[\d\d:\d\d:\d\d\] "


def read(path):
    with open(path, "rb") as f:
        return f.read()


def expected_flash(hex_text, objcopy, work):
    """The flash a complete download of this HEX text leaves: objcopy's binary, 0xFF elsewhere."""
    src = os.path.join(work, "expect.hex")
    out = os.path.join(work, "expect.bin")
    with open(src, "wb") as f:
        f.write(hex_text)
    subprocess.run([objcopy, "-I", "ihex", "-O", "binary", "--gap-fill", "0xFF", src, out],
                   check=True)
    image = read(out)
    return image + b"\xff" * (FLASH_SIZE - len(image))


def check_flash(dump, expected, what):
    got = read(dump)
    if got != expected:
        diff = next((i for i in range(min(len(got), len(expected))) if got[i] != expected[i]),
                    min(len(got), len(expected)))
        raise Fail(f"{what}: flash differs from the image first at 0x{diff:05X} "
                   f"(dump {len(got)} bytes, expected {len(expected)})")


def check_lines(got, patterns, what):
    if len(got) != len(patterns) or not all(re.fullmatch(p, g) for p, g in zip(patterns, got)):
        raise Fail(f"{what}: log lines\n  got      {got}\n  expected {patterns}")


def settings(port, rate, file_name, model, local):
    lines = ["ZUB COM Watch Ver=1.0", f"CmbComPort={port}", "CmbProtocol=0",
             f"CmbBaudRate={rate}", f"EdFileName={file_name}", f"CmbModel={model}",
             "CbBlankSkip=flase", "CbAutoReset=true", "CbAutoDevSearch=flase",
             f"RbLocalFile={'true' if local else 'flase'}"]
    return "".join(line + "\r\n" for line in lines).encode("utf-8")


class Run:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.www = os.path.join(work, "www")
        self.served = os.path.join(self.www, "ydr", "zubloader")
        self.start = os.path.join(work, "start")
        self.link = os.path.join(work, "ttyZUB")
        self.flash = os.path.join(work, "flash.bin")
        self.events = os.path.join(work, "events.log")
        self.server_log = os.path.join(work, "server.log")
        os.makedirs(self.served)
        os.makedirs(self.start)
        self.procs = []

    # ---- the parts around the program ----
    def start_server(self):
        """The update server at the build's host. Another test run on this machine may hold the
        port for a while (CTest's lock only orders the tests of one run): wait for it."""
        host, _, port = self.args.host.partition(":")
        port = int(port or 80)
        deadline = time.monotonic() + 600
        while True:
            with socket.socket() as probe:
                busy = probe.connect_ex((host, port)) == 0
            if not busy:
                log = open(self.server_log, "wb")
                server = subprocess.Popen(
                    [sys.executable, "-u", "-m", "http.server", str(port), "--bind", host,
                     "--directory", self.www], stdout=log, stderr=log)
                try:
                    wait_for("the update server", lambda: server.poll() is not None
                             or b"Serving HTTP" in read(self.server_log), 10)
                except Fail:
                    server.kill()
                    raise
                if server.poll() is None:
                    self.procs.append(server)
                    return
            if time.monotonic() > deadline:
                raise Fail(f"{host}:{port} stayed in use by another program")
            time.sleep(1)

    def requests(self):
        return re.findall(r'"(GET [^ ]+)', read(self.server_log).decode())

    def start_simulator(self):
        sim = subprocess.Popen([self.args.sim, "--link", self.link, "--flash-out", self.flash,
                                "--events", self.events], stdout=subprocess.PIPE)
        self.procs.append(sim)
        first = sim.stdout.readline().decode()
        if not first.startswith("PTY "):
            raise Fail(f"simulator: unexpected first line {first!r}")

    def board_events(self):
        return read(self.events).decode().splitlines() if os.path.exists(self.events) else []

    def wait_download_end(self, ends_before, timeout=90):
        """Until the board saw one more end frame and the program then closed the port."""
        def done():
            ev = self.board_events()
            ends = [i for i, e in enumerate(ev) if e.startswith("END")]
            return len(ends) > ends_before and any(e == "HANGUP" for e in ev[ends[-1]:])
        wait_for("the end of the download", done, timeout, 0.2)

    def count_ends(self):
        return sum(1 for e in self.board_events() if e.startswith("END"))

    def stop_all(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


class Program:
    """One run of the built program in the start directory."""

    def __init__(self, x, app, start, stderr_path):
        self.x = x
        # A file, not a pipe: a long sanitizer report must never block the program on its way out.
        self.stderr_path = stderr_path
        with open(stderr_path, "ab") as err:
            self.proc = subprocess.Popen([app], cwd=start, env=x.env, stdout=subprocess.DEVNULL,
                                         stderr=err)
        self.wid = x.wait_window(r"^ZubLoader Ver2\.51$")
        left, top, width, height = x.geometry(self.wid)
        if (left, top, width, height) != (0, 0, 400, 360):
            raise Fail(f"main window at {left},{top} size {width}x{height}, not 400x360 at 0,0")

    def click(self, control, repeat=1):
        self.x.click(self.wid, *AT[control], repeat=repeat)

    def replace_text(self, control, text):
        """Click into an edit field, select what it holds and type over it."""
        self.click(control)
        self.x.focus(self.wid)
        self.x.keys("ctrl+a")
        self.x.type_text(text)

    def copy_text(self, control):
        """What an edit field or the log pane holds, selected and copied as an operator would."""
        self.click(control)
        self.x.focus(self.wid)
        self.x.keys("ctrl+a", "ctrl+c")
        time.sleep(0.3)
        return self.x.clipboard()

    def log_lines(self):
        return [line for line in self.copy_text("Memo1").split("\n") if line]

    def answer_box(self):
        """A modal box titled "ZubLoad" (its text is not readable from outside: the unit tests
        check the texts): press Enter as the operator does and wait until it is gone."""
        box = self.x.wait_window(r"^ZubLoad$")
        self.x.focus(box)
        self.x.keys("Return")
        wait_for("the box to close", lambda: box not in self.x.find_windows(r"^ZubLoad$"), 10)

    def close(self):
        self.x.close_request(self.wid)
        code = self.wait_end()
        if code is None:
            state = self.diagnose()
            failure_screenshot(self.x)  # while the window is still there to be seen
            self.proc.kill()
            self.proc.wait()
            raise Fail("the program did not end after the close request:\n" + self.stderr() +
                       "\n" + state)
        if code != 0:
            raise Fail(f"the program ended with {code}:\n" + self.stderr())

    def cpu_state(self):
        """The program's CPU time over all its threads, and whether any thread can run."""
        ticks, busy = 0, False
        try:
            for task in os.listdir(f"/proc/{self.proc.pid}/task"):
                with open(f"/proc/{self.proc.pid}/task/{task}/stat") as f:
                    fields = f.read().rpartition(")")[2].split()
                busy |= fields[0] in ("R", "D")
                ticks += int(fields[11]) + int(fields[12])
        except (OSError, IndexError, ValueError):
            pass  # ended meanwhile
        return ticks, busy

    def wait_end(self, idle_limit=15.0):
        """The exit code, or None when the program sat idle for idle_limit seconds without
        ending: on a busy machine it may be slow, but a program that neither runs nor waits to
        run and uses no CPU time has lost the request. Load only makes this take longer."""
        last, idle_since = None, time.monotonic()
        while True:
            code = self.proc.poll()
            if code is not None:
                return code
            state = self.cpu_state()
            now = time.monotonic()
            if state[1] or state[0] != last:
                last, idle_since = state[0], now
            elif now - idle_since > idle_limit:
                return None
            time.sleep(0.25)

    def diagnose(self):
        """Where a program that does not end is: its threads' stacks and the windows it shows."""
        parts = []
        try:
            bt = subprocess.run(["gdb", "-batch", "-p", str(self.proc.pid), "-ex",
                                 "thread apply all bt 25"], capture_output=True, text=True,
                                timeout=60)
            parts.append("stacks:\n" + bt.stdout[-8000:])
        except (OSError, subprocess.TimeoutExpired) as e:
            parts.append(f"no stacks: {e}")
        try:
            wins = self.x.run("xdotool", "search", "--onlyvisible", "--name", ".", check=False)
            names = [f"{w}: {self.x.run('xdotool', 'getwindowname', w, check=False).strip()}"
                     for w in wins.split()]
            parts.append("visible windows: " + "; ".join(names))
        except Exception as e:  # diagnostics must not hide the failure itself
            parts.append(f"no window list: {e}")
        return "\n".join(parts)

    def stderr(self):
        return read(self.stderr_path).decode(errors="replace")[-6000:]


FAILURE_SHOT = None  # where a failed run leaves its screenshot


def failure_screenshot(x):
    """The screen at the failure, taken once, before anything of the program is ended."""
    global FAILURE_SHOT
    if FAILURE_SHOT is None:
        return
    path, FAILURE_SHOT = FAILURE_SHOT, None
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        x.screenshot(path)
    except Exception as e:  # the failure itself matters more than its picture
        print(f"no failure screenshot: {e}")


def scenario(args, run, x):
    subprocess.run([sys.executable, args.images, run.served], check=True)
    local_hex = os.path.join(run.start, "local image.hex")  # a space, as operators' files have
    shutil.move(os.path.join(run.served, "demo-local.hex"), local_hex)
    run.start_server()
    run.start_simulator()
    ini = os.path.join(run.start, "default.ini")

    # ---- first start: nothing in the start directory ----
    err = os.path.join(run.work, "program-stderr.txt")
    app = Program(x, args.app, run.start, err)
    app.answer_box()  # no settings file
    app.answer_box()  # no image list
    if x.find_windows(r"^ZubLoad$"):
        raise Fail("a third message box at the first start")
    listed = os.path.join(run.start, "hexlist.txt")
    wait_for("the fetched image list", lambda: os.path.exists(listed), 10)
    if read(listed) != read(os.path.join(run.served, "hexlist.txt")):
        raise Fail("the fetched hexlist.txt differs from the server's")
    if run.requests() != ["GET /", "GET /ydr/zubloader/hexlist.txt"]:
        raise Fail(f"first start requests: {run.requests()}")
    check_lines(app.log_lines(), [], "first start")
    app.close()
    if read(ini) != settings("COM1", 11, "default.bin", 1, False):
        raise Fail(f"default.ini after the first start: {read(ini)!r}")

    # ---- second start: a local file, then a model image from the server ----
    app = Program(x, args.app, run.start, err)
    # The start-up sequence has run once the model box shows the list's row 1 (restored from
    # the settings) instead of the placeholder row.
    wait_for("the image list in the model box",
             lambda: app.copy_text("CmbModel") == "A-Demo logger 96 KiB (scrambled)", 20, 0.5)
    if x.find_windows(r"^ZubLoad$"):
        raise Fail("a message box at the second start")
    app.replace_text("CmbComPort", run.link)
    app.click("RbLocalFile")
    app.replace_text("EdFileName", local_hex)
    app.click("BtnStart")
    run.wait_download_end(0)
    check_flash(run.flash, expected_flash(read(local_hex), args.objcopy, run.work), "local file")
    check_lines(app.log_lines(),
                ["다운로드 준비가 되었습니다.", "장치의 전원스위치를 OFF/ON하십시오.",
                 TIME + "다운로드 시작 : 0", TIME + "다운로드 완료", "장치와 연결을 해제하였습니다."],
                "local download")

    app.click("RbWebFile")
    app.click("BtnStart")
    run.wait_download_end(1)
    served_lod = read(os.path.join(run.served, "demo-logger.lod"))
    hex_text = bytes(b ^ LOD_KEY[i % len(LOD_KEY)] for i, b in enumerate(served_lod))
    check_flash(run.flash, expected_flash(hex_text, args.objcopy, run.work), "model image")
    if read(os.path.join(run.start, "demo-logger.lod")) != served_lod:
        raise Fail("the fetched model image differs from the server's")
    if run.requests()[2:] != ["GET /", "GET /ydr/zubloader/demo-logger.lod"]:
        raise Fail(f"model download requests: {run.requests()}")
    os.makedirs(args.artifacts, exist_ok=True)
    x.screenshot(os.path.join(args.artifacts, "e2e-download-finished.png"), crop=(400, 360))
    # Decoding the scrambled image clears the log pane, so it starts at the port's lines.
    finished = ["다운로드 준비가 되었습니다.", "장치의 전원스위치를 OFF/ON하십시오.",
                TIME + "다운로드 시작 : 1", TIME + "다운로드 완료", "장치와 연결을 해제하였습니다."]
    check_lines(app.log_lines(), finished, "model download")

    # ---- Start once more, Stop mid-way: the image stays loaded, no end frame is sent ----
    pages_before = sum(1 for e in run.board_events() if e.startswith("PAGE"))
    app.click("BtnStart")
    wait_for("pages on the wire",
             lambda: sum(1 for e in run.board_events() if e.startswith("PAGE")) > pages_before + 20,
             30, 0.05)
    app.click("BtnStop")
    wait_for("the port closed by Stop", lambda: run.board_events()[-1] == "HANGUP", 10)
    time.sleep(0.5)
    if run.count_ends() != 2 or run.board_events()[-1] != "HANGUP":
        raise Fail(f"the board heard more after Stop: {run.board_events()[-3:]}")
    check_lines(app.log_lines(),
                finished + ["다운로드 준비가 되었습니다.", "장치의 전원스위치를 OFF/ON하십시오.",
                            TIME + "다운로드 시작 : 2", "장치와 연결을 해제하였습니다."],
                "stopped download")
    if len(run.requests()) != 4:
        raise Fail(f"the accepted model image was fetched again: {run.requests()}")

    app.close()
    if read(ini) != settings(run.link, 11, local_hex, 1, False):
        raise Fail(f"default.ini after the second start: {read(ini)!r}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--app", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--host", required=True, help="the update host the program was built with")
    ap.add_argument("--images", required=True, help="demo/make-images.py")
    ap.add_argument("--objcopy", default="objcopy")
    ap.add_argument("--artifacts", required=True)
    args = ap.parse_args()

    for old in ("e2e-download-finished.png", "e2e-failure.png"):
        if os.path.exists(os.path.join(args.artifacts, old)):
            os.remove(os.path.join(args.artifacts, old))
    work = tempfile.mkdtemp(prefix="zub-e2e-")
    run = Run(args, work)
    x = XServer()
    global FAILURE_SHOT
    FAILURE_SHOT = os.path.join(args.artifacts, "e2e-failure.png")
    try:
        scenario(args, run, x)
    except Fail as e:
        failure_screenshot(x)
        print(f"FAIL: {e}\n(board events: {run.board_events()[-6:]}; work folder kept: {work})")
        return 1
    finally:
        run.stop_all()
        x.close()
    shutil.rmtree(work, ignore_errors=True)
    print("PASS: first start, local file, model image, stop, close")
    return 0


if __name__ == "__main__":
    sys.exit(main())
