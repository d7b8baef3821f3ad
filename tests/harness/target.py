# The simulated target, vek-target-sim, as a process: started with its options, published
# in the ports folder (or linked where a test says), stopped for its memory and counts.
import signal
from pathlib import Path
from types import SimpleNamespace

from .run import WAIT, check, read_text, spawn, wait_for

# A line at 115200 baud 8E1: requests and replies take as long as there, where a
# pseudo-terminal alone would deliver them at once.
PACE = ("--pace",)


def start(s, sim, name, *options, link=None):
    # A target named name, its files in s.folder: name.out (port line and summary), name.log
    # (one line a frame), name.mem (memory, at exit). Published as name in the ports folder of
    # s.env, or linked at link.
    t = SimpleNamespace(name=name, out=s.folder / f"{name}.out", log=s.folder / f"{name}.log",
                        memory=s.folder / f"{name}.mem")
    where = ["--link", link] if link else ["--publish", name]
    t.proc = spawn(s, [sim, *where, "--quiet", "--log", t.log, "--memory-out", t.memory,
                       *options], out=t.out)

    def published():
        check(t.proc.poll() is None, f"simulator {name} ended: {read_text(t.out)}")
        return next((line.split(": ", 1)[1] for line in read_text(t.out).splitlines()
                     if line.startswith("link: ")), None)
    t.link = Path(wait_for(f"simulator {name}", published))
    return t


def stop(t):
    # Ends the target, which writes its memory and a summary on the way out: the counts.
    if t.proc.poll() is None:
        t.proc.send_signal(signal.SIGTERM)
    t.proc.wait(timeout=WAIT)
    return summary(t)


def summary(t):
    words = ([s for s in read_text(t.out).splitlines() if s.startswith("summary:")]
             or ["summary:"])[-1].split()[1:]
    return {k: int(v, 0) for k, v in zip(words[0::2], words[1::2])}


def frames(t):
    # Each frame heard: "12.345 ms #3 write 0x081200 512 answered bytes=523 [+tags]".
    out = []
    for line in read_text(t.log).splitlines():
        f = line.split()
        out.append(SimpleNamespace(ms=float(f[0]), number=int(f[2][1:]), kind=f[3],
                                   address=int(f[4], 16), length=int(f[5]), action=f[6],
                                   size=int(f[7].split("=")[1]), tags=f[8:]))
    return out


def requests(t):
    # The frames that were good requests to the target.
    return [f for f in frames(t) if f.number > 0]


def memory(t):
    return Path(t.memory).read_bytes()


def repeats(a, b):
    return (a.kind, a.address, a.length) == (b.kind, b.address, b.length)


def resends(t):
    # Requests heard again right after themselves: sent again for want of a good reply.
    r = requests(t)
    return sum(repeats(a, b) for a, b in zip(r, r[1:]))


def crowded(t, period_ms):
    # Requests that came less than period_ms after the one before, as "#3-#4 98.1 ms", but
    # for those after a resend: once its reply has come, the next goes out in the same step.
    # A request logged late (the simulator woke late) comes as much later after the one
    # before it as it comes sooner before the next: the two gaps still add up to two periods.
    r = requests(t)
    found = []
    for i in range(1, len(r)):
        gap, before = r[i].ms - r[i - 1].ms, r[i - 1].ms - r[i - 2].ms if i > 1 else 0
        resent = i > 1 and repeats(r[i - 2], r[i - 1])
        if gap < period_ms and not resent and before + gap < 2 * period_ms:
            found.append(f"#{r[i - 1].number}-#{r[i].number} {gap:.1f} ms")
    return found
