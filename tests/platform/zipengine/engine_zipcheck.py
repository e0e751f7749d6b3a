"""Reads a ZIP archive with Python's zipfile for the engine's tests.

Prints "comment<TAB>text", "comment bytes<TAB>hex", then per entry
"entry<TAB>name<TAB>flag bits<TAB>method<TAB>size<TAB>UT time or -<TAB>create system<TAB>
DOS time<TAB>compressed size<TAB>the name's bytes in hex".
Every entry is read whole, so its CRC is checked; --extract DIR extracts all entries as well.

With --clients, tests each archive given with unzip -t, 7z t and zipfile, several at once, and
prints "fails<TAB>archive<TAB>client: what it said" for each client that does not read it; with
--aes as well, only 7z, since unzip 6.0 and zipfile cannot read WinZip AES.
"""
import argparse
import concurrent.futures
import os
import shutil
import struct
import subprocess
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


def read_all(path, pwd):
    with zipfile.ZipFile(path) as archive:
        for info in archive.infolist():
            if len(archive.read(info, pwd=pwd)) != info.file_size:
                raise zipfile.BadZipFile("size mismatch: " + info.filename)


def client_failures(path, password, aes):
    """What each client that cannot read the archive said (its first line)."""
    seven = shutil.which("7z") or shutil.which("7zz") or "7z"
    commands = {
        "unzip": ["unzip", "-tqq", "-P", password or "", path],
        "7z": [seven, "t", "-bd", "-p" + (password or ""), path],
    }
    if aes:
        del commands["unzip"]
    failures = []
    for client, command in commands.items():
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=120)
            if done.returncode != 0:
                said = (done.stdout + done.stderr).decode("utf-8", "replace").strip()
                failures.append(client + ": " + " | ".join(said.splitlines()[-3:]))
        except subprocess.TimeoutExpired:
            failures.append(client + ": timed out")
    if aes:
        return failures
    try:
        read_all(path, password.encode() if password is not None else None)
    except Exception as error:  # zipfile raises many kinds on damaged input
        failures.append("zipfile: %s: %s" % (type(error).__name__, error))
    return failures


def check_clients(paths, password, aes):
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for path, failures in zip(paths,
                                  pool.map(lambda p: client_failures(p, password, aes), paths)):
            for failure in failures:
                print("fails\t%s\t%s" % (path, failure.replace("\t", " ").replace("\n", " ")))


def raw_name(info):
    # zipfile decodes a name without the UTF-8 flag as CP437, which maps every byte.
    return info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("archive", nargs="+")
    parser.add_argument("--password")
    parser.add_argument("--extract")
    parser.add_argument("--clients", action="store_true")
    parser.add_argument("--aes", action="store_true")
    args = parser.parse_args()
    if args.clients:
        check_clients(args.archive, args.password, args.aes)
        return
    pwd = args.password.encode() if args.password is not None else None
    with zipfile.ZipFile(args.archive[0]) as archive:
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
