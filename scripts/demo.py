#!/usr/bin/env python3
# The headless half of scripts/demo.sh: the tool under an X server of its own, the simulated
# target published in a private ports folder the tool alone looks at, a run clicked through
# as an operator would, the console log printed, the target's memory compared with the image
# and a screenshot of the finished window. Exit code 0 when the target holds the image.
#   PYTHONPATH=tests scripts/demo.py TOOL SIM IMAGE OUT
import sys
from pathlib import Path

from harness import gtk, run, target


def demo(s, tool, sim, image):
    t = target.start(s, sim, "vek-sim", *target.PACE)
    port = run.read_text(t.out).splitlines()[0]
    print(f"simulated target: {port}, published as {t.link}")
    w = gtk.program(s, tool, t)
    print("Program pressed; waiting for the end of the run")
    end = gtk.wait_end(w)
    # Every log line of the run is out before its last status text.
    print("---- the tool's console log ----")
    print(gtk.console(w), end="")
    print("--------------------------------")
    run.check(gtk.opened_ports(w) == [str(t.link)], "the tool opened another port")
    run.check(end == "Programming Completed", f"the run ended with {end}")
    shot = s.folder / "demo-finished.png"
    gtk.screenshot(w, shot)
    print(f"status: {end}")
    print(f"screenshot of the finished window: {shot}")
    target.stop(t)
    memory = target.memory(t)
    run.check(memory == image.read_bytes(),
              f"the target's memory ({len(memory)} bytes) differs from the image {image}")
    print(f"the target's memory equals the image {image} ({len(memory)} bytes)")


def main():
    tool, sim, image, out = sys.argv[1:5]
    s = gtk.session(out)
    try:
        demo(s, tool, sim, Path(image))
    except run.Failed as e:
        print(f"demo: {e}\ndemo: logs in {s.folder}", file=sys.stderr)
        return 1
    finally:
        run.finish(s)
    return 0


if __name__ == "__main__":
    run.help_if_asked(__file__)
    sys.exit(main())
