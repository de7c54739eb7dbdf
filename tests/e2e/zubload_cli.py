#!/usr/bin/env python3
"""The built command-line loader `zubload` run as a jig script runs it, against the board
simulator on a pseudo-terminal, with standard output and error in pipes:

download   a local HEX file named relative to the caller with -C for the start directory:
           exit 0, the log lines, the flash, nothing but the production record in the start
           directory, nothing on stderr; a row that cannot be written is still reported with
           --quiet, and the JSON result says so
settings   no FILE: default.ini chooses file and auto reset, -b overrides its rate; --json read
           with a real JSON reader (schema, time stamps, the chip event, progress up to the page
           count); default.ini left byte for byte and in its time stamp
failures   a board that refuses a page (exit 1, -qb combined, --quiet prints that line alone,
           pages_sent counts the pages taken), a port that does not open (3, --quiet prints its
           line and the reason after it; JSON kind and reason), a port that goes away
           mid-download (6), a file that does not load (4, null for the sizes it never had)
interrupt  SIGINT twice mid-download: exit 130, the port closed at once, no end frame, the row
           still written
timeout    --timeout with a board that never answers: exit 5 and its reason; SIGTERM (143) and
           SIGHUP (129) while waiting, each with its stopped row
escapes    NO_COLOR and TERM=dumb: a progress line on a terminal without escape sequences
repeat_port --repeat with a board whose port goes away at power-off and comes back
repeat     --repeat 2 with two boards one after the other; auto reset without a terminal refused
usage      usage errors exit 2 and touch nothing (no firmware named and no default.ini too)
ports      --list-ports: one JSON object per device, Com1..Com8 first, and the same as text
model      --model NAME in an empty start directory: a list the server lacks (4, a result and a
           row, kind network), then the list and the image fetched, in order
helptext   --help lists the same exit statuses as the man page
fetchstop  SIGINT while the model image trickles in: the fetch ends within about a second,
           exit 130, a "stopped" row and no image file
record     list rows that name a month's production record are refused; the record keeps its
           rows; two users of one group in a group-writable folder both get their rows, running
           a copy of zubload they can reach (the build tree may sit in a 0700 home)
"""
import argparse
import csv
import hashlib
import io
import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import shutil
import socket
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from e2e_operator import (TIME, Run, check_flash, check_lines, expected_flash,  # noqa: E402
                          read, settings)
from xdrive import Fail, wait_for  # noqa: E402

DOWNLOAD_LINES = ["다운로드 준비가 되었습니다.", "장치의 전원스위치를 OFF/ON하십시오.",
                  TIME + "다운로드 시작 : 0", TIME + "다운로드 완료", "장치와 연결을 해제하였습니다."]


class Board:
    """One simulator on its own link for one case; extra options inject its faults."""

    def __init__(self, sim, work, name, *options):
        self.link = os.path.join(work, name + "-tty")
        self.flash = os.path.join(work, name + "-flash.bin")
        self.events_path = os.path.join(work, name + "-events.log")
        self.proc = subprocess.Popen([sim, "--link", self.link, "--flash-out", self.flash,
                                      "--events", self.events_path, *options],
                                     stdout=subprocess.PIPE)
        if not self.proc.stdout.readline().startswith(b"PTY "):
            self.stop()
            raise Fail(f"simulator {name} did not start")

    def events(self):
        if not os.path.exists(self.events_path):
            return []
        return read(self.events_path).decode().splitlines()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


class Loader:
    def __init__(self, args, work):
        self.exe = args.zubload
        self.work = work

    def run(self, *argv, cwd=None, timeout=120):
        p = subprocess.run([self.exe, *argv], cwd=cwd or self.work, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=timeout)
        return p.returncode, p.stdout.decode(), p.stderr.decode()


def expect(code, want, out, err, what):
    if code != want:
        raise Fail(f"{what}: exit {code}, expected {want}\nstdout:\n{out}\nstderr:\n{err}")


def json_events(out, what):
    events = []
    for line in out.splitlines():
        try:
            events.append(json.loads(line))
        except json.JSONDecodeError as e:
            raise Fail(f"{what}: not a JSON line ({e}): {line!r}")
    return events


# The columns every row has had since the record began; later columns come after them.
FIRST_COLUMNS = 20


