#!/usr/bin/env python3
"""Prints the stand-in event log readably, following it as it grows.

Usage: show-eventlog.py EVENTLOG.jsonl [--follow --until TEXT [--count N] [--timeout SECONDS]]
  --until TEXT --count N  stop after the N-th entry with that text (the first by default)
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
    until = sys.argv[sys.argv.index("--until") + 1] if "--until" in sys.argv else None
    count = int(sys.argv[sys.argv.index("--count") + 1]) if "--count" in sys.argv else 1
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
            if until is not None and entry["text"] == until:
                count -= 1
                if count == 0:
                    return 0
        if not follow:
            return 0
        if deadline is not None and time.monotonic() > deadline:
            print(f"(gave up waiting for {until!r})", flush=True)
            return 1
        time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(main())
