# The product's constants, read from its own headers, so that no test types them again.
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _read(header):
    # NAME -> value text, for each `#define NAME VALUE`, `NAME = VALUE,` and
    # `constexpr TYPE NAME = VALUE;` of header.
    text = re.sub(r"//.*", "", (ROOT / header).read_text())
    found = dict(re.findall(r"^#define (\w+) (.+?)\s*$", text, re.M))
    found.update(re.findall(r"\b(\w+) = ([^,;]+)[,;]", text))
    return found


_DIALOG = _read("shell/dialog.h")
_DEVICE = _read("modbus/device.h")
_WINDOW = _read("run/window.h")

TITLE = _DIALOG["VEK_TITLE"].strip('"')
ID_PORTS, ID_PROGRAM, ID_STATUS = (int(_DIALOG[k]) for k in ("ID_PORTS", "ID_PROGRAM", "ID_STATUS"))
BASE = int(_DEVICE["IMAGE_BASE_ADDRESS"], 0)
BAUD = int(_DEVICE["LINE_BAUD"], 0)
BLOCK = int(_DEVICE["MODBUS_PROG_BLOCKSIZE_MAX"], 0)
PERIOD_MS = int(_WINDOW["WINDOWS_TIMER_PERIOD"], 0)
READ_GAP_MS = int(_DEVICE["SERIAL_READ_TIMEOUT"], 0)
RESPONSE_MS = int(_DEVICE["MODBUS_RESPONSE_TIMEOUT"], 0)


def rect(name):
    # x, y, width, height of a control (PORTS, PROGRAM, STATUS) or the DIALOG, in dialog units.
    return tuple(int(v) for v in _DIALOG[f"{name}_AT"].split(","))


def gtk_point(name):
    # Where to click a control of the Linux window, in its pixels. The closed port list is a
    # line high, as high as the Program button.
    x, y, width, height = rect(name)
    height = rect("PROGRAM")[3] if name == "PORTS" else height
    unit = int(_DIALOG["GTK_PIXELS_PER_UNIT"])
    return (x + width // 2) * unit, (y + height // 2) * unit


def run_statuses(image_length):
    # The status texts of a clean run, each once.
    blocks = [f"programming {BASE + off:#x}" for off in range(0, image_length, BLOCK)]
    return ["Contacting Device...", *blocks, "Verifying...", "Program Verified OK",
            "Resetting target...", "Programming Completed OK", "Programming Completed"]


def blocks(image_length):
    # (address, length) of each write request of a run.
    return [(BASE + off, min(BLOCK, image_length - off)) for off in range(0, image_length, BLOCK)]


def gtk_window_size():
    # The Linux window's width and height in pixels: the dialog's, whatever it shows.
    unit = int(_DIALOG["GTK_PIXELS_PER_UNIT"])
    return rect("DIALOG")[2] * unit, rect("DIALOG")[3] * unit