def record_fields(start):
    """Every row of the start directory's records, as lists of fields."""
    rows = []
    for name in sorted(os.listdir(start)):
        if re.fullmatch(r"downloads-\d{4}-\d\d\.csv", name):
            text = read(os.path.join(start, name)).decode("utf-8-sig")
            rows += list(csv.reader(io.StringIO(text, newline="")))[1:]
    return rows


def record_rows(start):
    """The rows' first columns as the record writes them (quoted only where needed)."""
    def field(value):
        if any(c in value for c in '",\r\n'):
            return '"' + value.replace('"', '""') + '"'
        return value
    return [",".join(field(v) for v in row[:FIRST_COLUMNS]) for row in record_fields(start)]


STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")


def one_result(out, what):
    results = [e for e in json_events(out, what) if e["event"] == "result"]
    if len(results) != 1:
        raise Fail(f"{what}: {len(results)} result objects in {out!r}")
    return results[0]


def check_failure(result, kind, what, reason=None):
    """A failure's kind (None: may still be unset here) and its reason, a non-empty string."""
    if result["result"] != "failed" or result["row_written"] is not True:
        raise Fail(f"{what}: result {result}")
    if kind is not None and result["kind"] != kind:
        raise Fail(f"{what}: kind {result['kind']!r}, expected {kind!r}")
    if not isinstance(result["reason"], str) or not result["reason"] or \
            (reason is not None and result["reason"] != reason):
        raise Fail(f"{what}: reason {result['reason']!r}")


def fresh_dir(work, name):
    path = os.path.join(work, name)
    os.makedirs(path)
    return path


def case_download(args, work, loader, images):
    board = Board(args.sim, work, "download")
    start = fresh_dir(work, "download-start")
    try:
        # FILE is relative to where zubload runs, not to its start directory.
        code, out, err = loader.run("-C", start, "-p", board.link,
                                    os.path.relpath(images["local"], work))
        expect(code, 0, out, err, "download")
        check_lines(out.splitlines(), DOWNLOAD_LINES, "download")
        if err:
            raise Fail(f"download: stderr not empty: {err!r}")
        check_flash(board.flash, expected_flash(read(images["local"]), args.objcopy, work),
                    "download")
        files = os.listdir(start)
        if len(files) != 1 or not files[0].startswith("downloads-") or \
                not record_rows(start)[-1].endswith(",ok,"):
            raise Fail(f"download: start directory holds {files}")

        # A folder in the record's place: the board is written, and even --quiet says that its
        # row is not; the JSON result says why.
        blocked = fresh_dir(work, "download-blocked")
        os.makedirs(os.path.join(blocked, time.strftime("downloads-%Y-%m.csv")))
        code, out, err = loader.run("-q", "-C", blocked, "-p", board.link, images["blink"])
        expect(code, 0, out, err, "record blocked, quiet")
        if not re.fullmatch(r"\[Warning\] Production record not written: .+\n", out):
            raise Fail(f"record blocked, quiet: stdout {out!r}")
        code, out, err = loader.run("--json", "-C", blocked, "-p", board.link, images["blink"])
        expect(code, 0, out, err, "record blocked, json")
        result = one_result(out, "record blocked, json")
        if result["result"] != "ok" or result["row_written"] is not False or \
                not result["row_error"]:
            raise Fail(f"record blocked, json: result {result}")
    finally:
        board.stop()


