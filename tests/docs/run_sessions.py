#!/usr/bin/env python3
"""Runs the console sessions of the documentation and compares their output.

usage: run_sessions.py --bin DIR FILE_OR_DIR...   (a directory stands for its *.md files)

How a session is written in Markdown:

- A fenced block whose info string is ``console`` is a session. Each one starts in a fresh,
  empty temporary directory, in one bash process, with DIR first on PATH. A block whose
  info string is ``console continued`` carries on the session of the block before it in the
  same file (same directory, same shell: variables, descriptors and background jobs), so
  that prose can stand between its steps.
- A line starting with ``$ `` is a command. It continues on the next line when it ends with
  a backslash, and on every following line that starts with ``> `` (as a terminal shows a
  here-document), before any of its output.
- Every other line, up to the next command, is that command's output: standard output and
  standard error together, as they appear on a terminal (the commands run on a
  pseudo-terminal). Output is compared line by line.
- Two placeholders stand for what legitimately varies: ``<dir>`` for the session's
  directory (absolute), and ``<time>`` for a wall-clock UTC time such as
  2026-12-05T18:42:45.240542Z. Nothing else is skipped.
- A process started in the background must send its output to files, so that what it
  prints never lands at a random place among the other commands' output. Whatever is still
  running when the session's shell ends is killed.
- Other fenced blocks (``sh``, ``json``, or none) are shown, never run: use ``sh`` for
  commands that need root, a network, systemd or installed packages.

Exits 1 with a diff for every session whose output differs, 0 when all match.
"""

import argparse
import difflib
import os
import pathlib
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import uuid

SESSION_SECONDS = 60
# No session may write where an installed filter looks.
DEFAULT_DIRECTORIES = ["/var/lib/tolvane", "/Library/Application Support/Tolvane"]
TIME_PATTERN = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(?:\.\d+)?Z"


class Command:
    def __init__(self, path, line):
        self.path = path
        self.line = line  # 1-based line of its "$ " in the file
        self.text = []  # the command's lines, as bash is to read them
        self.expected = []
        self.continues = True  # the next line is part of the command (after a backslash)

    def add_text(self, text):
        self.text.append(text)
        self.continues = text.endswith("\\")


class Session:
    def __init__(self, path, line):
        self.path = path
        self.line = line
        self.commands = []

    def name(self):
        return f"{self.path}:{self.line}"


def parse(path):
    """The sessions of one Markdown file, in order."""
    sessions = []
    lines = path.read_text(encoding="utf-8").splitlines()
    fence = None  # info words of the open fence, if one is open
    command = None
    for number, line in enumerate(lines, start=1):
        if line.startswith("```"):
            if fence is None:
                fence = line[3:].split()
                if fence[:1] == ["console"]:
                    if fence[1:] == ["continued"]:
                        if not sessions:
                            sys.exit(f"{path}:{number}: 'console continued' with no session before it")
                    elif fence[1:]:
                        sys.exit(f"{path}:{number}: unknown session marker {' '.join(fence[1:])!r}")
                    else:
                        sessions.append(Session(path, number))
                command = None
            else:
                fence = None
            continue
        if fence is None or fence[:1] != ["console"]:
            continue
        if line.startswith("$ ") or line == "$":
            command = Command(path, number)
            command.add_text(line[2:])
            sessions[-1].commands.append(command)
        elif command is None:
            sys.exit(f"{path}:{number}: a session's first line must be a command ('$ ...')")
        elif command.continues and not command.expected:
            command.add_text(line)
        elif (line.startswith("> ") or line == ">") and not command.expected:
            command.add_text(line[2:])
        else:
            command.continues = False
            command.expected.append(line)
    return sessions


def script_for(session, token):
    """One bash script that runs every command and prints a marker line after each."""
    out = [
        # The marker keeps the command's status for the next one ("echo $?").
        f"__docs_mark() {{ local s=$?; printf '%s %s %s\\n' {token} \"$1\" \"$s\"; return $s; }}",
    ]
    for index, command in enumerate(session.commands):
        out.extend(command.text)
        out.append(f"__docs_mark {index}")
    return "\n".join(out) + "\n"


