#!/usr/bin/env python3
"""Prints the stand-in event log readably, following it as it grows.

Usage: show-eventlog.py EVENTLOG.jsonl [--follow [--until TEXT]... [--timeout SECONDS]]

With several --until texts it ends at the last one once the others have come, in that order.
"""
import json
import sys
import time

TYPES = {0: "success", 1: "error", 2: "warning", 4: "information"}
SOURCES = {"VantorTarnWindowsUpdateService": "service", "TarnUpgradeProcess": "engine"}


def show(entry):
    text = entry["text"].replace("\r", "\\r").replace("\n", "\\n")
    if len(text) > 150:
        text = text[:147] + "..."
    source = SOURCES.get(entry["source"], entry["source"])
    print(f"{source:7} {entry['id']:5}  {TYPES.get(entry['type'], entry['type']):11}  {text}",
          flush=True)


def main():
    path = sys.argv[1]
    follow = "--follow" in sys.argv
    untils = [sys.argv[i + 1] for i, a in enumerate(sys.argv[:-1]) if a == "--until"]
    deadline = time.monotonic() + float(sys.argv[sys.argv.index("--timeout") + 1]) \
        if "--timeout" in sys.argv else None
    offset = 0
    pending = b""
    while True:
        try:
            with open(path, "rb") as log:
                log.seek(offset)
                data = log.read()
        except FileNotFoundError:
            data = b""
        offset += len(data)
        pending += data
        *lines, pending = pending.split(b"\n")
        for line in lines:
            entry = json.loads(line.decode("utf-8"))
            show(entry)
            if untils and entry["text"] == untils[0]:
                untils.pop(0)
                if not untils:
                    return 0
        if not follow:
            return 0
        if deadline is not None and time.monotonic() > deadline:
            print(f"(gave up waiting for {untils[0] if untils else None!r})", flush=True)
            return 1
        time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(main())