def case_settings_json(args, work, loader, images):
    board = Board(args.sim, work, "settings")
    start = fresh_dir(work, "settings-start")
    ini = os.path.join(start, "default.ini")
    text = settings("COM7", 11, images["local"], 1, True).replace(b"CbAutoReset=true",
                                                                  b"CbAutoReset=flase")
    with open(ini, "wb") as f:
        f.write(text)
    os.utime(ini, (1_000_000_000, 1_000_000_000))
    try:
        code, out, err = loader.run("--json", "-p", board.link, "-b", "115200", cwd=start)
        expect(code, 0, out, err, "settings")
        events = json_events(out, "settings")
        check_lines([e["text"] for e in events if e["event"] == "log"], DOWNLOAD_LINES,
                    "settings")
        progress = [e for e in events if e["event"] == "progress"]
        if not progress or any(set(e) != {"event", "schema", "time", "page", "pages"} for e in progress):
            raise Fail(f"settings: progress events {progress}")
        results = [e for e in events if e["event"] == "result"]
        image = read(board.flash)[:results[0]["image_bytes"]] if results else b""
        want = {"result": "ok", "detail": None, "source": "file", "image": images["local"],
                "image_bytes": 20 * 1024, "protocol": "NORMAL", "baud": 115200,
                "image_sha256": hashlib.sha256(image).hexdigest(), "pages_sent": 80,
                "resends": 0, "kind": None, "reason": None, "row_written": True,
                "row_error": None, "chip": "Mega128 0x44"}
        if any(e.get("schema") != 2 or not STAMP.match(e.get("time", "")) for e in events):
            raise Fail(f"settings: an event without schema 2 or time stamp: {events[:2]}")
        chips = [e for e in events if e["event"] == "chip"]
        want_chip = {"name": "Mega128", "code": "0x44", "flash": 131072, "boot": 1024,
                     "page": 256, "eeprom": 4096}
        if len(chips) != 1 or any(chips[0].get(k) != v for k, v in want_chip.items()) or \
                events.index(chips[0]) > events.index(progress[0]):
            raise Fail(f"settings: chip events {chips}, expected one before the pages")
        if (progress[-1]["page"], progress[-1]["pages"]) != (80, 80):
            raise Fail(f"settings: the last progress event is {progress[-1]}")
        if len(results) != 1 or events[-1] is not results[0] or \
                any(results[0].get(k) != v for k, v in want.items()):
            raise Fail(f"settings: result events {results}, expected at the end with {want}")
        # Auto reset came from default.ini: no reset frame went out.
        if any(e.startswith("RESET") for e in board.events()):
            raise Fail(f"settings: the jig reset was sent: {board.events()[:3]}")
        if read(ini) != text or os.stat(ini).st_mtime != 1_000_000_000:
            raise Fail("settings: default.ini was touched")
    finally:
        board.stop()


