"""Headless Chromium (Debian's) for the page's test and benchmark: one
profile of its own, no background traffic, its log on standard error, and a
time limit on every start. Standard library only."""
import os
import re
import shutil
import signal
import subprocess
from pathlib import Path

# What Chromium logs when a page misbehaves: a console message (a blocked
# load or script among them), a refused resource, a failed request.
CONSOLE_FAULTS = re.compile(r"CONSOLE|Refused to|net::ERR_")


class Failure(Exception):
    pass


def run(cmd, cwd, what, seconds):
    """Runs cmd to its end within seconds; (exit code, stdout, stderr) as
    text. The child gets a process group of its own, killed on time-out."""
    p = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = p.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        raise Failure(f"{what}: no end within {seconds} s: {' '.join(map(str, cmd))}")
    return (p.returncode, out.decode("utf-8", "replace").replace("\r\n", "\n"),
            err.decode("utf-8", "replace"))


def find_chromium():
    return shutil.which("chromium") or "/usr/bin/chromium"


class Chromium:
    """Opens pages; the profile folder is made anew."""

    def __init__(self, exe, profile, seconds=90):
        if not Path(exe).exists():
            raise Failure(f"no Chromium at {exe} (scripts/deps.sh installs it)")
        self.exe, self.profile, self.seconds = exe, Path(profile), seconds
        shutil.rmtree(self.profile, ignore_errors=True)
        self.profile.mkdir(parents=True)

    def command(self, page, *args):
        return [self.exe, "--headless", "--disable-gpu", "--no-sandbox",
                f"--user-data-dir={self.profile}", "--enable-logging=stderr", "--v=0",
                "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                *args, Path(page).resolve().as_uri()]

    def open(self, page, *args, folder):
        """(standard output, log); Failure when it does not end well."""
        code, out, err = run(self.command(page, *args), folder, "chromium", self.seconds)
        if code != 0:
            raise Failure(f"chromium {' '.join(args)} exited {code}:\n{err[-2000:]}")
        return out, err


def console_faults(log):
    return [l for l in log.splitlines() if CONSOLE_FAULTS.search(l)]
