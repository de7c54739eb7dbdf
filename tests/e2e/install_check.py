#!/usr/bin/env python3
"""`cmake --install` into a fresh prefix, then the installed launcher as a desktop menu starts it:
the program, its desktop entry and icon land in the usual places, and the launcher runs the
program in a per-user folder it creates, leaving nothing loose in the home folder."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="zub-install-")
    prefix = os.path.join(work, "prefix")
    home = os.path.join(work, "home")
    os.makedirs(home)
    problems = []
    try:
        subprocess.run(["cmake", "--install", args.build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        icons = [os.path.join(d, f) for d, _, fs in os.walk(os.path.join(prefix, "share/icons"))
                 for f in fs]
        for path in ("bin/zubloader", "bin/zubloader-launch", "share/applications/zubloader.desktop"):
            if not os.path.isfile(os.path.join(prefix, path)):
                problems.append(f"not installed: {path}")
        if not any(p.endswith("/apps/zubloader.png") and "/hicolor/" in p for p in icons):
            problems.append(f"no hicolor icon: {icons}")
        entry = open(os.path.join(prefix, "share/applications/zubloader.desktop")).read()
        if "Icon=zubloader\n" not in entry or "Exec=" not in entry:
            problems.append("desktop entry without Icon or Exec")
        if shutil.which("desktop-file-validate"):
            r = subprocess.run(["desktop-file-validate",
                                os.path.join(prefix, "share/applications/zubloader.desktop")],
                               capture_output=True, text=True)
            if r.returncode != 0 or r.stdout.strip():
                problems.append(f"desktop-file-validate: {r.stdout}{r.stderr}")

        # As a desktop menu starts it: in the home folder, with a bare environment.
        env = {"HOME": home, "PATH": "/usr/bin:/bin", "QT_QPA_PLATFORM": "offscreen",
               "XDG_RUNTIME_DIR": work}
        proc = subprocess.Popen([os.path.join(prefix, "bin/zubloader-launch")], cwd=home, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        folder = os.path.join(home, ".local/share/zubloader")
        cwd = exe = ""
        for _ in range(50):  # the launcher replaces itself with the program
            try:
                exe = os.readlink(f"/proc/{proc.pid}/exe")
                cwd = os.readlink(f"/proc/{proc.pid}/cwd")
            except OSError:
                pass
            if exe.endswith("/zubloader"):
                break
            time.sleep(0.02)
        proc.terminate()
        proc.wait(10)
        if not exe.endswith("/bin/zubloader") or cwd != folder:
            problems.append(f"launcher ran {exe!r} in {cwd!r}, not in {folder!r}")
        if os.listdir(home) != [".local"]:
            problems.append(f"files in the home folder: {os.listdir(home)}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("PASS: installed files, desktop entry, launcher folder")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
