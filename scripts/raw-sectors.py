#!/usr/bin/env python3
"""Looks at the raw 2352-byte sectors of a BIN image, written here from the
definitions of CD sectors and nothing of Tarvelin's code, to check by hand
what a save wrote into a raw image.

  raw-sectors.py check IMAGE [FIRST [COUNT]]
      Each sector's sync, address, mode, EDC and P/Q parity; for Mode 2 also
      its subheader (both copies alike) and form. Prints one line per bad
      sector and a summary; exit status 1 when a sector is bad.
  raw-sectors.py subheaders IMAGE FIRST COUNT
      The subheader of each sector (file, channel, submode, coding) and its
      submode bits by name.
  raw-sectors.py cook IMAGE OUT
      The 2048 bytes of user data of each Mode 1 or Mode 2 Form 1 sector into
      OUT (a Form 2 sector gives its first 2048), so that ISO tools can read
      the volume.

Sector numbers are those of the file (the first sector is 0)."""

import sys

SECTOR = 2352
SYNC = bytes([0x00] + [0xFF] * 10 + [0x00])
SUBMODE_BITS = [(0x80, "EOF"), (0x40, "RT"), (0x20, "FORM2"), (0x10, "TRIGGER"),
                (0x08, "DATA"), (0x04, "AUDIO"), (0x02, "VIDEO"), (0x01, "EOR")]


def _edc_table():
    table = []
    for i in range(256):
        value = i
        for _ in range(8):
            value = (value >> 1) ^ (0xD8018001 if value & 1 else 0)
        table.append(value)
    return table


EDC_TABLE = _edc_table()


def edc(data):
    value = 0
    for byte in data:
        value = EDC_TABLE[(value ^ byte) & 0xFF] ^ (value >> 8)
    return value


def _gf_tables():
    forward = [((i << 1) ^ (0x11D if i & 0x80 else 0)) & 0xFF for i in range(256)]
    backward = [0] * 256
    for i in range(256):
        backward[i ^ forward[i]] = i
    return forward, backward


GF_FORWARD, GF_BACKWARD = _gf_tables()


def _parity(block, major_count, minor_count, major_mult, minor_inc):
    """P (86, 24, 2, 86) or Q (52, 43, 86, 88) parity over block (bytes 12 on)."""
    size = major_count * minor_count
    out = bytearray(2 * major_count)
    for major in range(major_count):
        index = (major >> 1) * major_mult + (major & 1)
        a = b = 0
        for _ in range(minor_count):
            value = block[index]
            index += minor_inc
            if index >= size:
                index -= size
            a ^= value
            b ^= value
            a = GF_FORWARD[a]
        a = GF_BACKWARD[GF_FORWARD[a] ^ b]
        out[major] = a
        out[major + major_count] = a ^ b
    return bytes(out)


def parity_holds(sector, header_as_zero):
    work = bytearray(sector)
    if header_as_zero:
        work[12:16] = b"\0\0\0\0"
    p = _parity(work[12:12 + 2064], 86, 24, 2, 86)
    if p != bytes(work[2076:2248]):
        return False
    q = _parity(work[12:12 + 2236], 52, 43, 86, 88)
    return q == bytes(work[2248:2352])


def bcd(value):
    return (value >> 4) * 10 + (value & 0x0F)


def submode_names(submode):
    return "|".join(name for bit, name in SUBMODE_BITS if submode & bit) or "-"


def sector_faults(sector, number):
    """What is wrong with one raw sector; an empty list when nothing is."""
    faults = []
    if sector[:12] != SYNC:
        return ["no sync pattern"]
    address = (bcd(sector[12]) * 60 + bcd(sector[13])) * 75 + bcd(sector[14]) - 150
    if address != number:
        faults.append("address %d" % address)
    mode = sector[15]
    stored_edc = lambda at: int.from_bytes(sector[at:at + 4], "little")
    if mode == 1:
        if edc(sector[:2064]) != stored_edc(2064):
            faults.append("Mode 1 EDC")
        if not parity_holds(sector, False):
            faults.append("Mode 1 P/Q parity")
    elif mode == 2:
        if sector[16:20] != sector[20:24]:
            faults.append("subheader copies differ")
        if sector[18] & 0x20:
            # Form 2: the EDC is optional (zero when left out).
            if stored_edc(2348) not in (0, edc(sector[16:2348])):
                faults.append("Form 2 EDC")
        else:
            if edc(sector[16:2072]) != stored_edc(2072):
                faults.append("Form 1 EDC")
            if not parity_holds(sector, True):
                faults.append("Form 1 P/Q parity")
    elif mode != 0:
        faults.append("mode %d" % mode)
    return faults


def read_sector(image, number):
    image.seek(number * SECTOR)
    return image.read(SECTOR)


def check(path, first, count):
    bad = 0
    with open(path, "rb") as image:
        image.seek(0, 2)
        total = image.tell() // SECTOR
        last = total if count is None else min(total, first + count)
        for number in range(first, last):
            faults = sector_faults(read_sector(image, number), number)
            if faults:
                bad += 1
                print("sector %d: %s" % (number, ", ".join(faults)))
    print("%d sectors checked, %d bad" % (max(0, last - first), bad))
    return 1 if bad else 0


def subheaders(path, first, count):
    with open(path, "rb") as image:
        for number in range(first, first + count):
            sector = read_sector(image, number)
            if len(sector) < 24:
                break
            file_number, channel, submode, coding = sector[16:20]
            print("%d: mode %d file %d channel %d submode %02x (%s) coding %02x"
                  % (number, sector[15], file_number, channel, submode, submode_names(submode), coding))
    return 0


def cook(path, out_path):
    with open(path, "rb") as image, open(out_path, "wb") as out:
        while True:
            sector = image.read(SECTOR)
            if len(sector) < SECTOR:
                break
            start = 16 if sector[15] == 1 else 24
            out.write(sector[start:start + 2048])
    return 0


def main(argv):
    if len(argv) >= 3 and argv[1] == "check":
        first = int(argv[3]) if len(argv) > 3 else 0
        count = int(argv[4]) if len(argv) > 4 else None
        return check(argv[2], first, count)
    if len(argv) == 5 and argv[1] == "subheaders":
        return subheaders(argv[2], int(argv[3]), int(argv[4]))
    if len(argv) == 4 and argv[1] == "cook":
        return cook(argv[2], argv[3])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
