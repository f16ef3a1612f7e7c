#!/usr/bin/env python3
"""Random edits of an image, checked against a model after every save.

  scripts/random-edits.py CLI [--seeds FIRST-LAST] [--steps N] [--kinds K,K...]

Kinds of image: ours (build, from files or a random tree, half with
--joliet-long); udf (the same with --udf); genisoimage (-R -J);
genisoimage-udf (-R -J -udf); windows (-J -D -udf, without Rock Ridge and so
without links, with a catalog, a BIOS loader and an EFI image that no tree
lists, as Windows discs have them);
xorriso (-r -J); hybrid (xorriso with an
isohybrid MBR, a BIOS loader, an EFI image and a GPT); bin (ours through
iso2bin, edited as raw Mode 1 sectors); grub and ipxe (the GRUB rescue CD
and the iPXE CD, each with a loader configuration that reports on the serial
port). A folder on disk holds what the image must hold.

Then N random steps, each done to both: add a file or a folder tree (deep,
wide, with symbolic and hard links and names that differ in case only; a
third of them in place of an entry of that name), rm, rename (some to the
name in other case), mkdir, boot load or remove, or compact. After every step:
- our extract, bsdtar and xorriso (which must not warn) each give the folder;
- 7-Zip (Joliet or UDF names) finds the same file contents;
- isovfy finds no fault in the records, no folder of any descriptor's tree
  names an entry twice, and its path tables name every folder once, in
  order;
- the volume fits the file, and partitions of an MBR reach the image's end;
- each volume descriptor keeps every byte but those a save writes;
- the boot image loaded last is what boot save gives and lies at the sector
  the catalog names for xorriso;
- a raw image's changed sectors carry their sync and address, and 3000 of
  them pass all of raw-sectors.py's checks; the peers read it through bchunk.
After the last step grub and ipxe must boot in QEMU as a CD and as a disk.

A failure prints the seed, the step and the last commands, and keeps the
run's folder (with the image before the step as img.iso.prev); a seed replays
the same run. Runs in /tmp/random-edits unless $TMPDIR. Needs bsdtar, xorriso,
7z, isoinfo, genisoimage, sfdisk, bchunk, isolinux, grub-rescue-pc, ipxe and QEMU.
"""

import argparse
import hashlib
import importlib.util
import os
import random
import re
import shutil
import socket
import string
import subprocess
import sys
import time

ALPHA = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-"
KINDS = ["ours", "udf", "genisoimage", "genisoimage-udf", "windows", "xorriso", "hybrid", "bin", "grub", "ipxe",
         "memtest"]
BOOT_FOLDER = "isolinux"  # the hybrid image's loader and catalog: the save patches them
MARKER = "RANDOM-EDITS-BOOT-OK"


# Bytes of a primary or supplementary volume descriptor that a save may change: the volume size, the path
# tables' size and places, the root folder's record and the modification date.
SAVED_FIELDS = set(range(80, 88)) | set(range(132, 190)) | set(range(830, 847))


def volume_descriptors(image):
    """The primary and supplementary volume descriptors of an ISO image, in their order."""
    out = []
    with open(image, "rb") as f:
        for sector in range(16, 64):
            f.seek(sector * 2048)
            vd = f.read(2048)
            if vd[1:6] != b"CD001" or vd[0] == 255:
                break
            if vd[0] in (1, 2):
                out.append(vd)
    return out