def case_failures(args, work, loader, images):
    board = Board(args.sim, work, "failing", "--resend-page", "2", "--resend-times", "4")
    try:
        # Short options combine as with getopt: -q and -b with its value.
        code, out, err = loader.run("-qb", "115200", "-p", board.link, images["blink"])
        expect(code, 1, out, err, "refused page")
        # Standard output is the window's log: the line alone; the reason goes to stderr.
        check_lines(out.splitlines(), [r"\[Error\] Fail Download Page\[2\]:Over Count"],
                    "refused page, quiet")
        check_lines(err.splitlines(), [r"zubload: The board asked for page 2 again on every "
                                       r"send \(noise on the line, or a rate it cannot hold\)"],
                    "refused page, stderr")
        # Pages 0 and 1 were taken, page 2 never: pages_sent and the board agree.
        row = record_rows(work)[-1].split(",")
        taken = [e for e in board.events() if re.fullmatch(r"PAGE \d+ OK", e)]
        if (row[12], row[14], len(taken)) != ("115200", "2", 2):
            raise Fail(f"refused page: row {row}, board took {taken}")
    finally:
        board.stop()
    # Quiet: the failure line and the reason line the engine adds after it.
    code, out, err = loader.run("-q", "-p", os.path.join(work, "no-such-tty"), images["blink"])
    expect(code, 3, out, err, "missing port")
    lines = out.splitlines()
    if len(lines) != 2 or lines[0] != "통신포트오류:" + os.path.join(work, "no-such-tty"):
        raise Fail(f"missing port, quiet: {out!r}")
    code, out, err = loader.run("--json", "-q", "-p", os.path.join(work, "no-such-tty"),
                                images["blink"])
    expect(code, 3, out, err, "missing port, json")
    check_failure(one_result(out, "missing port, json"), "port", "missing port, json")
    # The port goes away under a running download: its own status, not "could not be opened".
    board = Board(args.sim, work, "lost", "--pace", "57600", "--page-write-ms", "5")
    try:
        proc = subprocess.Popen([args.zubload, "--json", "-p", board.link, images["logger"]],
                                cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            wait_for("page 5 on the wire", lambda: "PAGE 5 OK" in board.events(), 60, 0.02)
            board.proc.kill()
            out, err = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        expect(proc.returncode, 6, out.decode(), err.decode(), "port lost")
        check_failure(one_result(out.decode(), "port lost"), "port", "port lost")
    finally:
        board.stop()
    code, out, err = loader.run("--json", "-p", os.path.join(work, "no-such-tty"),
                                os.path.join(work, "no-such.hex"))
    expect(code, 4, out, err, "missing file")
    if "[ERROR] Cannot the Hex File!" not in err.splitlines():
        raise Fail(f"missing file: the message box's line is not on stderr: {err!r}")
    result = one_result(out, "missing file")
    if result["result"] != "failed" or result["kind"] not in (None, "image") or \
            (result["image_bytes"], result["baud"]) != (None, None):
        raise Fail(f"missing file: result {result}")


def case_interrupt(args, work, loader, images):
    board = Board(args.sim, work, "interrupt", "--pace", "57600", "--page-write-ms", "5")
    start = fresh_dir(work, "interrupt-start")
    try:
        proc = subprocess.Popen([args.zubload, "-p", board.link, images["logger"]], cwd=start,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            wait_for("page 10 on the wire", lambda: "PAGE 10 OK" in board.events(), 60, 0.02)
            sent = time.monotonic()
            # A second Ctrl-C right behind the first still ends with the row and the output.
            proc.send_signal(signal.SIGINT)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=10)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        print(f"interrupt: exit {(time.monotonic() - sent) * 1000:.0f} ms after SIGINT")
        out, err = out.decode(), err.decode()
        expect(proc.returncode, 130, out, err, "interrupt")
        check_lines(out.splitlines(), DOWNLOAD_LINES[:3] + ["장치와 연결을 해제하였습니다."],
                    "interrupt")
        wait_for("the port closed", lambda: "HANGUP" in board.events(), 5)
        time.sleep(0.3)
        if any(e.startswith("END") for e in board.events()):
            raise Fail(f"interrupt: an end frame was sent: {board.events()[-4:]}")
        if not record_rows(start)[-1:] or not record_rows(start)[-1].endswith(",stopped,"):
            raise Fail(f"interrupt: record {record_rows(start)}")
    finally:
        board.stop()


def case_repeat(args, work, loader, images):
    board = Board(args.sim, work, "repeat", "--fresh-each-session")
    try:
        code, out, err = loader.run("--repeat", "2", "--no-auto-reset", "--json", "-p",
                                    board.link, images["blink"])
        expect(code, 0, out, err, "repeat")
        events = json_events(out, "repeat")
        results = [(e["board"], e["result"]) for e in events if e["event"] == "result"]
        summary = events[-1]
        if results != [(1, "ok"), (2, "ok")] or summary.get("event") != "summary" or \
                (summary["written"], summary["failed"]) != (2, 0):
            raise Fail(f"repeat: results {results}, last event {summary}")
        starts = [e["text"] for e in events if e["event"] == "log" and "다운로드 시작" in e["text"]]
        ends = [e for e in board.events() if e.startswith("END")]
        if [s[-3:] for s in starts] != [": 0", ": 1"] or ends != ["END 1", "END 2"]:
            raise Fail(f"repeat: start lines {starts}, board ends {ends}")
        check_flash(board.flash, expected_flash(read(images["blink"]), args.objcopy, work),
                    "repeat, second board")

        # With auto reset each next board waits for Enter: refused without a terminal.
        opened = board.events().count("OPEN")
        code, out, err = loader.run("--repeat", "2", "-p", board.link, images["blink"])
        expect(code, 2, out, err, "repeat with auto reset")
        if board.events().count("OPEN") != opened or "terminal" not in err:
            raise Fail(f"repeat with auto reset: port opened or no reason given: {err!r}")
    finally:
        board.stop()


def case_usage(args, work, loader, images):
    start = fresh_dir(work, "usage-start")
    with open(os.path.join(start, "hexlist.txt"), "wb") as f:
        f.write(read(images["list"]))
    for argv in (["--bogus", images["blink"]], ["-b", "12345", images["blink"]],
                 ["--protocol", "ZUB32", images["blink"]], ["--model", "x", images["blink"]],
                 ["--model", "No such model"], ["--model-row", "20"], []):
        code, out, err = loader.run("-C", start, "-p", os.path.join(work, "no-such-tty"), *argv)
        expect(code, 2, out, err, f"usage {argv}")
        if not err.startswith("zubload: ") or out:
            raise Fail(f"usage {argv}: stdout {out!r}, stderr {err!r}")
    if os.listdir(start) != ["hexlist.txt"]:
        raise Fail(f"usage errors left files: {os.listdir(start)}")


def case_list_ports(args, work, loader, images):
    code, out, err = loader.run("--list-ports", "--json")
    expect(code, 0, out, err, "list-ports")
    devices = json_events(out, "list-ports")
    keys = {"com", "path", "by_id", "vendor_id", "product_id", "serial", "manufacturer",
            "description"}
    numbered = [d["com"] for d in devices if d["com"] is not None]
    if any(set(d) != keys or not d["path"].startswith("/dev/") for d in devices) or \
            numbered != list(range(1, min(len(devices), 8) + 1)):
        raise Fail(f"list-ports: {devices}")
    code, text, err = loader.run("--list-ports")
    expect(code, 0, text, err, "list-ports, text")
    if len(text.splitlines()) != len(devices) or \
            any(d["path"] not in line for d, line in zip(devices, text.splitlines())):
        raise Fail(f"list-ports: text {text!r} against {devices}")


def case_model(args, work, loader, images):
    run = Run(argparse.Namespace(host=args.host), os.path.join(work, "model"))
    board = Board(args.sim, work, "model")
    try:
        run.start_server()
        # The server has no list yet: a result and a row all the same, and no list stored.
        code, out, err = loader.run("--json", "--model", "A-Demo blinker 2 KiB", "-p",
                                    board.link, cwd=run.start)
        expect(code, 4, out, err, "model, no list")
        check_failure(one_result(out, "model, no list"), "network", "model, no list")
        rows = [r.split(",") for r in record_rows(run.start)]
        if len(rows) != 1 or rows[0][6:9] != ["model", "A-Demo blinker 2 KiB", ""] or \
                rows[0][18] != "failed" or os.path.exists(os.path.join(run.start, "hexlist.txt")):
            raise Fail(f"model, no list: rows {rows}, files {os.listdir(run.start)}")
        before = len(run.requests())

        subprocess.run([sys.executable, args.images, run.served], check=True,
                       stdout=subprocess.DEVNULL)
        code, out, err = loader.run("--json", "--model", "A-Demo blinker 2 KiB", "-p",
                                    board.link, cwd=run.start)
        expect(code, 0, out, err, "model")
        result = json_events(out, "model")[-1]
        if (result["event"], result["model"], result["source"]) != \
                ("result", "A-Demo blinker 2 KiB", "model"):
            raise Fail(f"model: result {result}")
        # The list first, so that the model could be found in it; then the model's image.
        fetched = [r for r in run.requests()[before:] if r.startswith("GET /ydr/")]
        if fetched != ["GET /ydr/zubloader/hexlist.txt", "GET /ydr/zubloader/demo-blink.hex"]:
            raise Fail(f"model: requests {run.requests()}")
        served = read(os.path.join(run.served, "demo-blink.hex"))
        check_flash(board.flash, expected_flash(served, args.objcopy, work), "model")
    finally:
        board.stop()
        run.stop_all()


def case_timeout(args, work, loader, images):
    board = Board(args.sim, work, "mute", "--no-ready")
    start = fresh_dir(work, "timeout-start")
    try:
        began = time.monotonic()
        code, out, err = loader.run("--json", "--timeout", "1.5", "--no-auto-reset", "-C", start,
                                    "-p", board.link, images["blink"])
        took = time.monotonic() - began
        expect(code, 5, out, err, "timeout")
        result = one_result(out, "timeout")
        check_failure(result, "board", "timeout", "no answer from the board")
        logs = [e["text"] for e in json_events(out, "timeout") if e["event"] == "log"]
        if "[Error] No answer from the board in 1.5 s" not in logs or took > 30 or \
                not record_rows(start)[-1].endswith(
                    ",failed,[Error] No answer from the board in 1.5 s: no answer from the board"):
            raise Fail(f"timeout: {took:.1f} s, log {logs}, record {record_rows(start)}")
        # Stopped while the board is awaited: each signal its own status, each run its row.
        for sig, status in ((signal.SIGTERM, 143), (signal.SIGHUP, 129)):
            proc = subprocess.Popen([args.zubload, "--json", "--no-auto-reset", "-C", start,
                                     "-p", board.link, images["blink"]],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            try:
                wakes = board.events().count("WAKE")
                wait_for("a wake word", lambda: board.events().count("WAKE") > wakes, 30, 0.02)
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=10)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            what = signal.Signals(sig).name
            expect(proc.returncode, status, out.decode(), err.decode(), what)
            result = one_result(out.decode(), what)
            if (result["result"], result["kind"]) != ("stopped", "interrupted") or \
                    not result["reason"] or not record_rows(start)[-1].endswith(",stopped,"):
                raise Fail(f"{what}: result {result}, record {record_rows(start)[-1:]}")
    finally:
        board.stop()


def case_escapes(args, work, loader, images):
    """Standard error on a terminal: the progress line is drawn, with no escape sequence."""
    board = Board(args.sim, work, "escapes")
    try:
        for env in ({"NO_COLOR": "1", "TERM": "xterm"}, {"TERM": "dumb"}):
            master, slave = pty.openpty()
            proc = subprocess.Popen([args.zubload, "--no-auto-reset", "-p", board.link,
                                     images["blink"]], cwd=work, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=slave,
                                    env={k: v for k, v in {**os.environ, **env}.items()
                                         if k != "NO_COLOR" or "NO_COLOR" in env})
            os.close(slave)
            shown = b""
            try:
                while True:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:
                        break
                    if not chunk:
                        break
                    shown += chunk
                out, _ = proc.communicate(timeout=60)
            finally:
                os.close(master)
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            expect(proc.returncode, 0, out.decode(), shown.decode(errors="replace"), str(env))
            if b"\x1b" in shown + out or b"pages" not in shown:
                raise Fail(f"{env}: terminal got {shown!r}")
    finally:
        board.stop()


def case_repeat_port(args, work, loader, images):
    """The board's own USB port goes at power-off: the run waits for it instead of ending."""
    link = os.path.join(work, "usb-tty")
    first = Board(args.sim, work, "usb1", "--link", link, "--once")
    second = None
    proc = subprocess.Popen([args.zubload, "--repeat", "2", "--no-auto-reset", "--json", "-p",
                             link, images["blink"]], cwd=work, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        wait_for("the first board to end", lambda: first.proc.poll() is not None, 60, 0.05)
        time.sleep(1.5)  # the port stays away for a while
        if proc.poll() is not None:
            raise Fail(f"repeat_port: ended while the port was away: {proc.communicate()}")
        second = Board(args.sim, work, "usb2", "--link", link)
        out, err = proc.communicate(timeout=60)
        out, err = out.decode(), err.decode()
        expect(proc.returncode, 0, out, err, "repeat_port")
        events = json_events(out, "repeat_port")
        ok = [e for e in events if e["event"] == "result" and e["result"] == "ok"]
        if len(ok) != 2 or (events[-1]["written"], events[-1]["failed"]) != (2, 0) or \
                "waiting for " + link not in err:
            raise Fail(f"repeat_port: results {ok}, last {events[-1]}, stderr {err!r}")
        check_flash(second.flash, expected_flash(read(images["blink"]), args.objcopy, work),
                    "repeat_port, second board")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        first.stop()
        if second:
            second.stop()


def case_helptext(args, work, loader, images):
    """The exit statuses of --help and of the man page are one list."""
    code, out, err = loader.run("--help")
    expect(code, 0, out, err, "help")
    helped = re.findall(r"^\s+(\d+)  (.+)$", out.split("Exit status:\n", 1)[-1], re.M)
    page = read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cli",
                             "zubload.1")).decode()
    section = page.split(".SH EXIT STATUS", 1)[-1].split("\n.SH ", 1)[0]
    manned = [(c, t.replace("\\-", "-")) for c, t in
              re.findall(r"^\.TP\n\.B (\d+)\n(.+)$", section, re.M)]
    if not helped or [c for c, _ in helped] != [c for c, _ in manned] or \
            any(not m.startswith(h) for (_, h), (_, m) in zip(helped, manned)):
        raise Fail(f"help lists {helped}, the man page {manned}")


