"""Reads a ZIP archive with Python's zipfile for the engine's tests.

Prints "comment<TAB>text", "comment bytes<TAB>hex", then per entry
"entry<TAB>name<TAB>flag bits<TAB>method<TAB>size<TAB>UT time or -<TAB>create system<TAB>
DOS time<TAB>compressed size<TAB>the name's bytes in hex".
Every entry is read whole, so its CRC is checked; --extract DIR extracts all entries as well.
"""
import argparse
import struct
import sys
import zipfile


def extended_time(extra):
    pos = 0
    while pos + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, pos)
        body = extra[pos + 4:pos + 4 + size]
        if tag == 0x5455 and size >= 5 and body[0] & 1:
            return str(struct.unpack_from("<I", body, 1)[0])
        pos += 4 + size
    return "-"


def raw_name(info):
    # zipfile decodes a name without the UTF-8 flag as CP437, which maps every byte.
    return info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("archive")
    parser.add_argument("--password")
    parser.add_argument("--extract")
    args = parser.parse_args()
    pwd = args.password.encode() if args.password is not None else None
    with zipfile.ZipFile(args.archive) as archive:
        print("comment\t" + archive.comment.decode("utf-8", "replace").replace("\n", "\\n"))
        print("comment bytes\t" + archive.comment.hex())
        for info in archive.infolist():
            data = archive.read(info, pwd=pwd)
            if len(data) != info.file_size:
                sys.exit("size mismatch: " + info.filename)
            print("\t".join(["entry", info.filename, str(info.flag_bits), str(info.compress_type),
                             str(info.file_size), extended_time(info.extra),
                             str(info.create_system),
                             "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time,
                             str(info.compress_size), raw_name(info).hex()]))
        if args.extract:
            archive.extractall(args.extract, pwd=pwd)


if __name__ == "__main__":
    main()
