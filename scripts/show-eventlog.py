#!/usr/bin/env python3
"""Prints the stand-in event log readably, following it as it grows.

Usage: show-eventlog.py EVENTLOG.jsonl [--follow [--until TEXT]... [--until-idle ARRIVALS]
                                                 [--timeout SECONDS]]

With several --until texts it ends at the last one once the others have come, in that order.
With --until-idle it ends once the service has heard ARRIVALS device arrivals and every event
it queued has had its pass.
"""
import json
import sys
import time

TYPES = {0: "success", 1: "error", 2: "warning", 4: "information"}
# The worker's last message of a pass, whatever its outcome.
PASS_ENDS = ("TarnUpgradeProcess.initDfuDevList processing event.... done",
             "TarnUpgradeProcess.initDfuDevList failed!", "TarnUpgradeProcess.doUpgrade failed!")
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
    idle_at = int(sys.argv[sys.argv.index("--until-idle") + 1]) \
        if "--until-idle" in sys.argv else None
    arrivals = queued = ended = 0
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
            text = entry["text"]
            if untils and text == untils[0]:
                untils.pop(0)
                if not untils:
                    return 0
            arrivals += text == "dwEventType: 32768"
            queued += text == "arrival device is Vantor Tarn."
            if text in PASS_ENDS:
                ended += 1
                if idle_at is not None and arrivals >= idle_at and queued == ended:
                    return 0
        if not follow:
            return 0
        if deadline is not None and time.monotonic() > deadline:
            print(f"(gave up waiting for {untils[0] if untils else None!r})", flush=True)
            return 1
        time.sleep(0.05)


if __name__ == "__main__":
    sys.exit(main())