class TrickleServer:
    """The update server at the build's host, answering the probe at once and sending a model
    image 10 bytes at a time, 100000 declared, until it is stopped."""

    def __init__(self, host):
        self.quit = threading.Event()
        self.requests = []
        outer = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                outer.requests.append(self.path)
                if not self.path.startswith("/ydr/zubloader/"):
                    self.send_response(200)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                self.send_response(200)
                self.send_header("Content-Length", "100000")
                self.end_headers()
                try:
                    while not outer.quit.wait(0.2):
                        self.wfile.write(b":" * 10)
                        self.wfile.flush()
                except OSError:
                    pass
                self.close_connection = True

        name, _, port = host.partition(":")
        port = int(port or 80)
        deadline = time.monotonic() + 600
        while True:  # another test run on this machine may hold the port for a while
            with socket.socket() as probe:
                if probe.connect_ex((name, port)) != 0:
                    break
            if time.monotonic() > deadline:
                raise Fail(f"{host} stayed in use by another program")
            time.sleep(1)
        self.server = ThreadingHTTPServer((name, port), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.quit.set()
        self.server.shutdown()
        self.server.server_close()


def case_fetchstop(args, work, loader, images):
    start = fresh_dir(work, "fetchstop-start")
    shutil.copy(images["list"], os.path.join(start, "hexlist.txt"))
    server = TrickleServer(args.host)
    try:
        proc = subprocess.Popen([args.zubload, "--model", "A-Demo blinker 2 KiB", "-p",
                                 os.path.join(work, "no-such-tty")], cwd=start,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            wait_for("the image requested",
                     lambda: "/ydr/zubloader/demo-blink.hex" in server.requests, 30, 0.02)
            time.sleep(0.5)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=30)
            took = time.monotonic() - sent
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    finally:
        server.stop()
    print(f"fetchstop: exit {took * 1000:.0f} ms after SIGINT")
    out, err = out.decode(), err.decode()
    expect(proc.returncode, 130, out, err, "fetch stop")
    # libcurl asks at least once a second whether to go on, even while nothing arrives.
    if took > 2.5:
        raise Fail(f"fetch stop: the program ended {took:.1f} s after SIGINT")
    if os.path.exists(os.path.join(start, "demo-blink.hex")):
        raise Fail("fetch stop: a part of the image was stored")
    if not record_rows(start)[-1].endswith(",stopped,"):
        raise Fail(f"fetch stop: record {record_rows(start)}")


def case_record_names(args, work, loader, images):
    """A list row that names a production record, this month's or an old one, is refused as
    an unsafe name: the old rows stay, each run adds its own row, an old month is untouched."""
    start = fresh_dir(work, "record-names-start")
    month = time.strftime("%Y-%m")
    record = os.path.join(start, f"downloads-{month}.csv")
    old = os.path.join(start, "downloads-2019-01.csv")
    header = "\ufeffstarted,ended,station,program,port,device,source,model,image,image_bytes," \
             "image_sha256,protocol,baud,chip,pages_sent,pages_skipped,resends,seconds,result," \
             "detail\r\n"
    kept = (header + "2019-01-02T03:04:05.000+00:00,x,board 1\r\n").encode("utf-8")
    for path in (record, old):
        with open(path, "wb") as f:
            f.write(kept)
    with open(os.path.join(start, "hexlist.txt"), "wb") as f:
        f.write(f"This month=downloads-{month}.csv\r\nAn old month=DOWNLOADS-2019-01.CSV\r\n"
                .encode())
    for model, name in (("This month", f"downloads-{month}.csv"),
                        ("An old month", "DOWNLOADS-2019-01.CSV")):
        code, out, err = loader.run("-C", start, "-p", os.path.join(work, "no-such-tty"),
                                    "--model", model)
        expect(code, 4, out, err, f"record names: {model}")
        if f"[Error] Image file name refused: {name}" not in out.splitlines():
            raise Fail(f"record names: {model}: no refusal\nstdout:\n{out}\nstderr:\n{err}")
    if read(old) != kept:
        raise Fail(f"record names: the old month's record changed: {read(old)!r}")
    got = read(record)
    if not got.startswith(kept) or len(record_rows(start)) != 4 or \
            not all(",failed," in row for row in got.decode("utf-8-sig").splitlines()[2:]):
        raise Fail(f"record names: this month's record is {got!r}")


def reachable_copy(exe, uid, gid):
    """A copy of the program that another user may run: the build tree often lies below a
    home such as /root (0700). Returns (directory, copy) or (None, why none works)."""
    why = []
    for base in (tempfile.gettempdir(), "/var/tmp", "/dev/shm"):
        try:
            place = tempfile.mkdtemp(prefix="zubload-exe-", dir=base)
            os.chmod(place, 0o755)
            copy = os.path.join(place, "zubload")
            shutil.copy2(exe, copy)
            os.chmod(copy, 0o755)
        except OSError as e:
            why.append(f"{base}: {e}")
            continue
        probe = subprocess.run(["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups",
                                copy, "--version"], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=30)
        if probe.returncode == 0:
            return place, copy
        # A folder mounted noexec refuses with "Permission denied"; another may do.
        why.append(f"{copy} as user {uid}: exit {probe.returncode}: "
                   f"{probe.stderr.decode(errors='replace').strip()}")
        shutil.rmtree(place, ignore_errors=True)
    return None, "; ".join(why)


def case_shared_station(args, work, loader, images):
    """Two operators (two users of one group, umask 002) share a group-writable start
    directory: both rows reach the record. Needs root to act as the two users."""
    if os.geteuid() != 0:
        print("SKIP shared_station: not root, cannot run as two users")
        return
    gid = 64242
    users = (64201, 64202)
    place, exe = reachable_copy(loader.exe, users[0], gid)
    if place is None:
        print(f"SKIP shared_station: no copy of zubload the other users can run ({exe})")
        return
    station = tempfile.mkdtemp(prefix="zubload-station-", dir=os.path.dirname(place))
    try:
        os.chown(station, 0, gid)
        os.chmod(station, 0o2775)
        firmware = os.path.join(station, "local.hex")
        shutil.copyfile(images["local"], firmware)
        os.chmod(firmware, 0o644)
        runs = []
        for uid in users:
            p = subprocess.run(
                ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "sh", "-c",
                 'umask 002; exec "$0" "$@"', exe, "-C", station, "-p",
                 os.path.join(station, "no-such-tty"), firmware],
                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            err = p.stderr.decode(errors="replace")
            runs.append(f"user {uid}: exit {p.returncode}\nstderr:\n{err}")
            # The port does not exist: exit 3 with its row, and no warning about the record.
            if p.returncode != 3 or "Production record not written" in err:
                raise Fail(f"shared station: {runs[-1]}")
        rows = record_rows(station)
        if len(rows) != 2:
            raise Fail(f"shared station: {len(rows)} rows in the record: {rows}\n" +
                       "\n".join(runs))
        record = [n for n in os.listdir(station) if n.startswith("downloads-")][0]
        mode = os.stat(os.path.join(station, record)).st_mode & 0o777
        if mode != 0o664:
            raise Fail(f"shared station: the record has mode {mode:o}, not 664")
    finally:
        shutil.rmtree(station, ignore_errors=True)
        shutil.rmtree(place, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--zubload", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--host", required=True, help="the update host zubload was built with")
    ap.add_argument("--images", required=True, help="demo/make-images.py")
    ap.add_argument("--objcopy", default="objcopy")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="zubload-cli-") as work:
        served = os.path.join(work, "images")
        subprocess.run([sys.executable, args.images, served], check=True,
                       stdout=subprocess.DEVNULL)
        images = {"local": os.path.join(served, "demo-local.hex"),
                  "blink": os.path.join(served, "demo-blink.hex"),
                  "logger": os.path.join(served, "demo-logger.lod"),
                  "list": os.path.join(served, "hexlist.txt")}
        loader = Loader(args, work)
        failed = 0
        for case in (case_download, case_settings_json, case_failures, case_interrupt,
                     case_timeout, case_escapes, case_repeat, case_repeat_port, case_usage,
                     case_list_ports, case_model, case_helptext, case_fetchstop,
                     case_record_names, case_shared_station):
            try:
                case(args, work, loader, images)
                print(f"PASS {case.__name__[5:]}")
            except (Fail, subprocess.TimeoutExpired, KeyError, IndexError) as e:
                failed += 1
                print(f"FAIL {case.__name__[5:]}: {e}")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
