#!/usr/bin/env python3
"""Writes seeded random files and a manifest of their checksums computed by
Python's own libraries: zlib.crc32 for CRC-32, and for CRC-64 the check
field that the xz container (lzma, CHECK_CRC64) stores after its block.

usage: crc_reference.py OUTPUT_FOLDER
manifest.txt lines: name size crc32 crc64 (hex)"""
import lzma
import os
import random
import struct
import sys
import zlib

# Sizes around the eight-byte step and the readers' 1 MiB chunk.
SIZES = [1, 3, 7, 8, 9, 15, 16, 17, 255, 4096, 65537, 1048575, 1048576, 1048577, 3145733]


def xz_crc64(data):
    packed = lzma.compress(data, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64)
    # Stream footer: CRC32, backward size, flags, magic (12 bytes); the
    # index is (backward size + 1) * 4 bytes and the check precedes it.
    backward = struct.unpack_from("<I", packed, len(packed) - 8)[0]
    index_start = len(packed) - 12 - (backward + 1) * 4
    return struct.unpack_from("<Q", packed, index_start - 8)[0]


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    assert xz_crc64(b"123456789") == 0x995DC9BBDF1939FA
    generator = random.Random(20261209)
    lines = []
    for number, size in enumerate(SIZES):
        data = bytes(generator.getrandbits(8) for _ in range(size)) if size < 70000 else os.urandom(size)
        name = "random_%02d.bin" % number
        with open(os.path.join(folder, name), "wb") as handle:
            handle.write(data)
        lines.append("%s %d %08x %016x\n" % (name, size, zlib.crc32(data), xz_crc64(data)))
    with open(os.path.join(folder, "manifest.txt"), "w") as handle:
        handle.writelines(lines)


if __name__ == "__main__":
    main()
