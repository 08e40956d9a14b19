#!/usr/bin/env python3
"""What Windows Installer relies on in the built packages, and Wine's msiexec does not check:

- each file's File row carries the version and languages of its version resource (read here
  with windres, not with make-package's own reader), and a versioned file has no MsiFileHash row:
  Windows compares versioned files by version alone, and keeps an installed versioned file over
  an unversioned one;
- the service's own files carry the package's version;
- a component keeps its GUID, key path and directory from one package to the next: an upgrade
  installs first and removes the older product last, which leaves shared components alone;
- every deferred action of ours runs without impersonation, inside the script (between
  InstallInitialize and InstallFinalize: Windows refuses it elsewhere), and each one that
  changes the system has its rollback action sequenced before it, under the same condition, so
  that a failure inside it is undone too.

Usage: check-tables.py WORK-DIR PACKAGE... (the first package is held against each other one)
"""
import os
import re
import shutil
import subprocess
import sys

# The deferred actions that change the system, each with the rollback action that undoes it, and
# the ones that change nothing. A deferred action in neither list fails the check until it is
# placed in one.
ROLLBACK_OF = {
    "RegisterService": "RemoveServiceOnRollback",
    "UnregisterService": "UnregisterServiceRollback",
}
CHANGES_NOTHING = {"WaitForServiceExit"}

IN_SCRIPT, ROLLBACK, COMMIT, NO_IMPERSONATE = 0x400, 0x100, 0x200, 0x800

failures = []


def table(package, name):
    """The rows of a table, as dictionaries by column name."""
    text = subprocess.run(["msiinfo", "export", package, name], check=True,
                          capture_output=True, text=True).stdout
    lines = [line.rstrip("\r") for line in text.split("\n") if line.strip()]
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


def resource_version(path):
    """(version, languages) from a PE file's version resource; ("", "") when it has none."""
    with open(path, "rb") as file:
        if file.read(2) != b"MZ":
            return "", ""
    rc = subprocess.run(["x86_64-w64-mingw32-windres", "-J", "coff", "-O", "rc", "-i", path],
                        capture_output=True, text=True)
    if rc.returncode != 0 and "no resource section" not in rc.stderr:
        failures.append(f"{path}: windres: {rc.stderr.strip()}")
    version = re.search(r"^ *FILEVERSION +(\d+), *(\d+), *(\d+), *(\d+)", rc.stdout, re.M)
    if not version:
        return "", ""
    translation = re.search(r'VALUE "Translation"((?:, *0x[0-9a-fA-F]+, *\d+)+)', rc.stdout)
    languages = re.findall(r"0x([0-9a-fA-F]+), *\d+", translation.group(1)) if translation else []
    return ".".join(version.groups()), ",".join(str(int(lang, 16)) for lang in languages)


def long_name(file_name):
    return file_name.split("|")[-1]


def check_files(package, work):
    folder = os.path.join(work, os.path.basename(package))
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["msiextract", "-C", folder, package], check=True, capture_output=True)
    extracted = {name: os.path.join(root, name)
                 for root, _, names in os.walk(folder) for name in names}
    hashed = {row["File_"] for row in table(package, "MsiFileHash")}
    product = {row["Property"]: row["Value"] for row in table(package, "Property")}
    for row in table(package, "File"):
        name = long_name(row["FileName"])
        version, languages = resource_version(extracted[name])
        where = f"{os.path.basename(package)}: {name}"
        if (row["Version"], row["Language"]) != (version, languages):
            failures.append(f"{where}: the File row says version \"{row['Version']}\", language "
                            f"\"{row['Language']}\"; the file says \"{version}\", \"{languages}\"")
        if version and row["File"] in hashed:
            failures.append(f"{where}: a versioned file with a MsiFileHash row")
        if row["File"] in ("ServiceExe", "EventMessagesDll") and \
                row["Version"] != product["ProductVersion"] + ".0":
            failures.append(f"{where}: version \"{row['Version']}\" in a package of "
                            f"{product['ProductVersion']}")


def components(package):
    """Each component's GUID by (directory, key path's file name), and the other way round."""
    files = {row["File"]: long_name(row["FileName"]) for row in table(package, "File")}
    by_place = {(row["Directory_"], files.get(row["KeyPath"], row["KeyPath"])): row["ComponentId"]
                for row in table(package, "Component")}
    return by_place, {guid: place for place, guid in by_place.items()}


def check_components(first, other):
    places, guids = components(first)
    other_places, other_guids = components(other)
    pair = f"{os.path.basename(first)} and {os.path.basename(other)}"
    for place in places.keys() & other_places.keys():
        if places[place] != other_places[place]:
            failures.append(f"{pair}: {place[1]} in {place[0]} has two component GUIDs")
    for guid in guids.keys() & other_guids.keys():
        if guids[guid] != other_guids[guid]:
            failures.append(f"{pair}: component {guid} holds {guids[guid]}, "
                            f"then {other_guids[guid]}")


def check_actions(package):
    types = {row["Action"]: int(row["Type"]) for row in table(package, "CustomAction")}
    steps = {row["Action"]: row for row in table(package, "InstallExecuteSequence")}
    first = int(steps["InstallInitialize"]["Sequence"])
    last = int(steps["InstallFinalize"]["Sequence"])
    where = os.path.basename(package)
    for action, step in steps.items():
        kind = types.get(action, 0)
        if not kind & IN_SCRIPT:
            continue
        if not kind & NO_IMPERSONATE:
            failures.append(f"{where}: {action} runs impersonating the user")
        if not first < int(step["Sequence"]) < last:
            failures.append(f"{where}: {action} is outside InstallInitialize..InstallFinalize")
        if kind & (ROLLBACK | COMMIT) or action in CHANGES_NOTHING:
            continue
        rollback = steps.get(ROLLBACK_OF.get(action, ""))
        if rollback is None:
            failures.append(f"{where}: {action} has no rollback action")
        elif not (types[rollback["Action"]] & ROLLBACK
                  and int(rollback["Sequence"]) < int(step["Sequence"])
                  and rollback["Condition"] == step["Condition"]):
            failures.append(f"{where}: {rollback['Action']} is not a rollback action before "
                            f"{action} under its condition")


def main():
    work, packages = sys.argv[1], sys.argv[2:]
    for package in packages:
        check_files(package, work)
        check_actions(package)
    for other in packages[1:]:
        check_components(packages[0], other)
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"{len(packages)} packages: versions, components and actions checked")
    return 0


if __name__ == "__main__":
    sys.exit(main())
