#!/usr/bin/env python3
"""Writes the seed corpus of the control-device fuzzer (tools/fuzz/corpus/).

Each seed is a program in the byte format that fuzz_control.cpp decodes:
one opcode byte (taken modulo 10) per operation, then its operands.  The
helpers below write operands with the choices that mean "the valid thing"
(placement 0: the record's own read-write home; device 0/1: partition 1/2;
count 0: the right value).  Run it from anywhere; it rewrites the seeds.
"""
import os
import struct

OPEN, CLOSE, IOCTL, MMAP, MUNMAP, DISK, FAULT, FAULTPAGE, RW = 0, 1, 2, 4, 5, 6, 7, 8, 9

# Selectors of the commands (index into the decoder's table).
GET_BLOCK_SIZE, START, SNAPSHOT, GET_STATE, GET_AMS, NO_LOAD, NO_START, LOAD_MAP, \
    GET_AUTOMAP, DIRTY, READ, VMAJ, VMIN, SYNC, SHUTDOWN, CMD16, STATS = range(17)

VALID, NULL, NOACCESS, READONLY, RW_TO_RO, RO_TO_NONE, RW_TO_NONE, UNMAPPED, KERNEL, WINDOW = \
    0, 3, 4, 5, 6, 7, 8, 9, 10, 11
PART1, PART2, DISK_WHOLE, NO_PART, NO_MAJOR = 0, 1, 3, 4, 5
RIGHT, ZERO, SMALL = 0, 3, 6

# Fault sites, in the decoder's order.
KMALLOC, VMALLOC, SLAB_ALLOC, SLAB_CREATE, PAGE_ALLOC, KTHREAD, BIO_ALLOC, BH_ALLOC, \
    DISK_READ, DISK_WRITE, DISK_PARTIAL, DISK_NOTSUPP = range(12)


def u16(v):
    return list(struct.pack("<H", v))


def u32(v):
    return list(struct.pack("<I", v))


def op_open(slot=0, mode=0):
    return [OPEN, slot, mode]


def op_close(slot=0):
    return [CLOSE, slot]


def ioctl(slot, sel, *fields):
    return [IOCTL, slot, sel] + list(fields)


def start(slot=0, dev=PART2, total=RIGHT, cache=RIGHT, place=VALID):
    return ioctl(slot, START, place, dev, total, cache)


def snapshot(slot=0, key_src=0, place=VALID, key_place=VALID):
    # key_src: 0 zero key, 1 the key GET_AUTOMAP_STATE last returned
    return ioctl(slot, SNAPSHOT, place, key_place, key_src, RIGHT)


def get_state(slot=0, place=VALID, out=VALID, count=RIGHT):
    return ioctl(slot, GET_STATE, place, out, count)


def get_ams(slot=0, place=VALID, out=VALID):
    return ioctl(slot, GET_AMS, place, out, RIGHT)


def load_map(slot=0, fill=0, map_place=VALID):
    # fill: 0 every block, 1 none, 2 a pattern
    return ioctl(slot, LOAD_MAP, VALID, VALID, RIGHT, map_place, fill, 16)


def get_automap(slot=0, map_place=VALID):
    return ioctl(slot, GET_AUTOMAP, VALID, VALID, RIGHT, map_place, 16)


def read_blocks(slot=0, first=0, n=16, window=0):
    # window 0: the first mapping (the last byte places the data pointer
    # when there is none)
    return ioctl(slot, READ, VALID, *u16(first), n, window, VALID)


def dirty(slot=0, out=VALID):
    return ioctl(slot, DIRTY, VALID, out)


def stats(slot=0):
    return ioctl(slot, STATS, VALID, VALID, RIGHT)


def version(slot=0, sel=VMAJ, place=VALID):
    return ioctl(slot, sel, place)


def raw_ioctl(slot, cmd, place=VALID):
    return ioctl(slot, 0xff, *u32(cmd), place) + [0] * 24


def mmap(slot=0, pages=16):
    return [MMAP, slot, pages, 0, 0, 0]


def munmap(i=0):
    return [MUNMAP, i, 0]


