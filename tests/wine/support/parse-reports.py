#!/usr/bin/env python3
"""The ReportEventW calls in Wine's standard error, checked and one a line.

Wine's ReportEventW is a stub that prints its arguments on the fixme channel and then its
insertion string on the eventlog channel, err for errors, warn for warnings and trace otherwise,
both from the calling thread (with WINEDEBUG=+pid each line starts with the process as well):

  [PID:]TID:fixme:advapi:ReportEventW (handle,type,category,id,sid,strings,size,array,data): stub
  [PID:]TID:err:eventlog:ReportEventW L"text"

Prints "PID TID TYPE ID TEXT" for each call, in the order of the text lines (PID and TID in
decimal, PID 0 without +pid; TEXT as Wine printed it, with its escapes). Every call must have
category 0, no user SID, exactly one string, no data, a string array, and its text on the
channel of its type, from the same thread, before that thread's next call. Anything else is
printed as a line that starts with BAD.

Usage: parse-reports.py [--open] FILE
  --open  the file is still being written: a call whose text is not there yet, and a last line
          without its line feed, are left for a later look instead of being BAD.
"""
import re
import sys

CALL = re.compile(r"^(?:([0-9a-f]+):)?([0-9a-f]+):fixme:advapi:ReportEventW \((.*)\): stub$")
# Wine cuts long texts and puts "..." after the closing quote.
TEXT = re.compile(r'^(?:([0-9a-f]+):)?([0-9a-f]+):(err|warn|trace):eventlog:ReportEventW L"(.*)"(\.\.\.)?$')
CHANNELS = {1: "err", 2: "warn"}  # every other type: trace
TYPES = {0, 1, 2, 4}


def number(text):
    """Wine prints these arguments in hexadecimal, with or without 0x."""
    return int(text, 16)


def check_call(args):
    """The problems of one call's arguments; an empty list when it is sound."""
    if len(args) != 9:
        return [f"{len(args)} arguments"]
    try:
        handle, kind, category, _, sid, count, size, strings, data = (number(a) for a in args)
    except ValueError:
        return ["arguments that are not numbers"]
    problems = []
    if handle == 0:
        problems.append("no handle")
    if kind not in TYPES:
        problems.append(f"type {kind}")
    if category != 0:
        problems.append(f"category {category}")
    if sid != 0:
        problems.append("a user SID")
    if count != 1:
        problems.append(f"{count} strings")
    if size != 0:
        problems.append(f"data size {size}")
    if strings == 0:
        problems.append("no string array")
    if data != 0:
        problems.append("data")
    return problems


def parse(lines, still_open):
    out = []
    pending = {}  # thread -> (type, id) of its call still waiting for its text
    for line in lines:
        line = line.rstrip("\r")
        call = CALL.match(line)
        text = TEXT.match(line)
        if call:
            thread = (int(call[1] or "0", 16), int(call[2], 16))
            if thread in pending:
                out.append(f"BAD call without its text: type {pending[thread][0]} id {pending[thread][1]}")
            args = call[3].split(",")
            problems = check_call(args)
            pending.pop(thread, None)
            if problems:
                out.append(f"BAD call with {', '.join(problems)}: {line}")
            try:
                # Its text is still its own, even when the call is BAD.
                pending[thread] = (number(args[1]), number(args[3]))
            except (IndexError, ValueError):
                pass
        elif text:
            thread = (int(text[1] or "0", 16), int(text[2], 16))
            if thread not in pending:
                out.append(f"BAD text without a call: {line}")
                continue
            kind, event_id = pending.pop(thread)
            channel = CHANNELS.get(kind, "trace")
            if text[3] != channel:
                out.append(f"BAD type {kind} on the {text[3]} channel, not {channel}: {line}")
            cut = text[5] or ""
            out.append(f"{thread[0]} {thread[1]} {kind} {event_id} {text[4]}{cut}")
        elif "ReportEventW" in line:
            out.append(f"BAD unexpected line: {line}")
    if not still_open:
        for (pid, tid), (kind, event_id) in pending.items():
            out.append(f"BAD call without its text: process {pid} thread {tid} type {kind} id {event_id}")
    return out


def main():
    args = sys.argv[1:]
    still_open = "--open" in args
    files = [a for a in args if a != "--open"]
    if len(files) != 1:
        sys.exit(__doc__)
    with open(files[0], "rb") as f:
        data = f.read().decode("utf-8", errors="replace")
    lines = data.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    elif still_open and lines:
        lines.pop()  # still being written
    for line in parse(lines, still_open):
        print(line)


if __name__ == "__main__":
    main()
