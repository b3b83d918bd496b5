#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes generic.trx: a small TRX v1 image for trying tagwrap out.

Header (little-endian): magic "HDR0", total length, CRC-32 of every byte
after the CRC field (initial value 0xffffffff, no final inversion), flags
and version (version 1 in the top half), then three partition offsets.
"""
import struct
import sys
import zlib

HEADER_SIZE = 28
payload = b"larkos generic sample image: a stand-in kernel, not firmware.\n"
payload += bytes(range(256))
payload += b"\0" * (-len(payload) % 4)

length = HEADER_SIZE + len(payload)
rest = struct.pack("<I3I", 1 << 16, HEADER_SIZE, 0, 0) + payload
crc = zlib.crc32(rest) ^ 0xFFFFFFFF
image = b"HDR0" + struct.pack("<II", length, crc) + rest

out = sys.argv[1] if len(sys.argv) > 1 else "generic.trx"
with open(out, "wb") as f:
    f.write(image)
