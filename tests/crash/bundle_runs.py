"""Running the command line as a black box for the crash harnesses: the simulated market's
settings, process groups that can be signalled whole or in part, and a plain table printer."""
from __future__ import annotations

import os
import signal
import subprocess
import time
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))


def default_cli() -> str:
    env = os.environ.get("TARNWICK_CLI")
    if env:
        return env
    return os.path.normpath(os.path.join(HERE, "..", "..", "build", "tarnwick-bundle"))


def market_env(now: str, settings: dict[str, str]) -> dict[str, str]:
    """The environment of one run: the caller's, without any simulated-market setting it may
    carry, plus the given settings and clock, so that every run of a scenario sees one market."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARNWICK_")}
    env.update(settings)
    env["TARNWICK_NOW"] = now
    env.setdefault("LC_ALL", "C.UTF-8")
    return env


def default_signals() -> None:
    """Run in the child before exec: a harness started in the background of a shell inherits
    SIGINT ignored, and exec keeps ignored signals ignored, so the command line would never see
    the interruptions under test."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT):
        signal.signal(sig, signal.SIG_DFL)


@dataclass
class Finished:
    returncode: int | None      # None: still running at the timeout, then killed
    seconds: float
    stdout: str
    stderr: str


def run(cmd: list[str], env: dict[str, str], timeout: float, log_prefix: str | None = None) -> Finished:
    """Runs to the end in its own process group; at the timeout the whole group is killed."""
    start = time.monotonic()
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                         start_new_session=True, preexec_fn=default_signals)
    try:
        out, err = p.communicate(timeout=timeout)
        rc = p.returncode
    except subprocess.TimeoutExpired:
        kill_group(p.pid)
        out, err = p.communicate()
        rc = None
    seconds = time.monotonic() - start
    wait_group_gone(p.pid, 10)
    result = Finished(rc, seconds, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"))
    if log_prefix:
        save_output(log_prefix, result.stdout, result.stderr)
    return result


def save_output(prefix: str, out: str, err: str) -> None:
    with open(prefix + ".out", "w") as f:
        f.write(out)
    with open(prefix + ".err", "w") as f:
        f.write(err)


def group_members(pgid: int) -> list[int]:
    """Live (not zombie) processes of a process group, from /proc."""
    pids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        if int(fields[2]) == pgid and fields[0] not in ("Z", "X"):
            pids.append(int(name))
    return sorted(pids)


def kill_group(pgid: int) -> None:
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def wait_group_gone(pgid: int, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while group_members(pgid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def exit_name(rc: int | None) -> str:
    if rc is None:
        return "hang"
    if rc < 0:
        try:
            return signal.Signals(-rc).name
        except ValueError:
            return f"signal {-rc}"
    return str(rc)


def table(rows: list[list[object]], header: list[str]) -> str:
    cells = [[str(c) for c in header]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    lines = []
    for n, r in enumerate(cells):
        lines.append("  ".join(c.rjust(w) if i else c.ljust(w) for i, (c, w) in enumerate(zip(r, widths))))
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)
