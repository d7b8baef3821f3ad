# The programs run from the command line, as a production script runs them: their output, exit
# code, summary lines and report, and the console log a clean run prints.
import json
import re
from pathlib import Path

from . import facts
from .run import check, read_text

# Exit codes, from the product's own header.
CODES = {name: int(value) for name, value in
         re.findall(r"^\s*EXIT_(\w+) = (\d+),", (facts.ROOT / "cli/cli.h").read_text(), re.M)}
MARK = "\x1e"


def crc16(data):
    # CRC-16/MODBUS, as the device reports it of what it holds.
    c = 0xFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
    return c


def console(port, image, parity_line=True):
    # What the window's console shows for a clean run of image on port: the image's size at
    # start-up, then the run. On a pseudo-terminal the link says that it runs without parity.
    image_length, crc = len(image), crc16(image)
    lines = ["", f"Flash Image Size {image_length} bytes",
             f" . Opening serial port {port} at {facts.BAUD} baud"]
    if parity_line:
        lines.append(f"Port {port}: even parity not set, the line runs 8N1")
    for address, length in facts.blocks(image_length):
        offset = address - facts.BASE
        lines += [f"programming address {address:#x}, block size {length:#x}, from image offset "
                  + (f"{offset:#x}" if offset else "0"),
                  f"frame length {length + 11:4d} bytes sent", "frame length   11 bytes received & OK"]
    return lines + ["Verifying", "frame length   13 bytes sent", "frame length   15 bytes received & OK",
                    f"Remote CRC {crc:#x}", f"Local  CRC {crc:#x}", "CRCs match", "Resetting target",
                    "frame length    5 bytes sent", "frame length    5 bytes received & OK"]


def summary(output, port, unit=None):
    # The summary line of port, and its unit: outcome, bytes, seconds, resends, the device's
    # CRC, and why when the unit was not programmed.
    label = re.escape(port) + (rf" \[{re.escape(unit)}\]" if unit else "")
    found = re.findall(rf"^{label}: ([a-z ]+), (\d+) bytes in ([\d.]+) s, (\d+) resends, "
                       rf"device CRC (0x[0-9a-f]{{4}}|none)(?: \((.*)\))?$", output, re.M)
    check(len(found) == 1, f"summary of {port}: {found} in\n{output[-1500:]}")
    outcome, size, seconds, resends, crc, cause = found[0]
    return {"outcome": outcome, "bytes": int(size), "seconds": float(seconds),
            "resends": int(resends), "crc": crc, "cause": cause}


def records(path):
    # The report's lines, each a JSON object.
    lines = read_text(path).splitlines()
    return [json.loads(line) for line in lines]


def plain(output):
    # Nothing but printable text and line ends: what a pipe or a file may hold.
    bad = sorted({c for c in output if ord(c) < 0x20 and c not in "\n\r\t"})
    check(not bad, f"control characters in the output: {bad}")


def log_lines(folder):
    # The console log the program keeps in folder, its state (Linux) or local application data
    # (Windows) folder, line by line.
    return read_text(Path(folder) / "vek-update/console.log").splitlines()
