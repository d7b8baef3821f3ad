# An X server of the test's own, and what an operator does on it: clicks, keys, closing a
# window as a window manager would, and screenshots.
import ctypes
import os
import subprocess

from .run import WAIT, check, read_text, spawn, wait_for


def xvfb(s):
    # Xvfb on a display number it picks itself, set as s.env["DISPLAY"] and returned.
    rd, wr = os.pipe()
    spawn(s, ["Xvfb", "-displayfd", wr, "-screen", "0", "1024x768x24", "-nolisten", "tcp",
              "-noreset"], out=s.folder / "xvfb.log", pass_fds=[wr])
    os.close(wr)
    with os.fdopen(rd) as r:  # a line once it is ready; nothing if it ends
        number = r.readline().strip()
    check(number, "Xvfb ended: " + read_text(s.folder / "xvfb.log"))
    s.env["DISPLAY"] = ":" + number
    return s.env["DISPLAY"]


def xdo(env, *args):
    # xdotool's words of output; none when it fails.
    done = subprocess.run(["xdotool", *map(str, args)], env=env, capture_output=True, text=True,
                          timeout=WAIT)
    return done.stdout.split() if done.returncode == 0 else []


def click(env, window, at):
    wait_for("the pointer and keyboard to be free", lambda: input_released(env))
    # One command, so the click follows the move (--sync would wait 15 s when the pointer is
    # already there).
    xdo(env, "mousemove", "--window", window, *at, "click", "1")


def find_window(env, title):
    return wait_for(f'the window "{title}"', lambda: (
        xdo(env, "search", "--onlyvisible", "--name", f"^{title}$") or [None])[0])


def geometry(env, window):
    # X, Y, WIDTH and HEIGHT of a window, as numbers.
    words = xdo(env, "getwindowgeometry", "--shell", window)
    return {k: int(v) for k, v in (w.split("=", 1) for w in words) if k != "SCREEN"}


def windows_of(env, pid):
    return xdo(env, "search", "--all", "--onlyvisible", "--pid", pid)


def screenshot(env, path, window="root", *options):
    subprocess.run(["import", "-window", str(window), *options, str(path)], env=env,
                   timeout=WAIT, check=True)


class _ClientMessage(ctypes.Structure):
    # An XClientMessageEvent, padded to the size of every XEvent.
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


def _xlib(env):
    # libX11, its calls made here typed, and a connection to env's display.
    x11 = ctypes.CDLL("libX11.so.6")
    ptr, xid, i, text = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_char_p
    out = ctypes.POINTER
    for name, result, args in (
            ("XOpenDisplay", ptr, [text]), ("XDefaultRootWindow", xid, [ptr]),
            ("XInternAtom", xid, [ptr, text, i]),
            ("XSendEvent", i, [ptr, xid, i, ctypes.c_long, ptr]),
            ("XGrabPointer", i, [ptr, xid, i, ctypes.c_uint, i, i, xid, xid, xid]),
            ("XGrabKeyboard", i, [ptr, xid, i, i, i, xid]), ("XCloseDisplay", i, [ptr]),
            ("XGetWindowProperty", i, [ptr, xid, xid, ctypes.c_long, ctypes.c_long, i, xid,
                                       out(xid), out(i), out(xid), out(xid), out(ptr)]),
            ("XFree", i, [ptr])):
        function = getattr(x11, name)
        function.restype, function.argtypes = result, args
    display = x11.XOpenDisplay(env["DISPLAY"].encode())
    check(display, "cannot open the display")
    return x11, display


def close_window(env, window):
    # Sends what a window manager sends when the operator clicks the close button; xdotool
    # can only destroy a window or kill its client.
    x11, display = _xlib(env)
    event = _ClientMessage(type=33, window=int(window), format=32)  # 33: ClientMessage
    event.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.l[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, int(window), 0, 0, ctypes.byref(event))
    x11.XCloseDisplay(display)


def icons(env, window):
    # The icons a window gives the window manager (_NET_WM_ICON): {size: the ARGB of each
    # pixel, row by row from the top}.
    x11, display = _xlib(env)
    kind, form, count, left = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong()
    data = ctypes.c_void_p()
    x11.XGetWindowProperty(display, int(window), x11.XInternAtom(display, b"_NET_WM_ICON", 0), 0,
                           1 << 20, 0, 0, kind, form, count, left, data)  # 0: any type
    values = []
    if data:  # format 32 comes as C longs, sign-extended
        longs = ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))
        values = [longs[i] & 0xFFFFFFFF for i in range(count.value)]
        x11.XFree(data)
    x11.XCloseDisplay(display)
    found, at = {}, 0
    while at + 2 <= len(values):
        width, height = values[at:at + 2]
        found[width] = values[at + 2:at + 2 + width * height]
        at += 2 + width * height
    return found


def input_released(env):
    # True when no client holds the pointer or the keyboard. An open drop-down list holds
    # both, and may let go only after its window has gone: a click before that goes to it.
    x11, display = _xlib(env)
    root = x11.XDefaultRootWindow(display)
    pointer = x11.XGrabPointer(display, root, 0, 0, 1, 1, 0, 0, 0)  # 1: GrabModeAsync
    keyboard = x11.XGrabKeyboard(display, root, 0, 1, 1, 0)
    x11.XCloseDisplay(display)  # also drops what this took
    return pointer == 0 and keyboard == 0  # GrabSuccess
