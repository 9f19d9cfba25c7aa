#!/usr/bin/env python3
"""Writes the seed patches of fuzz_patch_verify into fuzz/corpus/fuzz_patch_verify/.

Each seed is a tiny sound patch that reaches one road of the reader: no components, every
header version, an empty component, stored, run-length and imploded blocks (literals and a
match), a stored path under a release directory, an undo patch, and a component of two blocks.
"""
import pathlib
import struct

FILE_MAGIC, COMPONENT_MAGIC, BUFFER_MAGIC = 9876, 5432, 1098
FILE_HEADER_SIZE, PATH_SIZE, CREATOR_SIZE = 761, 1305, 257
BLOCK_SIZE = 32768

LENGTH_BITS = [3, 2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 7, 7]
LENGTH_CODES = [0x05, 0x03, 0x01, 0x06, 0x0A, 0x02, 0x0C, 0x14,
                0x04, 0x18, 0x08, 0x30, 0x10, 0x20, 0x40, 0x00]
LENGTH_EXTRA = [0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8]
LENGTH_BASE = [0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 14, 22, 38, 70, 134, 262]
DISTANCE_BITS_LOW = [2, 4, 4, 5]  # the first entries are all the seeds need
DISTANCE_CODES_LOW = [0x03, 0x0D, 0x05, 0x19]


class Bits:
    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, count):
        self.value |= value << self.count
        self.count += count

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def put_length(bits, length):
    index = max(i for i in range(16) if LENGTH_BASE[i] + 2 <= length)
    bits.put(1, 1)
    bits.put(LENGTH_CODES[index], LENGTH_BITS[index])
    bits.put(length - 2 - LENGTH_BASE[index], LENGTH_EXTRA[index])


def implode(symbols, dict_code=4):
    """A raw-literal stream of ('lit', byte) and ('match', length, distance) symbols."""
    bits = Bits()
    for symbol in symbols:
        if symbol[0] == "lit":
            bits.put(0, 1)
            bits.put(symbol[1], 8)
            continue
        _, length, distance = symbol
        put_length(bits, length)
        low = 2 if length == 2 else dict_code
        upper = (distance - 1) >> low
        bits.put(DISTANCE_CODES_LOW[upper], DISTANCE_BITS_LOW[upper])
        bits.put((distance - 1) & ((1 << low) - 1), low)
    put_length(bits, 519)
    return bytes([0, dict_code]) + bits.bytes()


def block(codec, stored):
    assert len(stored) <= BLOCK_SIZE
    return struct.pack("<HHB", BUFFER_MAGIC, len(stored), codec) + stored


def file_header(version=2, flags=0, creator=b"fuzz"):
    head = struct.pack("<HH", FILE_MAGIC, version) + bytes([0x10, 0x06, 0xC6, 0x12, 0x30, 0x00])
    head += creator.ljust(CREATOR_SIZE, b"\0") + struct.pack("<H", flags)
    return head.ljust(FILE_HEADER_SIZE, b"\0")


def component(path, length, blocks, version=2):
    head = struct.pack("<HI", COMPONENT_MAGIC, length) + path.ljust(PATH_SIZE, b"\0")
    if version != 1:
        head += bytes([0x10, 0x06, 0x20, 0x26, 0x12, 0x30, 0x00])
    return head + b"".join(blocks)


HELLO = b"hello, hello, hello"
hello_stream = implode([("lit", c) for c in b"hello, "] + [("match", 12, 7)])
run_stream = implode([("lit", ord("x")), ("match", 200, 1), ("match", 2, 1)])

seeds = {
    "empty": file_header(),
    "version0_stored": file_header(0) + component(b"abc\\readme.txt", 5, [block(0xFF, b"hello")]),
    "version1_rle": file_header(1)
    + component(b"abc\\data.bin", 10, [block(0, b"\x02\x08\x00AAB")], version=1),
    "implode_literals_match": file_header()
    + component(b"\\kova2000\\abc\\overlays\\kv830042.exe", len(HELLO), [block(2, hello_stream)]),
    "implode_run_dict1k": file_header()
    + component(b"abc\\run.dat", 203, [block(1, run_stream)]),
    "undo_two_components": file_header(flags=1)
    + component(b"abc\\empty.kvx", 0, [])
    + component(b"\\KOVABrisel\\abc\\menu.kve", 3, [block(0xFF, b"\x01\x02\x03")]),
    "two_blocks": file_header()
    + component(b"abc\\big.dat", BLOCK_SIZE + 1,
                [block(0, b"\x02\x00\x80Z"), block(0xFF, b"!")]),
    # Past 4,096 bytes, so that the fuzzer tries inputs of several components.
    "three_components": file_header()
    + component(b"abc\\overlays\\kv830042.exe", len(HELLO), [block(2, hello_stream)])
    + component(b"abc\\data.bin", 10, [block(0, b"\x02\x08\x00AAB")])
    + component(b"def\\run.kvm", 203, [block(1, run_stream)]),
}

corpus = pathlib.Path(__file__).resolve().parent / "corpus" / "fuzz_patch_verify"
corpus.mkdir(parents=True, exist_ok=True)
for name, data in seeds.items():
    (corpus / name).write_bytes(data)