def run_on_terminal(script_path, cwd, env):
    """Runs bash on a pseudo-terminal; returns its output and whether it timed out."""
    master, slave = os.openpty()
    attributes = termios.tcgetattr(slave)
    attributes[1] &= ~termios.ONLCR  # "\n" stays "\n"
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    process = subprocess.Popen(
        ["bash", "--noprofile", "--norc", str(script_path)],
        stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, cwd=cwd, env=env,
        start_new_session=True)
    os.close(slave)
    chunks = []
    deadline = time.monotonic() + SESSION_SECONDS
    timed_out = False
    shell_ended_at = None
    while True:
        now = time.monotonic()
        if process.poll() is not None and shell_ended_at is None:
            shell_ended_at = now
            # Background jobs left running end with the session.
            kill_group(process.pid)
        if now > deadline:
            timed_out = True
            kill_group(process.pid)
            break
        if shell_ended_at is not None and now - shell_ended_at > 5:
            break
        ready, _, _ = select.select([master], [], [], 0.2)
        if not ready:
            continue
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO: every holder of the terminal has gone
            break
        if not data:
            break
        chunks.append(data)
    os.close(master)
    process.wait()
    return b"".join(chunks).decode("utf-8", errors="replace"), timed_out


def kill_group(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def matches(expected, actual):
    pattern = "".join(
        TIME_PATTERN if part == "<time>" else re.escape(part)
        for part in re.split(r"(<time>)", expected))
    return re.fullmatch(pattern, actual) is not None


def compare(command, actual, status):
    """None when the output matches, else a readable report."""
    if len(actual) == len(command.expected) and all(
            matches(e, a) for e, a in zip(command.expected, actual)):
        return None
    # Lines that match their placeholder pattern are shown as written, so the diff holds only
    # what really differs.
    shown = [next((e for e in command.expected if matches(e, a)), a) for a in actual]
    diff = difflib.unified_diff(command.expected, shown, "documented", "actual", lineterm="", n=2)
    text = "\n".join("    " + t for t in command.text)
    return (f"{command.path}:{command.line}: the output differs (exit status {status})\n"
            f"{text}\n" + "\n".join(diff))


def snapshot(directory):
    """What a session could change in a default directory: its files and their times."""
    found = {}
    for parent, _, names in os.walk(directory):
        for name in [""] + names:
            path = os.path.join(parent, name)
            try:
                found[path] = os.stat(path).st_mtime_ns
            except OSError:
                pass
    return found


def run_session(session, bin_dir):
    token = "@@docs-" + uuid.uuid4().hex
    root = pathlib.Path(tempfile.mkdtemp(prefix="tolvane-docs-"))
    try:
        work = root / "session"
        work.mkdir()
        script = root / "commands.sh"
        script.write_text(script_for(session, token), encoding="utf-8")
        env = dict(os.environ)
        env.update(PATH=f"{bin_dir}{os.pathsep}{env.get('PATH', '/usr/bin:/bin')}",
                   HOME=str(work), LC_ALL="C.UTF-8", TZ="UTC", TERM="dumb")
        before = [snapshot(d) for d in DEFAULT_DIRECTORIES]
        output, timed_out = run_on_terminal(script, work, env)
        touched = [d for d, b in zip(DEFAULT_DIRECTORIES, before) if snapshot(d) != b]
        for directory in {str(work), os.path.realpath(work)}:
            output = output.replace(directory, "<dir>")
        failures = []
        pieces = re.split(rf"{token} (\d+) (\d+)\n", output)
        # pieces: output, index, status, output, index, status, ..., rest
        done = 0
        for i in range(0, len(pieces) - 1, 3):
            index, status = int(pieces[i + 1]), int(pieces[i + 2])
            report = compare(session.commands[index], pieces[i].splitlines(), status)
            if report:
                failures.append(report)
            done = index + 1
        if done < len(session.commands):
            command = session.commands[done]
            why = f"timed out after {SESSION_SECONDS} s" if timed_out else "the shell ended"
            failures.append(f"{command.path}:{command.line}: {why} in this command; output so far:\n"
                            + pieces[-1])
        failures.extend(f"{session.name()}: the session changed the default directory {d}; "
                        "pass --directory (and --state) inside the session's directory"
                        for d in touched)
        return failures
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True, help="the directory of the built programs")
    parser.add_argument("paths", nargs="+", type=pathlib.Path)
    arguments = parser.parse_args()
    files = []
    for path in arguments.paths:
        files.extend(sorted(path.glob("*.md")) if path.is_dir() else [path])
    bin_dir = os.path.abspath(arguments.bin)
    # Else the sessions would quietly run whatever else the path holds.
    for program in ("tolvane", "tolvane-filter"):
        if not os.access(os.path.join(bin_dir, program), os.X_OK):
            sys.exit(f"run_sessions: no {program} in {bin_dir}: build it first")
    failed = 0
    total = 0
    for path in files:
        for session in parse(path):
            total += 1
            failures = run_session(session, bin_dir)
            verdict = "ok" if not failures else "FAILED"
            print(f"{verdict}: session at {session.name()} ({len(session.commands)} commands)")
            for failure in failures:
                print(failure, end="\n\n")
            failed += bool(failures)
    print(f"{total - failed} of {total} sessions match")
    return 1 if failed or not total else 0


if __name__ == "__main__":
    sys.exit(main())
