#!/usr/bin/env python3
"""Prints the version and languages of a Windows file's version resource as a package's File
table holds them ("1.2.3.0 1033"), and nothing for a file without one (not a PE file, or no
version resource). Windows Installer compares versioned files by that version alone, so a
versioned file must carry it in the File table.

Usage: file-version.py FILE
"""
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


def version_resource(data):
    """The first RT_VERSION resource's bytes, or None."""
    if data[:2] != b"MZ":
        return None
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        return None
    sections, optional_size = struct.unpack_from("<H12xH", data, header + 6)
    optional = header + 24
    # The data directories follow the fields that differ between PE32 and PE32+.
    directories = optional + (96 if struct.unpack_from("<H", data, optional)[0] == 0x10B else 112)
    if struct.unpack_from("<I", data, directories - 4)[0] <= 2:
        return None
    resources = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    if resources == 0:
        return None

    def offset(address):
        for section in range(sections):
            size, start, raw_size, raw = struct.unpack_from(
                "<IIII", data, optional + optional_size + 40 * section + 8)
            if start <= address < start + max(size, raw_size):
                return address - start + raw
        raise ValueError(f"address {address:#x} is in no section")

    root = offset(resources)

    # The entry of a resource directory: the one named WANTED, or the first.
    def entry(directory, wanted=None):
        named, numbered = struct.unpack_from("<HH", data, directory + 12)
        for index in range(named + numbered):
            name, target = struct.unpack_from("<II", data, directory + 16 + 8 * index)
            if wanted is None or name == wanted:
                return target
        return None

    # Type, then name, then language; the last leads to the data itself.
    target = entry(root, RT_VERSION)
    for _ in range(2):
        if target is None or not target & 0x80000000:
            return None
        target = entry(root + (target & 0x7FFFFFFF))
    if target is None or target & 0x80000000:
        return None
    address, size = struct.unpack_from("<II", data, root + target)
    start = offset(address)
    return data[start:start + size]


def main():
    with open(sys.argv[1], "rb") as file:
        resource = version_resource(file.read())
    # VS_VERSIONINFO: three words, the key "VS_VERSION_INFO", then the fixed part at offset 40.
    if not resource or len(resource) < 56 or \
            struct.unpack_from("<I", resource, 40)[0] != FIXED_SIGNATURE:
        return 0
    high, low = struct.unpack_from("<II", resource, 48)
    version = f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
    # "Translation": pairs of a language and a code page, its value aligned to four bytes.
    key = "Translation\0".encode("utf-16-le")
    at = resource.find(key)
    languages = []
    if at >= 4:
        length = struct.unpack_from("<H", resource, at - 4)[0]
        value = (at + len(key) + 3) & ~3
        languages = [str(struct.unpack_from("<H", resource, value + 4 * i)[0])
                     for i in range(length // 4)]
    print(version, ",".join(languages))
    return 0


if __name__ == "__main__":
    sys.exit(main())
