#!/usr/bin/env python3
"""Reproducible data sets for bench_engine.sh: the same seed gives the same bytes on this machine.

  engine_data.py incompressible DIR MB    files of 2 to 6 MB that deflate cannot shrink (photos)
  engine_data.py mailbox FILE MB          one mailbox of mails, replies and some attachments
  engine_data.py home DIR                 36 photos and clips, a 90 MB mailbox, 3,000 documents

Every command prints the paths it made, one a line. The text of mails and documents is drawn from
the documentation of the base system and of the packages Sondrel is built with (licenses, and
changelogs unpacked), so that deflate finds what it finds in real mail: varied prose, repeated
headers, quoted replies and base64 attachments.
"""
import base64
import gzip
import os
import random
import sys

# Text of the base system and of packages that scripts/install-deps.sh installs, so that the data
# do not change when something else is installed.
SOURCES = ["/usr/share/common-licenses"] + ["/usr/share/doc/" + package for package in (
    "bash", "coreutils", "dpkg", "binutils", "gcc-12", "libsqlite3-0", "zip", "unzip", "man-db",
    "xvfb", "python3.11", "qt6-base-dev")]
FIRST = ("Anna Bernd Claudia Dieter Eva Frank Gisela Hans Ines Jürgen Katrin Lars Monika Norbert "
         "Olga Peter Renate Stefan Tanja Uwe Vera Wolfgang Yvonne Zoe Alice Bob Carol David Emma "
         "George Helen Ian Julia Kevin Laura Michael Nina Oliver Paula Robert Sarah Thomas").split()
LAST = ("Müller Schmidt Schneider Fischer Weber Meyer Wagner Becker Schulz Hoffmann Koch Richter "
        "Klein Wolf Schröder Neumann Schwarz Braun Zimmermann Krüger Hartmann Lange Smith Jones "
        "Brown Taylor Wilson Evans Walker Wright Green Baker Hall Clarke Wood Turner").split()
DOMAINS = ["example.org", "mail.example.com", "uni-beispiel.de", "firma-muster.de", "web.example",
           "posteo.example", "gmx.example", "verein-sportfreunde.de", "stadtwerke.example",
           "lists.debian.example"]


def paragraphs(limit=24_000_000):
    """Paragraphs of real documentation text, in a fixed order."""
    found = []
    for source in SOURCES:
        for folder, dirs, files in os.walk(source):
            dirs.sort()
            for name in sorted(files):
                if source.endswith("licenses") or name.endswith((".gz", ".txt", ".md", ".rst")) \
                        or name in ("copyright", "README"):
                    found.append(os.path.join(folder, name))
    out, total = [], 0
    for path in found:
        try:
            opener = gzip.open if path.endswith(".gz") else open
            with opener(path, "rb") as f:
                text = f.read(400_000).decode("utf-8", "replace")
        except (OSError, EOFError):
            continue
        for block in text.split("\n\n"):
            block = block.strip("\n")
            if 40 <= len(block) <= 3000 and "\ufffd" not in block:
                out.append(block)
                total += len(block)
        if total > limit:
            break
    return out