def path_table_fault(image, vd):
    """What is wrong with a descriptor's folders and its L and M path tables (DOS and older Windows find folders
    through them): no folder names an entry twice, and the tables name every folder once, at its extent, under its
    parent's number, in the order ECMA-119 gives (level, parent's number, name). None when nothing is."""
    big = vd[0] == 2 and vd[88:91] in (b"%/@", b"%/C", b"%/E")  # Joliet names are UCS-2
    size, l_at, m_at = (int.from_bytes(vd[132:136], "little"), int.from_bytes(vd[140:144], "little"),
                        int.from_bytes(vd[148:152], "big"))
    with open(image, "rb") as f:
        def read(sector, length):
            f.seek(sector * 2048)
            return f.read(length)
        tables = []
        for at, order in ((l_at, "little"), (m_at, "big")):
            table, entries, o = read(at, size), [], 0
            while o < size:
                n = table[o]
                entries.append((table[o + 8:o + 8 + n], int.from_bytes(table[o + 2:o + 6], order),
                                int.from_bytes(table[o + 6:o + 8], order)))
                o += 8 + n + (n & 1)
            tables.append(entries)
        if tables[0] != tables[1]:
            return "the L and M tables differ"
        # The folders, breadth first as the table numbers them.
        root = vd[156:190]
        want, level = [(b"\0", int.from_bytes(root[2:6], "little"), 1)], [(int.from_bytes(root[2:6], "little"),
                                                                          int.from_bytes(root[10:14], "little"), 1)]
        while level:
            children = []
            for extent, length, number in level:
                data, o, kids, names, more = read(extent, length), 0, [], set(), False
                while o < len(data):
                    if data[o] == 0:
                        o = (o // 2048 + 1) * 2048
                        continue
                    rec = data[o:o + data[o]]
                    name = rec[33:33 + rec[32]]
                    if name in names and not more:  # a multi-extent file repeats its name, nothing else may
                        return f"the folder at sector {extent} names {name!r} twice"
                    names.add(name)
                    more = bool(rec[25] & 0x80)
                    if rec[25] & 2 and name not in (b"\0", b"\1"):
                        kids.append((name, int.from_bytes(rec[2:6], "little"), int.from_bytes(rec[10:14], "little")))
                    o += data[o]
                for name, ext, ln in sorted(kids, key=lambda k: k[0]):
                    want.append((name, ext, number))
                    children.append((ext, ln, len(want)))
            level = children
        if tables[0] != want:
            got = [(n, e, p) for n, e, p in tables[0] if (n, e, p) not in want][:3]
            missing = [(n, e, p) for n, e, p in want if (n, e, p) not in tables[0]][:3]
            return f"{len(tables[0])} entries for {len(want)} folders; wrong {got}, missing {missing}"
    return None


class Shipped:
    """A bootable image that a Debian package ships, given a loader configuration that reports on the serial
    port: what the steps leave alone (the loader's files) and what the save patches (so it is not compared)."""

    def __init__(self, image, cfg_folder, cfg_name, cfg, fixed, patched):
        self.image, self.cfg_folder, self.cfg_name, self.cfg = image, cfg_folder, cfg_name, cfg
        self.fixed, self.patched = fixed, patched


# GRUB echoes the marker; ISOLINUX names it as the default label it tries to load (after loading ldlinux.c32 and
# the configuration from the tree).
SHIPPED = {
    "grub": Shipped("/usr/lib/grub-rescue/grub-rescue-cdrom.iso", "boot/grub", "grub.cfg",
                    f"serial\nterminal_output serial\necho {MARKER}\nhalt\n",
                    ["boot", "boot.catalog"], ["boot/grub/i386-pc/eltorito.img", "boot.catalog"]),
    "ipxe": Shipped("/usr/lib/ipxe/ipxe.iso", "", "isolinux.cfg", f"SERIAL 0 115200\nDEFAULT {MARKER}\n",
                    ["boot.cat", "efi.img", "isolinux.bin", "isolinux.cfg", "ipxe.krn", "ldlinux.c32"],
                    ["boot.cat", "isolinux.bin"]),
    # A diskette image boots PCs; the EFI image lies behind the volume, in a partition of its own. memtest86+ reads
    # no configuration: its screen shows that it started, and the boot images' bytes are checked too.
    "memtest": Shipped("/usr/lib/memtest86+/memtest86+x64.iso", None, None, None, ["boot", "boot.catalog", "EFI"],
                       ["boot.catalog"]),
}


def under(path, prefixes):
    return any(path == p or path.startswith(p + "/") for p in prefixes)


class Failed(Exception):
    pass


def load_raw_sectors():
    """scripts/raw-sectors.py, the independent reading of raw CD sectors."""
    spec = importlib.util.spec_from_file_location("raw_sectors",
                                                  os.path.join(os.path.dirname(__file__), "raw-sectors.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


RAW_SECTORS = load_raw_sectors()


def raw_sector_fault(sector, lba, whole=True):
    """What is wrong with a raw Mode 1 sector at a block address, or None: its sync and header, and when whole
    (slow here) everything raw-sectors.py checks, its EDC and parity among them."""
    if sector[:12] != RAW_SECTORS.SYNC:
        return "no sync pattern"
    minute, second, frame = divmod((lba + 150) // 75, 60) + ((lba + 150) % 75,)
    bcd = lambda v: (v // 10) << 4 | v % 10
    if sector[12:16] != bytes([bcd(minute), bcd(second), bcd(frame), 1]):
        return f"header {sector[12:16].hex()}"
    return ", ".join(RAW_SECTORS.sector_faults(sector, lba)) or None if whole else None


class Run:
    def __init__(self, cli, seed, kind, root, batcher=None):
        self.cli, self.seed, self.kind, self.batcher = cli, seed, kind, batcher
        self.batch = None  # the lines of the batch being gathered
        self.serial = 0
        self.label = None  # the volume identifier a batch set last
        self.attributes = False  # whether files' modes and times are compared (the image has Rock Ridge)
        self.rnd = random.Random(seed)
        self.work = os.path.join(root, f"{kind}-{seed}")
        shutil.rmtree(self.work, ignore_errors=True)
        self.model = os.path.join(self.work, "model")
        os.makedirs(self.model)
        self.image = os.path.join(self.work, "img.bin" if kind == "bin" else "img.iso")
        self.log = []
        self.edits = slice(0, 0)  # the commands of the last step
        # The boot image loaded last: its bytes and its path in the model
        # (None once rm took its file: then the catalog alone knows it).
        self.boot = None
        # The sectors of the boot images that no file lists, after the last step, and whether this step may
        # leave one there that was not (see tail_hidden_ok): the image as it was made may.
        self.hidden_before, self.reveals = set(), True
        self.descriptors = None  # as the image was made
        # What the steps leave alone, and what the save patches (so it is not compared); 7-Zip shows
        # the boot image as [BOOT].
        self.shipped = SHIPPED.get(kind)
        self.fixed = self.shipped.fixed if self.shipped else []
        self.patched = (self.shipped.patched if self.shipped else [BOOT_FOLDER] if kind == "hybrid" else []) + [
            "[BOOT]"]

    def run(self, cmd, ok=True, stdin=None):
        p = subprocess.run(cmd, capture_output=True, text=True, errors="replace", input=stdin)
        self.log.append((" ".join(cmd) + (" < " + stdin.replace("\n", "; ") if stdin else ""), p.returncode,
                         p.stderr[-400:]))
        if ok and p.returncode != 0:
            raise Failed(f"{' '.join(cmd)} ended with {p.returncode}: {p.stderr[-400:]}")
        return p

    def name(self):
        rnd = self.rnd
        n = "".join(rnd.choice(ALPHA) for _ in range(rnd.randint(1, 40)))
        if rnd.random() < 0.5:
            n += "." + "".join(rnd.choice("abcxyz") for _ in range(rnd.randint(1, 3)))
        return "\u00e9" + n + "\u00fc" if rnd.random() < 0.1 else n

    def content(self):
        r = self.rnd.random()
        size = (0 if r < 0.1 else self.rnd.randint(1, 5000) if r < 0.7 else
                self.rnd.randint(5000, 300000) if r < 0.95 else self.rnd.randint(1000000, 2000000))
        return self.rnd.randbytes(size)

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)

    def folders(self):
        """The folders edits may go into. Without Rock Ridge, bsdtar takes no path beyond 1024 bytes of UCS-2, so
        there they are no more than 3 deep (a source tree adds 7 levels at most)."""
        out = [""]
        for root, dirs, _ in os.walk(self.model):
            dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
            out += [os.path.relpath(os.path.join(root, d), self.model) for d in dirs]
        return [x for x in out if self.kind != "windows" or x.count("/") < 3]

    def entries(self):
        out = []
        for root, dirs, files in os.walk(self.model):
            out += [os.path.relpath(os.path.join(root, x), self.model) for x in dirs + files]
        return [x for x in out if not under(x, self.fixed)]

    def source(self, folder="src"):
        """A file, or a folder tree, to add (made in folder of the work folder); its path and name."""
        rnd = self.rnd
        src = os.path.join(self.work, folder)
        shutil.rmtree(src, ignore_errors=True)
        os.makedirs(src)
        if rnd.random() < 0.6:
            n = self.name()
            self.write(os.path.join(src, n), self.content())
            self.vary_attributes(os.path.join(src, n))
            return os.path.join(src, n), n
        top = self.name()
        base = os.path.join(src, top)
        os.makedirs(base)
        deep = rnd.random() < 0.3
        pending = [(base, 0)]
        while pending:
            folder, level = pending.pop()
            for _ in range(rnd.randint(0, 6)):
                listed = os.listdir(folder)
                n = rnd.choice(listed).swapcase() if listed and rnd.random() < 0.1 else self.name()
                path = os.path.join(folder, n)
                if os.path.exists(path):
                    continue
                # Without Rock Ridge a deep folder keeps its long path, which bsdtar cannot take beyond 1024 bytes.
                if level < (6 if self.kind == "windows" else 11) and rnd.random() < (0.45 if deep else 0.25):
                    os.makedirs(path)
                    pending.append((path, level + 1))
                else:
                    self.write(path, self.content())
        if rnd.random() < 0.2:
            for i in range(rnd.randint(100, 400)):
                self.write(os.path.join(base, f"wide-{i:04d}-" + self.name()[:20]), rnd.randbytes(rnd.randint(0, 100)))
        files = [x for x in os.listdir(base) if os.path.isfile(os.path.join(base, x))]
        if files and rnd.random() < 0.3 and self.kind != "windows":  # no Rock Ridge there to record a link
            os.symlink(rnd.choice(files), os.path.join(base, "link-" + self.name()))
        files = [os.path.join(r, x) for r, _, names in os.walk(base) for x in names
                 if not os.path.islink(os.path.join(r, x))]
        for path in files:
            self.vary_attributes(path)
        if files and rnd.random() < 0.3:  # a second name of a file, anywhere in the tree
            os.link(rnd.choice(files), os.path.join(rnd.choice([r for r, _, _ in os.walk(base)]), "hard-" + self.name()))
        return base, top

    def vary_attributes(self, path):
        """Some sources have other modes than 644, and modification times from 1980 to 2027 (genisoimage labels
        some later ones with an offset no zone has, which xorriso applies and other readers ignore)."""
        if self.rnd.random() < 0.25:
            os.chmod(path, self.rnd.choice([0o600, 0o640, 0o700, 0o755, 0o444]))
        if self.rnd.random() < 0.25:
            when = self.rnd.randint(315532800, 1830297599)
            os.utime(path, (when, when))

    def digest(self, root):
        """What a tree holds: "dir", "link:TARGET", or a file's digest and, where Rock Ridge records them, its mode
        and modification time (to the second)."""
        out = {}
        for r, dirs, files in os.walk(root):
            for d in dirs:
                out[os.path.relpath(os.path.join(r, d), root)] = "dir"
            for f in files:
                p = os.path.join(r, f)
                if os.path.islink(p):
                    out[os.path.relpath(p, root)] = "link:" + os.readlink(p)
                else:
                    with open(p, "rb") as fh:
                        out[os.path.relpath(p, root)] = hashlib.sha1(fh.read()).hexdigest()
                    if self.attributes:
                        st = os.stat(p)
                        out[os.path.relpath(p, root)] += f" {st.st_mode & 0o7777:o} {int(st.st_mtime)}"
        return {k: v for k, v in out.items() if not under(k, self.patched)}

    def extract(self, reader, command):
        out = os.path.join(self.work, "out-" + reader)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        p = self.run(command(out), ok=reader != "7z")
        errors = {line.strip() for line in p.stdout.splitlines() if "Error" in line and not line.startswith("Errors:")
                  and "with Errors" not in line and "Open Errors" not in line}
        if p.returncode != 0 and not (errors == {"Headers Error"} and self.tail_hidden_ok):
            raise Failed(f"7z failed: {p.stdout[-600:]}")
        return self.digest(out)

    def hidden_boot_images(self):
        """The sectors of the boot images and the catalog that no file lists, and those of them that lie behind every
        file of a UDF volume. 7-Zip takes a UDF volume for damaged when data that no UDF file refers to lies behind the
        last one that does. That is so once rm took the file of a boot image that lay behind the others, or removed
        the files behind such a boot image or catalog, or compact moved files down in front of one, and when boot
        load puts a new boot image in front with the folders and one that no file lists moves out of their way."""
        info = self.run([self.cli, "info", self.image]).stdout
        ends, starts = [], set()
        for line in self.run([self.cli, "ls", self.image, "-R", "-l"]).stdout.splitlines():
            fields = line.split()
            date = next((i for i, f in enumerate(fields) if re.fullmatch(r"\d{4}-\d\d-\d\d", f)), None)
            if date and not line.endswith("/") and int(fields[date - 1]) > 0:
                starts.add(int(fields[date + 2]))
                ends.append(int(fields[date + 2]) + (int(fields[date - 1]) + 2047) // 2048)
        hidden = {int(x) for x in re.findall(r"^(?:boot entry \d+:.* from|boot catalog:) +sector (\d+)", info, re.M)}
        hidden -= starts
        behind = {image for image in hidden if all(end <= image for end in ends)}
        return hidden, behind if "udf:             yes" in info else set()

    def readable(self, step):
        """The image as an ISO the peers read: a raw image through bchunk, after its sectors are checked."""
        if self.kind != "bin":
            return self.image
        with open(self.image, "rb") as f:
            raw = f.read()
        if len(raw) % 2352:
            raise Failed(f"step {step}: the raw image holds {len(raw)} bytes, no whole number of sectors")
        before = b""  # sectors the last check saw unchanged are not checked again
        if os.path.exists(self.image + ".prev"):
            with open(self.image + ".prev", "rb") as f:
                before = f.read()
        changed = [lba for lba in range(len(raw) // 2352)
                   if before[lba * 2352:(lba + 1) * 2352] != raw[lba * 2352:(lba + 1) * 2352]]
        sampled = set(random.Random(step).sample(changed, min(len(changed), 3000)))
        for lba in changed:
            fault = raw_sector_fault(raw[lba * 2352:(lba + 1) * 2352], lba, lba in sampled)
            if fault:
                raise Failed(f"step {step}: raw sector {lba}: {fault}")
        base = os.path.join(self.work, "peer")
        self.run(["bchunk", self.image, self.image[:-4] + ".cue", base])
        return base + "01.iso"

    def check(self, step):
        want = self.digest(self.model)
        image = self.readable(step)
        # xorriso warns of a boot image that no file lists, as one is once rm took the boot image's file.
        strict = [] if self.boot and self.boot[1] is None else ["-return_with", "WARNING", "32"]
        readers = [("ours", lambda d: [self.cli, "extract", self.image, "-C", d]),
                   ("bsdtar", lambda d: ["bsdtar", "-x", "-f", image, "-C", d]),
                   ("xorriso", lambda d: ["xorriso"] + strict + ["-osirrox", "on", "-indev", image, "-extract", "/", d])]
        if self.kind == "windows":
            # Without Rock Ridge, the Joliet and the UDF tree hold every name whole (the ISO 9660 tree cuts them).
            readers += [(f"ours-{tree}", lambda d, tree=tree: [self.cli, "extract", self.image, "--tree", tree, "-C", d])
                        for tree in ("joliet", "udf")]
        for reader, command in readers:
            got = self.extract(reader, command)
            if reader == "xorriso":  # it shows the folder where genisoimage relocated deep folders
                got = {k: v for k, v in got.items() if k != "rr_moved" and not k.startswith("rr_moved/")}
            if got != want:
                missing = sorted(set(want) - set(got))[:5]
                extra = sorted(set(got) - set(want))[:5]
                differ = sorted(k for k in set(want) & set(got) if want[k] != got[k])[:5]
                raise Failed(f"step {step}: {reader} differs: missing {missing}, extra {extra}, differ {differ}")
        # 7-Zip shows Joliet or UDF names, which do not keep names apart that
        # differ in case only, and lists no links: contents alone. It reports
        # a UDF volume without file data as damaged (genisoimage's too), and
        # shows genisoimage's links as empty files: non-empty files alone.
        empty = hashlib.sha1(b"").hexdigest()
        files = lambda tree: sorted(v.split()[0] for v in tree.values()
                                    if v.split()[0] not in ("dir", empty) and not v.startswith("link:"))
        # Expected of 7-Zip only where the step did not move a boot image that no file lists there on its own.
        hidden, behind = self.hidden_boot_images()
        self.tail_hidden_ok = bool(behind) and (self.reveals or behind <= self.hidden_before)
        self.hidden_before = hidden
        if files(want):
            got = self.extract("7z", lambda d: ["7z", "x", "-y", "-o" + d, image])
            if len({k.lower() for k in want}) == len(want) and files(got) != files(want):
                raise Failed(f"step {step}: 7z finds {len(files(got))} files, the model has {len(files(want))}")
        for vd in volume_descriptors(image):
            fault = path_table_fault(image, vd)
            if fault:
                raise Failed(f"step {step}: the tree of descriptor type {vd[0]}: {fault}")
        # isovfy checks every record, its Rock Ridge entries and the path tables against the folders.
        verdict = self.run(["isovfy", image]).stdout.strip().splitlines()[-1:]
        if verdict != ["No errors found"]:
            raise Failed(f"step {step}: isovfy: {verdict}")
        for line in self.run(["isoinfo", "-d", "-i", image]).stdout.splitlines():
            if line.startswith("Volume size is") and int(line.split()[-1]) * 2048 > os.path.getsize(image):
                raise Failed(f"step {step}: a volume of {line.split()[-1]} sectors in a shorter file")
        self.check_boot(step, image)
        descriptors = volume_descriptors(image)
        if self.descriptors is None:
            self.descriptors = descriptors
        if len(descriptors) != len(self.descriptors):
            raise Failed(f"step {step}: {len(descriptors)} volume descriptors, the image had {len(self.descriptors)}")
        label = set(range(40, 72)) if self.label else set()
        if self.label and self.kind in ("udf", "genisoimage-udf", "windows"):
            udf = self.run(["udfinfo", image]).stdout
            if "\nlabel=" + self.label + "\n" not in udf:
                raise Failed(f"step {step}: the UDF label is not {self.label}")
        for number, (now, then) in enumerate(zip(descriptors, self.descriptors)):
            joliet = now[0] == 2 and now[88:90] == b"%/"
            if self.label and now[0] == 1 and now[40:72] != self.label.encode().ljust(32):
                raise Failed(f"step {step}: the primary descriptor's label is {now[40:72]!r}, not {self.label}")
            if self.label and joliet and now[40:72] != (self.label.encode("utf-16-be") + b"\0 " * 16)[:32]:
                raise Failed(f"step {step}: the Joliet descriptor's label is {now[40:72]!r}, not {self.label}")
            changed = [i for i in range(2048) if now[i] != then[i] and i not in SAVED_FIELDS | label]
            if changed:
                raise Failed(f"step {step}: volume descriptor {number} changed at bytes {changed[:10]}")
        if self.kind == "memtest":
            self.check_memtest(step)
        elif self.kind == "hybrid" or self.shipped:
            ends = []
            for line in self.run(["sfdisk", "--dump", self.image]).stdout.splitlines():
                if "start=" in line and "size=" in line:
                    fields = dict(x.strip().split("=") for x in line.split(":")[1].split(",") if "=" in x)
                    ends.append(int(fields["start"]) + int(fields["size"]))
            blocks = os.path.getsize(self.image) // 512
            if not ends or max(ends) < blocks - 256:
                raise Failed(f"step {step}: the partitions end at {ends}, the image has {blocks} blocks")

    def check_memtest(self, step):
        """The diskette image is what boot save gives, and the EFI partition holds the EFI image as shipped."""
        with open(self.shipped.image, "rb") as f:
            shipped = f.read()
        saved = os.path.join(self.work, "boot-saved")
        self.run([self.cli, "boot", "save", self.image, saved])
        with open(saved, "rb") as f:
            if f.read() != shipped[35 * 2048:35 * 2048 + 1474560]:
                raise Failed(f"step {step}: boot save does not give the diskette image")
        efi = [line for line in self.run(["sfdisk", "--dump", self.image]).stdout.splitlines() if "type=ef" in line]
        start = int(efi[0].split("start=")[1].split(",")[0]) * 512 if efi else None
        with open(self.image, "rb") as f:
            f.seek(start or 0)
            if start is None or f.read(8192 * 512) != shipped[826 * 2048:826 * 2048 + 8192 * 512]:
                raise Failed(f"step {step}: the EFI partition does not hold the EFI image")

    def check_boot(self, step, image):
        """The boot image loaded last is what boot save gives and what xorriso finds at the catalog's sector."""
        if self.boot is None:
            return
        data, path = self.boot
        if path is None and len(data) != 1474560:
            # A no-emulation image that no file lists: what the catalog loads, its last sector padded with zeros.
            info = self.run([self.cli, "info", self.image]).stdout
            loaded = int(info.split("boot load size:")[1].split()[0]) * 512
            data = data[:loaded] + bytes(max(0, loaded - len(data)))
        saved = os.path.join(self.work, "boot-saved")
        self.run([self.cli, "boot", "save", self.image, saved])
        with open(saved, "rb") as f:
            if f.read() != data:
                raise Failed(f"step {step}: boot save does not give the boot image loaded")
        report = self.run(["xorriso", "-indev", image, "-report_el_torito", "plain"]).stdout
        lines = [x.split() for x in report.splitlines() if x.startswith("El Torito boot img :   1 ")]
        if not lines:
            raise Failed(f"step {step}: xorriso finds no boot image")
        with open(image, "rb") as f:
            f.seek(int(lines[0][-1]) * 2048)
            if f.read(min(len(data), 2048)) != data[:2048]:
                raise Failed(f"step {step}: the catalog's boot sector {lines[0][-1]} does not hold the boot image")

    def make_image(self):
        if self.shipped:
            shutil.copy(self.shipped.image, self.image)
            os.chmod(self.image, 0o644)
            self.run(["bsdtar", "-x", "-f", self.shipped.image, "-C", self.model])
            if self.shipped.cfg is None:
                return
            cfg = os.path.join(self.work, self.shipped.cfg_name)
            self.write(cfg, self.shipped.cfg.encode())
            self.run([self.cli, "add", self.image, cfg, "--to", "/" + self.shipped.cfg_folder])
            shutil.copy2(cfg, os.path.join(self.model, self.shipped.cfg_folder))
            return
        init = os.path.join(self.work, "init")
        os.makedirs(init)
        for _ in range(self.rnd.randint(1, 8)):
            n = self.name()
            if n.lower() not in {x.lower() for x in os.listdir(init)}:
                self.write(os.path.join(init, n), self.content())
        if self.rnd.random() < 0.5:
            tree, n = self.source()
            if n.lower() not in {x.lower() for x in os.listdir(init)}:
                shutil.move(tree, os.path.join(init, n))
        shutil.copytree(init, self.model, dirs_exist_ok=True, symlinks=True)
        sources = [os.path.join(init, x) for x in sorted(os.listdir(init))]
        if self.kind == "hybrid":
            os.makedirs(os.path.join(init, BOOT_FOLDER))
            shutil.copy("/usr/lib/ISOLINUX/isolinux.bin", os.path.join(init, BOOT_FOLDER))
            os.makedirs(os.path.join(init, "efi"))
            self.write(os.path.join(init, "efi", "efi.img"), bytes(1 << 20))
            shutil.copytree(os.path.join(init, "efi"), os.path.join(self.model, "efi"))
        if self.kind == "windows":
            # As Windows discs are laid out: the catalog, a BIOS loader that the catalog loads whole and an EFI
            # diskette image, none of them a file of any tree (genisoimage hides them from its UDF tree too when
            # they lie in the root).
            loader = self.rnd.randbytes(4096)
            self.write(os.path.join(init, "loader.bin"), loader)
            efi = bytearray(1474560)
            efi[0:3], efi[11:24], efi[510:512] = b"\xeb\x3c\x90", bytes.fromhex("000201010002e000400bf00900"), b"\x55\xaa"
            self.write(os.path.join(init, "efi.img"), bytes(efi))
            self.boot = (loader, None)
        if self.rnd.random() < 0.5:
            sources.append("--joliet-long")
        commands = {
            "ours": [self.cli, "build", self.image] + sources,
            "udf": [self.cli, "build", self.image] + sources + ["--udf"],
            "genisoimage": ["genisoimage", "-quiet", "-R", "-J", "-o", self.image, init],
            "genisoimage-udf": ["genisoimage", "-quiet", "-R", "-J", "-udf", "-o", self.image, init],
            "windows": ["genisoimage", "-quiet", "-J", "-joliet-long", "-D", "-udf", "-o", self.image, "-b", "loader.bin",
                        "-no-emul-boot", "-boot-load-size", "8", "-c", "boot.cat",
                        "-eltorito-alt-boot", "-efi-boot", "efi.img", "-no-emul-boot"]
                       + [arg for name in ("loader.bin", "efi.img", "boot.cat") for arg in ("-hide", name, "-hide-joliet", name)]
                       + [init],
            "xorriso": ["xorriso", "-as", "mkisofs", "-quiet", "-r", "-J", "-joliet-long", "-o", self.image, init],
            "hybrid": ["xorriso", "-as", "mkisofs", "-quiet", "-r", "-J", "-joliet-long", "-o", self.image,
                       "-isohybrid-mbr", "/usr/lib/ISOLINUX/isohdpfx.bin", "-b", BOOT_FOLDER + "/isolinux.bin",
                       "-c", BOOT_FOLDER + "/boot.cat", "-no-emul-boot", "-boot-load-size", "4",
                       "-boot-info-table", "-eltorito-alt-boot", "-e", "efi/efi.img", "-no-emul-boot",
                       "-isohybrid-gpt-basdat", init],
        }
        if self.kind == "bin":
            iso = os.path.join(self.work, "built.iso")
            self.run([self.cli, "build", iso] + sources)
            self.run([self.cli, "iso2bin", iso, self.image])
            os.remove(iso)
        else:
            self.run(commands[self.kind])

    def edit(self, command, lines):
        """One edit: a command of the CLI, which saves it, or lines of the batch gathered for one save."""
        if self.batch is None:
            self.run([self.cli] + command)
        else:
            self.batch += ["\t".join(line) for line in lines]

    def step(self):
        self.reveals = False
        for folder in os.listdir(self.work):
            if folder.startswith("src"):
                shutil.rmtree(os.path.join(self.work, folder))
        if not self.batcher or self.rnd.random() < 0.75:
            self.one_edit()
            return
        # Two to five edits in one save, as the desktop program makes them; each is chosen from the tree as
        # the edits before it left it.
        self.batch = []
        try:
            for _ in range(self.rnd.randint(2, 5)):
                self.one_edit()
            if self.batch:
                self.run([self.batcher, self.image], stdin="\n".join(self.batch) + "\n")
        finally:
            self.batch = None

    def one_edit(self):
        rnd, model = self.rnd, self.model
        entries = self.entries()
        op = rnd.random()
        self.serial += 1  # each edit's sources in a folder of their own, kept until the save
        if op < 0.45 or not entries:
            # A third of the adds replace a file, link or folder of the same name, as add does; some add two
            # sources in one save.
            folder = rnd.choice(self.folders())
            present = [x for x in os.listdir(os.path.join(model, folder))
                       if not under(os.path.join(folder, x), self.fixed)]
            sources = []
            for number in range(2 if rnd.random() < 0.2 else 1):
                src, n = self.source(f"src{self.serial}-{number}")
                if present and rnd.random() < 0.3:
                    n = rnd.choice(present)
                    os.rename(src, os.path.join(os.path.dirname(src), n))
                    src = os.path.join(os.path.dirname(src), n)
                if self.boot and self.boot[1] and under(self.boot[1], [os.path.join(folder, n)]):
                    return
                if n not in [os.path.basename(x) for x in sources]:
                    sources.append(src)
            self.edit(["add", self.image] + sources + (["--to", "/" + folder] if folder else []),
                      [["add", "/" + folder, src] for src in sources])
            for src in sources:
                dst = os.path.join(model, folder, os.path.basename(src))
                if os.path.isdir(dst) and not os.path.islink(dst):
                    shutil.rmtree(dst)
                elif os.path.lexists(dst):
                    os.remove(dst)
                shutil.copytree(src, dst, symlinks=True) if os.path.isdir(src) else shutil.copy2(src, dst)
        elif op < 0.62:
            # Some saves remove several entries, a folder and what it holds among them at times.
            victims = [rnd.choice(entries)]
            if rnd.random() < 0.3:
                victims += rnd.sample(entries, min(len(entries), rnd.randint(1, 3)))
            lines = []
            for victim in victims:
                path = os.path.join(model, victim)
                if not os.path.lexists(path):
                    continue  # named twice, or inside a folder removed before
                lines.append(["rm", "/" + victim])
                if self.boot and self.boot[1] and (self.boot[1] + "/").startswith(victim + "/"):
                    self.boot = (self.boot[0], None)
                    self.reveals = True
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
            self.edit(["rm", self.image] + ["/" + victim for victim in victims], lines)
        elif op < 0.75:
            victim, n = rnd.choice(entries), self.name()
            if rnd.random() < 0.15:  # the same name in other case
                n = os.path.basename(victim).swapcase()
            if n in os.listdir(os.path.join(model, os.path.dirname(victim))):
                return
            self.edit(["rename", self.image, "/" + victim, n], [["rename", "/" + victim, n]])
            if self.boot and self.boot[1] and (self.boot[1] + "/").startswith(victim + "/"):
                renamed = os.path.join(os.path.dirname(victim), n)
                self.boot = (self.boot[0], renamed + self.boot[1][len(victim):])
            os.rename(os.path.join(model, victim), os.path.join(model, os.path.dirname(victim), n))
        elif op < 0.86:
            folder, n = rnd.choice(self.folders()), self.name()
            if n in os.listdir(os.path.join(model, folder)):
                return
            self.edit(["mkdir", self.image, "/" + os.path.join(folder, n)], [["mkdir", "/" + folder, n]])
            os.makedirs(os.path.join(model, folder, n))
        elif op < 0.9 and not self.shipped:
            folder, n = rnd.choice(self.folders()), self.name() + ".img"
            if os.path.isdir(os.path.join(model, folder, n)):
                return
            size = rnd.choice([1474560, 512 * rnd.randint(1, 8), rnd.randint(1, 70000)])
            data = rnd.randbytes(size)
            src = os.path.join(self.work, f"src{self.serial}")
            shutil.rmtree(src, ignore_errors=True)
            os.makedirs(src)
            self.write(os.path.join(src, n), data)
            self.edit(["boot", "load", self.image, os.path.join(src, n)] + (["--to", "/" + folder] if folder else []),
                      [["boot-load", "/" + folder, os.path.join(src, n)]])
            if os.path.lexists(os.path.join(model, folder, n)):
                os.remove(os.path.join(model, folder, n))
            shutil.copy2(os.path.join(src, n), os.path.join(model, folder, n))
            self.boot = (data, os.path.join(folder, n))
            self.reveals = True
        elif op < 0.92:
            if self.boot and self.kind != "hybrid" and not self.shipped:
                self.edit(["boot", "remove", self.image], [["boot-remove"]])
                self.boot = None
        elif self.batch is not None and rnd.random() < 0.5 and not (self.boot and self.boot[1] is None):
            self.batch.append("compact")
        elif self.batch is not None:
            # The volume's label, as the Properties dialog sets it.
            self.label = "".join(rnd.choice(string.ascii_uppercase + string.digits + "_")
                                 for _ in range(rnd.randint(1, 16)))
            self.batch.append("label\t" + self.label)
        elif self.boot and self.boot[1] is None:
            # A hidden boot image of unknown length: its free space cannot be told.
            self.run([self.cli, "compact", self.image], ok=False)
        elif self.kind != "bin" and rnd.random() < 0.3:
            # Into a new file, which takes the image's place.
            out = self.image + ".compact"
            self.run([self.cli, "compact", self.image, "-o", out])
            os.replace(out, self.image)
        else:
            self.run([self.cli, "compact", self.image])

    def go(self, steps):
        self.make_image()
        made = self.readable(0)
        if "rock ridge:      yes" in self.run([self.cli, "info", made]).stdout and self.kind != "windows":
            # The model's files take the modes and times the image was made with (xorriso -r makes every file
            # readable by all, say).
            image, made = made, os.path.join(self.work, "made")
            os.makedirs(made)
            self.run(["bsdtar", "-x", "-f", image, "-C", made])
            for r, _, names in os.walk(self.model):
                for x in names:
                    path = os.path.join(r, x)
                    there = os.path.join(made, os.path.relpath(path, self.model))
                    if not os.path.islink(path) and os.path.isfile(there) and not os.path.islink(there):
                        st = os.stat(there)
                        os.chmod(path, st.st_mode & 0o7777)
                        os.utime(path, (st.st_mtime, st.st_mtime))
            shutil.rmtree(made)
            self.attributes = True
        self.check(0)
        for number in range(1, steps + 1):
            shutil.copy(self.image, self.image + ".prev")
            first = len(self.log)
            try:
                self.step()
            finally:
                self.edits = slice(first, len(self.log))
            self.check(number)
        self.converts()
        if self.shipped:
            for drive in (["-cdrom", self.image], ["-drive", f"file={self.image},format=raw"]):
                self.boots(drive) if self.shipped.cfg else self.memtest_runs(drive)

    def converts(self):
        """The edited image converted to raw sectors and back is the same image (its data sectors, of a BIN)."""
        plain = self.readable("convert")
        raw, back = os.path.join(self.work, "converted.bin"), os.path.join(self.work, "converted.iso")
        self.run([self.cli, "iso2bin", plain, raw])
        self.run([self.cli, "bin2iso", raw, back])
        pairs = [(back, "iso2bin and bin2iso of the edited image do not give it back")]
        if self.kind == "bin":
            ours = os.path.join(self.work, "ours.iso")
            self.run([self.cli, "bin2iso", self.image, ours])
            pairs.append((ours, "bin2iso of the edited BIN differs from bchunk's ISO"))
        for made, fault in pairs:
            with open(plain, "rb") as a, open(made, "rb") as b:
                if a.read() != b.read():
                    raise Failed(fault)

    def memtest_runs(self, drive):
        """QEMU boots the image into memtest86+, whose screen (VGA text memory, read through QEMU's monitor) shows
        that it is testing."""
        monitor, screen = os.path.join(self.work, "monitor.sock"), os.path.join(self.work, "screen.bin")
        qemu = subprocess.Popen(["qemu-system-x86_64"] + drive + ["-m", "256", "-display", "none", "-no-reboot",
                                                                  "-monitor", f"unix:{monitor},server,nowait"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = ""
        try:
            for _ in range(60):
                time.sleep(1)
                if qemu.poll() is not None or not os.path.exists(monitor):
                    continue
                with socket.socket(socket.AF_UNIX) as s:
                    s.connect(monitor)
                    s.sendall(f'pmemsave 0xb8000 4000 "{screen}"\n'.encode())
                    time.sleep(0.5)
                if os.path.exists(screen):
                    with open(screen, "rb") as f:
                        text = f.read()[0::2].decode("latin-1")
                if "Memtest86+" in text and "Testing" in text:
                    break
        finally:
            qemu.kill()
            qemu.wait()
        if not ("Memtest86+" in text and "Testing" in text):
            raise Failed(f"booted with {' '.join(drive)}, memtest86+ does not show that it is testing")

    def boots(self, drive):
        """QEMU boots the image to its loader, which reads its configuration from the edited tree."""
        serial = os.path.join(self.work, "serial.txt")
        if os.path.exists(serial):
            os.remove(serial)
        qemu = subprocess.Popen(["qemu-system-x86_64"] + drive + ["-m", "256", "-display", "none", "-no-reboot",
                                                                  "-serial", "file:" + serial],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shown = lambda: open(serial, "rb").read() if os.path.exists(serial) else b""
        for _ in range(120):
            if MARKER.encode() in shown() or qemu.poll() is not None:
                break
            time.sleep(0.5)
        qemu.kill()
        qemu.wait()
        if MARKER.encode() not in shown():
            raise Failed(f"booted with {' '.join(drive)}, the loader did not read {self.shipped.cfg_name}")


def main():
    parser = argparse.ArgumentParser(description="Random edits of images, checked after every save.")
    parser.add_argument("cli")
    parser.add_argument("--seeds", default="1-10")
    parser.add_argument("--steps", type=int, default=30)
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--keep", action="store_true", help="keep the folder of a run that passed too")
    parser.add_argument("--batch", help="tarvelin-edit-batch (built with the tests): a quarter of the steps make "
                                        "several edits in one save with it")
    args = parser.parse_args()
    first, _, last = args.seeds.partition("-")
    root = os.path.join(os.environ.get("TMPDIR", "/tmp"), "random-edits")
    failures = 0
    for seed in range(int(first), int(last or first) + 1):
        for kind in args.kinds.split(","):
            run = Run(os.path.abspath(args.cli), seed, kind, root, args.batch and os.path.abspath(args.batch))
            try:
                run.go(args.steps)
                if not args.keep:
                    shutil.rmtree(run.work)
                print(f"ok      seed {seed} {kind}", flush=True)
            except Failed as failure:
                failures += 1
                print(f"FAILED  seed {seed} {kind}: {failure}\n  kept: {run.work}", flush=True)
                for command, code, err in run.log[run.edits] + [("...", "", "")] + run.log[-5:]:
                    print(f"    {command[:200]} -> {code} {err.strip()[:200]}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
