#!/usr/bin/env python3
"""The built command-line loader `zubload` run as a jig script runs it, against the board
simulator on a pseudo-terminal, with standard output and error in pipes:

download   a local HEX file named relative to the caller with -C for the start directory:
           exit 0, the log lines, the flash, nothing but the production record in the start
           directory, nothing on stderr
settings   no FILE: default.ini chooses file and auto reset, -b overrides its rate; --json read
           with a real JSON reader; default.ini left byte for byte and in its time stamp
failures   a board that refuses a page (exit 1, --quiet prints that line alone), a port that
           does not open (3, --quiet prints its line and the reason after it), a file that
           does not load (4)
interrupt  SIGINT mid-download: exit 130, the port closed at once, no end frame
repeat     --repeat 2 with two boards one after the other; auto reset without a terminal refused
usage      usage errors exit 2 and touch nothing (no firmware named and no default.ini too)
ports      --list-ports: one JSON object per device, Com1..Com8 first, and the same as text
model      --model NAME in an empty start directory: the list and the image fetched, in order
record     list rows that name a month's production record are refused; the record keeps its
           rows; two users of one group in a group-writable folder both get their rows
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

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


def record_rows(start):
    rows = []
    for name in sorted(os.listdir(start)):
        if re.fullmatch(r"downloads-\d{4}-\d\d\.csv", name):
            rows += read(os.path.join(start, name)).decode("utf-8-sig").splitlines()[1:]
    return rows


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
        if not progress or any(set(e) != {"event", "page", "pages"} for e in progress):
            raise Fail(f"settings: progress events {progress}")
        results = [e for e in events if e["event"] == "result"]
        image = read(board.flash)[:results[0]["image_bytes"]] if results else b""
        want = {"result": "ok", "detail": None, "source": "file", "image": images["local"],
                "image_bytes": 20 * 1024, "protocol": "NORMAL", "baud": 115200,
                "image_sha256": hashlib.sha256(image).hexdigest(), "pages_sent": 80,
                "resends": 0}
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
        code, out, err = loader.run("-q", "-p", board.link, images["blink"])
        expect(code, 1, out, err, "refused page")
        check_lines(out.splitlines(), [r"\[Error\] Fail Download Page\[2\]:Over Count"],
                    "refused page, quiet")
    finally:
        board.stop()
    # Quiet: the failure line and the reason line the engine adds after it.
    code, out, err = loader.run("-q", "-p", os.path.join(work, "no-such-tty"), images["blink"])
    expect(code, 3, out, err, "missing port")
    lines = out.splitlines()
    if len(lines) != 2 or lines[0] != "통신포트오류:" + os.path.join(work, "no-such-tty"):
        raise Fail(f"missing port, quiet: {out!r}")
    code, out, err = loader.run("-p", os.path.join(work, "no-such-tty"),
                                os.path.join(work, "no-such.hex"))
    expect(code, 4, out, err, "missing file")
    if "[ERROR] Cannot the Hex File!" not in err.splitlines():
        raise Fail(f"missing file: the message box's line is not on stderr: {err!r}")


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
        if not record_rows(start)[-1].endswith(",stopped,"):
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
        subprocess.run([sys.executable, args.images, run.served], check=True,
                       stdout=subprocess.DEVNULL)
        run.start_server()
        code, out, err = loader.run("--json", "--model", "A-Demo blinker 2 KiB", "-p",
                                    board.link, cwd=run.start)
        expect(code, 0, out, err, "model")
        result = json_events(out, "model")[-1]
        if (result["event"], result["model"], result["source"]) != \
                ("result", "A-Demo blinker 2 KiB", "model"):
            raise Fail(f"model: result {result}")
        # The list first, so that the model could be found in it; then the model's image.
        fetched = [r for r in run.requests() if r.startswith("GET /ydr/")]
        if fetched != ["GET /ydr/zubloader/hexlist.txt", "GET /ydr/zubloader/demo-blink.hex"]:
            raise Fail(f"model: requests {run.requests()}")
        served = read(os.path.join(run.served, "demo-blink.hex"))
        check_flash(board.flash, expected_flash(served, args.objcopy, work), "model")
    finally:
        board.stop()
        run.stop_all()


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


def case_shared_station(args, work, loader, images):
    """Two operators (two users of one group, umask 002) share a group-writable start
    directory: both rows reach the record. Needs root to act as the two users."""
    if os.geteuid() != 0:
        print("SKIP shared_station: not root, cannot run as two users")
        return
    gid = 64242
    station = tempfile.mkdtemp(prefix="zubload-station-")
    try:
        os.chown(station, 0, gid)
        os.chmod(station, 0o2775)
        firmware = os.path.join(station, "local.hex")
        shutil.copyfile(images["local"], firmware)
        os.chmod(firmware, 0o644)
        for uid in (64201, 64202):
            p = subprocess.run(
                ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--clear-groups", "sh", "-c",
                 'umask 002; exec "$0" "$@"', loader.exe, "-C", station, "-p",
                 os.path.join(station, "no-such-tty"), firmware],
                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
            err = p.stderr.decode(errors="replace")
            if p.returncode == 0 or "Production record not written" in err:
                raise Fail(f"shared station: user {uid}: exit {p.returncode}\nstderr:\n{err}")
        rows = record_rows(station)
        if len(rows) != 2:
            raise Fail(f"shared station: {len(rows)} rows in the record: {rows}")
        record = [n for n in os.listdir(station) if n.startswith("downloads-")][0]
        mode = os.stat(os.path.join(station, record)).st_mode & 0o777
        if mode != 0o664:
            raise Fail(f"shared station: the record has mode {mode:o}, not 664")
    finally:
        shutil.rmtree(station, ignore_errors=True)


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
                     case_repeat, case_usage, case_list_ports, case_model, case_record_names,
                     case_shared_station):
            try:
                case(args, work, loader, images)
                print(f"PASS {case.__name__[5:]}")
            except (Fail, subprocess.TimeoutExpired, KeyError) as e:
                failed += 1
                print(f"FAIL {case.__name__[5:]}: {e}")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