class Writer:
    def __init__(self, seed):
        self.rnd = random.Random(seed)
        self.paras = paragraphs()
        self.people = [(f"{self.rnd.choice(FIRST)} {self.rnd.choice(LAST)}",
                        self.rnd.choice(DOMAINS)) for _ in range(150)]

    def address(self, person):
        name, domain = person
        return f"{name} <{name.lower().replace(' ', '.').replace('ü', 'ue').replace('ö', 'oe')}@{domain}>"

    def body(self, low, high):
        return "\n\n".join(self.rnd.choice(self.paras) for _ in range(self.rnd.randint(low, high)))

    def b64(self, size):
        data = base64.encodebytes(self.rnd.randbytes(size)).decode()
        return data

    def mail(self, when, previous):
        rnd = self.rnd
        sender, to = rnd.choice(self.people), rnd.choice(self.people)
        stamp = f"{when // 86400 % 28 + 1:02d} {['Jan', 'Feb', 'Mar', 'Apr'][when // 2419200 % 4]} 2024 " \
                f"{when // 3600 % 24:02d}:{when // 60 % 60:02d}:{when % 60:02d} +0100"
        reply = previous is not None and rnd.random() < 0.4
        subject = ("Re: " + previous[0]) if reply else " ".join(rnd.choice(self.paras).split()[:rnd.randint(3, 8)])
        mid = "%016x" % rnd.getrandbits(64)
        lines = [f"From {self.address(sender).split('<')[1][:-1]} {stamp}",
                 f"Return-Path: <{self.address(sender).split('<')[1]}"]
        for hop in range(rnd.randint(2, 4)):
            lines.append(f"Received: from mx{hop}.{sender[1]} (mx{hop}.{sender[1]} "
                         f"[192.0.2.{rnd.randint(1, 254)}])\n\tby mail.heim.example with ESMTPS id "
                         f"{rnd.getrandbits(48):012X}\n\tfor <ich@heim.example>; {stamp}")
        lines.append("DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=" + sender[1] +
                     "; s=mail;\n\tb=" + self.b64(256).replace("\n", "\n\t").rstrip())
        lines += [f"Message-ID: <{mid}@{sender[1]}>", f"Date: {stamp}",
                  f"From: {self.address(sender)}", f"To: {self.address(to)}",
                  f"Subject: {subject}", "MIME-Version: 1.0"]
        text = self.body(1, 7) + "\n\n-- \n" + sender[0] + "\n"
        if reply:
            text += "\n" + "\n".join("> " + line for line in previous[1].splitlines()) + "\n"
        attach = rnd.random() < 0.05
        if not attach and rnd.random() < 0.7:
            lines += ["Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit",
                      "", text]
        else:
            boundary = "=-" + "%024x" % rnd.getrandbits(96)
            lines += [f'Content-Type: multipart/mixed; boundary="{boundary}"', "",
                      "--" + boundary, "Content-Type: text/plain; charset=utf-8", "", text]
            if not attach:
                html = "".join(f'<p style="margin:0 0 1em 0;font-family:Arial">{p}</p>\n'
                               for p in text.split("\n\n"))
                lines += ["--" + boundary, "Content-Type: text/html; charset=utf-8", "",
                          f"<html><body>\n{html}</body></html>"]
            else:
                size = int(rnd.lognormvariate(10.2, 1.0))
                lines += ["--" + boundary, 'Content-Type: application/pdf; name="Anhang.pdf"',
                          "Content-Transfer-Encoding: base64", "", self.b64(min(size, 3_000_000))]
            lines.append("--" + boundary + "--")
        return subject, text, "\n".join(lines) + "\n\n"

    def mailbox(self, path, megabytes):
        goal = int(megabytes * 1_000_000)
        previous, when = None, 1_700_000_000
        with open(path, "w", encoding="utf-8") as out:
            while out.tell() < goal:
                when += self.rnd.randint(60, 20000)
                subject, text, whole = self.mail(when, previous)
                previous = (subject, text)
                out.write(whole)
            out.truncate(goal)
        print(path)

    def photo(self, path, size):
        with open(path, "wb") as out:
            out.write(self.rnd.randbytes(size))
        print(path)

    def photos(self, folder, megabytes, count=None):
        os.makedirs(folder, exist_ok=True)
        sizes = []
        if count is None:
            while sum(sizes) < megabytes * 1_000_000:
                sizes.append(self.rnd.randint(2_000_000, 6_000_000))
            sizes[-1] -= sum(sizes) - megabytes * 1_000_000
        else:
            sizes = [self.rnd.randint(2_000_000, 6_000_000) for _ in range(count)]
        for i, size in enumerate(sizes):
            kind = "MOV" if i % 6 == 5 else "IMG"
            self.photo(os.path.join(folder, f"{kind}_{2000 + i:04d}.{'mp4' if kind == 'MOV' else 'jpg'}"),
                       max(size, 1))

    def documents(self, folder, count):
        kinds = ["txt", "md", "html", "csv", "tex"]
        for i in range(count):
            sub = os.path.join(folder, f"Ordner {i % 40:02d}")
            os.makedirs(sub, exist_ok=True)
            kind = kinds[i % len(kinds)]
            size = int(min(self.rnd.lognormvariate(9.0, 1.1), 400_000))
            text = ""
            while len(text) < size:
                text += self.body(1, 4) + "\n\n"
            text = text[:size]
            if kind == "html":
                text = "<html><body>\n" + "".join(f"<p>{p}</p>\n" for p in text.split("\n\n")) + "</body></html>\n"
            elif kind == "csv":
                text = "\n".join(";".join(line.split()[:6]) + f";{self.rnd.randint(0, 99999)},{self.rnd.randint(0, 99):02d}"
                                 for line in text.splitlines() if line.strip())
            path = os.path.join(sub, f"Dokument {i:04d}.{kind}")
            with open(path, "w", encoding="utf-8") as out:
                out.write(text)
            print(path)


def main():
    what, target = sys.argv[1], sys.argv[2]
    writer = Writer(seed=15)
    if what == "incompressible":
        writer.photos(target, int(sys.argv[3]))
    elif what == "mailbox":
        writer.mailbox(target, float(sys.argv[3]))
    elif what == "home":
        writer.photos(os.path.join(target, "Bilder"), 0, count=36)
        writer.mailbox(os.path.join(target, "Mail.mbox"), 90)
        writer.documents(os.path.join(target, "Dokumente"), 3000)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
