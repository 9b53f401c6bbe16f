#!/usr/bin/env python3
"""Reads the version resource back from Windows programs and checks it against the version
kestrix --version prints: product "kestrix", a description, the file and product versions (the
texts and the fixed numbers), the original file name.
    usage: versioninfo.py VERSION PROGRAM.exe..."""
import struct
import sys


def resource_data(pe, type_id):
    """The first resource of a type: (bytes) from the PE file's resource directory, or None."""
    (lfanew,) = struct.unpack_from("<I", pe, 0x3C)
    assert pe[lfanew:lfanew + 4] == b"PE\0\0", "not a PE file"
    sections, opt_size = struct.unpack_from("<H12xH", pe, lfanew + 6)
    opt = lfanew + 24
    dirs = opt + (112 if struct.unpack_from("<H", pe, opt)[0] == 0x20B else 96)
    rsrc_rva, _ = struct.unpack_from("<II", pe, dirs + 2 * 8)
    table = [struct.unpack_from("<8xIIII", pe, opt + opt_size + 40 * i) for i in range(sections)]
    if rsrc_rva == 0:
        return None

    def offset(rva):
        for vsize, va, raw_size, raw in table:
            if va <= rva < va + max(vsize, raw_size):
                return raw + rva - va
        raise ValueError("address outside every section")

    base = offset(rsrc_rva)

    def first_entry(directory, wanted=None):
        named, ids = struct.unpack_from("<12xHH", pe, base + directory)
        for k in range(named + ids):
            name, target = struct.unpack_from("<II", pe, base + directory + 16 + 8 * k)
            if wanted is None or name == wanted:
                return target
        return None

    entry = first_entry(0, type_id)
    for _ in range(2):  # the resource's name, then its language
        if entry is None or not entry & 0x80000000:
            return None
        entry = first_entry(entry & 0x7FFFFFFF)
    rva, size = struct.unpack_from("<II", pe, base + entry)
    return pe[offset(rva):offset(rva) + size]


def nodes(data, at, end, path, out):
    """Walks the VS_VERSIONINFO tree: strings into out[key], the fixed info as out['<fixed>']."""
    while at + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        if key == "VS_VERSION_INFO":
            out["<fixed>"] = struct.unpack_from("<13I", data, value)
        elif kind == 1 and "StringFileInfo" in path:
            out[key] = data[value:value + 2 * value_length].decode("utf-16-le").rstrip("\0")
        children = (value + (value_length * (2 if kind == 1 else 1)) + 3) & ~3
        nodes(data, children, at + length, path + [key], out)
        at = (at + length + 3) & ~3


def main():
    version, programs = sys.argv[1], sys.argv[2:]
    major, minor, patch = (int(x) for x in version.split("."))
    failures = 0
    for program in programs:
        with open(program, "rb") as f:
            data = resource_data(f.read(), 16)  # RT_VERSION
        info = {}
        if data:
            nodes(data, 0, len(data), [], info)
        fixed = info.get("<fixed>")
        name = program.replace("\\", "/").rsplit("/", 1)[-1]
        wrong = [k for k, v in (("ProductName", "kestrix"), ("FileVersion", version), ("ProductVersion", version),
                                ("OriginalFilename", name)) if info.get(k) != v]
        if not info.get("FileDescription"):
            wrong.append("FileDescription")
        if not fixed or fixed[0] != 0xFEEF04BD or fixed[2:6] != ((major << 16) | minor, patch << 16) * 2:
            wrong.append("the fixed version numbers")
        if wrong:
            failures += 1
            print(f"{name}: wrong or missing {', '.join(wrong)} in {info}")
        else:
            print(f"{name}: {info['ProductName']} {info['FileVersion']}, \"{info['FileDescription']}\"")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
