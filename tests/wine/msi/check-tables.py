#!/usr/bin/env python3
"""What Windows Installer relies on in the built packages, and Wine's msiexec does not check:
each file's row carries its version resource's version and languages (read here with windres,
not with the package command's reader), with no hash for a versioned file, and the service's
files the package's version; a component keeps its GUID, key path and directory from one
package to the next (the older product is removed last); every deferred action of ours runs
without impersonation, inside the script, and one that changes the system has its rollback
action before it, under its condition; the folders the package makes have private names, which
a command line cannot set.

Usage: check-tables.py WORK-DIR PACKAGE... (the first package is held against each other one)
"""
import os
import re
import shutil
import subprocess
import sys

# The deferred actions that change the system, with the rollback action that undoes each, and
# the ones with nothing to undo (a wait; a request to the running service, which cannot be taken
# back); a deferred action in neither fails the check.
ROLLBACK_OF = {"RegisterService": "RemoveServiceOnRollback",
               "UnregisterService": "UnregisterServiceRollback"}
NOTHING_TO_UNDO = {"WaitForServiceExit", "UpgradeAttachedTarns"}
IN_SCRIPT, ROLLBACK, COMMIT, NO_IMPERSONATE = 0x400, 0x100, 0x200, 0x800

failures = []


def table(package, name):
    """The rows of a table, as dictionaries by column name."""
    lines = subprocess.run(["msiinfo", "export", package, name], check=True, capture_output=True,
                           text=True).stdout.replace("\r", "").splitlines()
    return [dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[3:] if line]


def resource_version(path):
    """(version, languages) of a PE file's version resource; ("", "") without one."""
    with open(path, "rb") as file:
        if file.read(2) != b"MZ":
            return "", ""
    rc = subprocess.run(["x86_64-w64-mingw32-windres", "-J", "coff", "-O", "rc", "-i", path],
                        capture_output=True, text=True)
    if rc.returncode != 0 and "no resource section" not in rc.stderr:
        failures.append(f"{path}: windres: {rc.stderr.strip()}")
    version = re.search(r"^ *FILEVERSION +(\d+), *(\d+), *(\d+), *(\d+)", rc.stdout, re.M)
    translation = re.search(r'VALUE "Translation",(.*)', rc.stdout)
    # Pairs of a language and a code page.
    values = re.findall(r"0x[0-9a-fA-F]+|\d+", translation.group(1)) if translation else []
    return (".".join(version.groups()) if version else "",
            ",".join(str(int(value, 0)) for value in values[0::2]) if version else "")


def long_name(file_name):
    return file_name.split("|")[-1]


def check_files(package, work):
    folder = os.path.join(work, os.path.basename(package))
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run(["msiextract", "-C", folder, package], check=True, capture_output=True)
    extracted = {name: os.path.join(root, name)
                 for root, _, names in os.walk(folder) for name in names}
    hashed = {row["File_"] for row in table(package, "MsiFileHash")}
    version = next(row["Value"] for row in table(package, "Property")
                   if row["Property"] == "ProductVersion")
    for row in table(package, "File"):
        name = long_name(row["FileName"])
        found = resource_version(extracted[name])
        where = f"{os.path.basename(package)}: {name}"
        if (row["Version"], row["Language"]) != found:
            failures.append(f"{where}: the row says {row['Version']!r}, {row['Language']!r}; "
                            f"the file says {found[0]!r}, {found[1]!r}")
        if found[0] and row["File"] in hashed:
            failures.append(f"{where}: a versioned file with a MsiFileHash row")
        if row["File"] in ("ServiceExe", "EventMessagesDll") and row["Version"] != version + ".0":
            failures.append(f"{where}: version {row['Version']!r} in a package of {version}")


def components(package):
    """Each component's GUID by (directory, key path's file name)."""
    files = {row["File"]: long_name(row["FileName"]) for row in table(package, "File")}
    return {(row["Directory_"], files.get(row["KeyPath"])): row["ComponentId"]
            for row in table(package, "Component")}


def check_components(first, other):
    pair = f"{os.path.basename(first)} and {os.path.basename(other)}"
    for ours, theirs in ((components(first), components(other)),
                         (components(other), components(first))):
        guids = {guid: place for place, guid in theirs.items()}
        for place, guid in ours.items():
            if place in theirs and theirs[place] != guid:
                failures.append(f"{pair}: {place[1]} in {place[0]} has two component GUIDs")
            if guid in guids and guids[guid] != place:
                failures.append(f"{pair}: component {guid} holds {place}, then {guids[guid]}")


def check_actions(package):
    types = {row["Action"]: int(row["Type"]) for row in table(package, "CustomAction")}
    steps = {row["Action"]: row for row in table(package, "InstallExecuteSequence")}
    script = range(int(steps["InstallInitialize"]["Sequence"]) + 1,
                   int(steps["InstallFinalize"]["Sequence"]))
    where = os.path.basename(package)
    for action, step in steps.items():
        kind = types.get(action, 0)
        if not kind & IN_SCRIPT:
            continue
        if not kind & NO_IMPERSONATE:
            failures.append(f"{where}: {action} runs impersonating the user")
        if int(step["Sequence"]) not in script:
            failures.append(f"{where}: {action} is outside InstallInitialize..InstallFinalize")
        if kind & (ROLLBACK | COMMIT) or action in NOTHING_TO_UNDO:
            continue
        rollback = steps.get(ROLLBACK_OF.get(action, ""))
        if not (rollback and types[rollback["Action"]] & ROLLBACK
                and int(rollback["Sequence"]) < int(step["Sequence"])
                and rollback["Condition"] == step["Condition"]):
            failures.append(f"{where}: {action} has no rollback action before it, under its "
                            "condition")


def check_folders(package):
    """A public directory name is a property that a command line sets, moving what is below it."""
    parents = {row["Directory"]: row["Directory_Parent"] for row in table(package, "Directory")}
    for folder in parents:
        above = parents[folder]
        while above and above != "ProgramFiles64Folder":
            above = parents.get(above)
        if above and folder.upper() == folder:
            failures.append(f"{os.path.basename(package)}: the folder {folder} has a public name")


def main():
    work, packages = sys.argv[1], sys.argv[2:]
    for package in packages:
        check_files(package, work)
        check_actions(package)
        check_folders(package)
    for other in packages[1:]:
        check_components(packages[0], other)
    for failure in dict.fromkeys(failures):
        print("FAIL:", failure)
    if not failures:
        print(f"{len(packages)} packages: versions, components, actions and folders checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