def fs_write(part=1, sector=64, kib=4, pattern=0x5a):
    # part: 0 partition 1, 1 partition 2; through the mounted file system
    return [DISK, 1, 0x80 | part, *u16(sector), max(kib, 1) - 1, pattern]


def disk_write(target=2, sector=100, pattern=0xa5):
    return [DISK, 1, target, *u16(sector), 1, pattern]


def disk_read(target=1, sector=64):
    return [DISK, 0, target, *u16(sector), 3, 0]


def fault(site, nth):
    return [FAULT, site, nth]


def backup(part, blocks, pages):
    dev = PART1 if part == 0 else PART2
    return (op_open() + start(dev=dev) + get_state() + mmap(pages=pages) + snapshot() +
            get_ams() + load_map() + fs_write(part=part, sector=32) +
            read_blocks(n=blocks) + read_blocks(first=blocks, n=blocks) + dirty() + stats() +
            munmap() + op_close())


SEEDS = {
    # A whole backup of partition 2 (4 KiB blocks): start, window, snapshot,
    # every block wanted, a write into the protected device, reads, close.
    "full-backup-sda2": backup(1, 16, 16),
    # The same on partition 1 (1 KiB blocks; 64-page windows at most).
    "full-backup-sda1": backup(0, 32, 8),
    # A full backup, then an incremental one that hands the tracking key back
    # and fetches the changed-block map, then the tracking sessions closed.
    "incremental-chain": (backup(1, 8, 8) + fs_write(part=1, sector=200) + op_open() +
                          start() + get_ams() + snapshot(key_src=1) + get_automap() +
                          mmap(pages=4) + read_blocks(n=4) + op_close() +
                          op_open(1) + ioctl(1, SHUTDOWN, VALID) + op_close(1)),
    # Two descriptors: the second start is refused while the first holds the module.
    "two-sessions": (op_open(0) + op_open(1) + start(0) + start(1, dev=PART1) +
                     get_state(1) + op_close(0) + start(1, dev=PART1) + get_state(1) +
                     op_close(1)),
    # Records and outputs at bad addresses.
    "bad-pointers": (op_open() + get_state(place=NULL) + get_state(out=READONLY) +
                     get_state(out=RW_TO_RO) + version(place=NOACCESS) +
                     version(sel=VMIN, place=RO_TO_NONE) + start(place=UNMAPPED) +
                     start() + snapshot(key_place=RW_TO_NONE) + stats() +
                     load_map(map_place=KERNEL) + dirty(out=READONLY) + op_close()),
    # Allocation failures in the start and the snapshot.
    "faults": (op_open() + fault(KMALLOC, 3) + start() + op_close() + op_open() +
               fault(PAGE_ALLOC, 2) + start() + mmap(pages=8) + fault(SLAB_ALLOC, 1) +
               snapshot() + fault(DISK_READ, 1) + load_map() + read_blocks(n=8) +
               fault(KTHREAD, 1) + op_open(1) + start(1) + op_close(1) + op_close()),
    # Windows: odd lengths and protections, a fault past the end, unmaps.
    "windows": (op_open() + start() + [MMAP, 0, 4, 0x0b, 0, 0] + [MMAP, 0, 2, 0, 2, 0] +
                mmap(pages=3) + [FAULTPAGE, 0, *u16(7)] + snapshot() + read_blocks(n=12) +
                [MUNMAP, 0, 2] + munmap() + [RW, 0] + [RW, 0x80] + op_close()),
    # Unknown and neighbouring command numbers, and commands before a start.
    "commands": (op_open() + raw_ioctl(0, 0x40102a12) + raw_ioctl(0, 0x2a0b) +
                 raw_ioctl(0, 0xc0102a01) + ioctl(0, NO_LOAD, VALID) +
                 ioctl(0, NO_START, VALID) + ioctl(0, SYNC, VALID) + ioctl(0, CMD16, VALID) +
                 read_blocks() + snapshot() + get_automap() +
                 ioctl(0, GET_BLOCK_SIZE, VALID, DISK_WHOLE, VALID, RIGHT) +
                 ioctl(0, GET_BLOCK_SIZE, VALID, PART1, VALID, RIGHT) + op_close()),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, prog in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes(b & 0xff for b in prog))


if __name__ == "__main__":
    main()
