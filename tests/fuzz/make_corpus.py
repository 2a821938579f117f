"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Run from anywhere: python3 tests/fuzz/make_corpus.py. The seeds are the
byte examples of the payload and gzip formats and real lines of data/*.jsonl.
"""
import gzip
import hashlib
import pathlib
import shutil
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
CORPUS = HERE / "corpus"


def write(target, items):
    directory = CORPUS / target
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for name, data in items:
        (directory / name).write_bytes(data)


def member(body, flags=0, extra=b"", name=b"", comment=b"", header_crc=False):
    """One gzip member of `body` with the given optional header fields."""
    header = bytes([0x1F, 0x8B, 8, flags]) + b"\0\0\0\0" + b"\0\xff"
    if flags & 0x04:
        header += struct.pack("<H", len(extra)) + extra
    if flags & 0x08:
        header += name + b"\0"
    if flags & 0x10:
        header += comment + b"\0"
    if header_crc:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    deflater = zlib.compressobj(6, zlib.DEFLATED, -15, 8)
    data = deflater.compress(body) + deflater.flush()
    return header + data + struct.pack("<II", zlib.crc32(body), len(body) & 0xFFFFFFFF)


def zigzag_varint(n):
    z = ((n << 1) ^ (n >> 31)) & 0xFFFFFFFF
    out = bytearray()
    while z >= 0x80:
        out.append((z & 0x7F) | 0x80)
        z >>= 7
    out.append(z)
    return bytes(out)


def payload(ids):
    out = bytearray([0x19])
    if len(ids) <= 14:
        out.append(len(ids) * 16 + 5)
    else:
        out.append(0xF5)
        count = len(ids)
        while count >= 0x80:
            out.append((count & 0x7F) | 0x80)
            count >>= 7
        out.append(count)
    for i in ids:
        out += zigzag_varint(i)
    out.append(0)
    return bytes(out)


def payload_seeds():
    h = bytes.fromhex
    plain = {
        "empty": h("190500"),
        "three": h("1935000201 00".replace(" ", "")),
        "fifteen": payload(list(range(15))),
        "fourteen": payload(list(range(14))),
        "count128": payload([1] * 128),
        "extremes": payload([2147483647, -2147483648, 64, -64, 300, 8192, -8193]),
        "trailing": h("190500ffff"),
        "long_field_id": h("09020500"),
        "field_id_2": h("290500"),
        "set_type": h("1a0500"),
        "bad_type": h("1d0500"),
        "i64_elements": h("190600"),
        "count_missing": h("19f6"),
        "transport": h("19158080808080 01".replace(" ", "")),
        "wide_element": h("191580808080 1000".replace(" ", "")),
        "no_stop": h("1935000201"),
        "extra_field": h("19051500"),
        "extra_long_field": h("190505"),
        "short_elements": h("192500"),
        "huge_count": h("19f5ffffffff07020100"),
    }
    items = [("plain_" + k, b"\x00" + v) for k, v in plain.items()]
    # Gzip flag on: the first byte chooses it.
    for k in ("empty", "three", "fifteen", "extremes"):
        items.append(("gzip_" + k, b"\x01" + member(plain[k])))
    items.append(("gzip_plain_bytes", b"\x01" + plain["three"]))
    return items


def gzip_seeds():
    body = bytes.fromhex("190500")
    three = bytes.fromhex("193500020100")
    m = member(body)
    items = [
        ("empty_payload", m),
        ("three_ids", member(three)),
        ("fifteen_ids", member(payload(list(range(15))))),
        ("fname", member(body, 0x08, name=b"payload.bin")),
        ("fcomment", member(body, 0x10, comment=b"a comment")),
        ("fname_fcomment_fhcrc", member(body, 0x1A, name=b"n", comment=b"c", header_crc=True)),
        ("fextra", member(body, 0x04, extra=b"AB\x02\x00xy")),
        ("all_fields", member(three, 0x1F, extra=b"xy", name=b"name", comment=b"comment", header_crc=True)),
        ("two_members", m + member(three)),
        ("trailing_bytes", m + b"garbage"),
        ("bad_crc", m[:-8] + bytes([m[-8] ^ 1]) + m[-7:]),
        ("bad_isize", m[:-1] + b"\x01"),
        ("cut_trailer", m[:-3]),
        ("cut_deflate", m[:12]),
        ("reserved_flag", m[:3] + b"\x20" + m[4:]),
        ("bad_header_crc", member(body, 0x02, header_crc=True)[:10] + b"\x00\x00" + m[10:]),
        ("short", body),
        ("zeros", gzip.compress(bytes(3000), mtime=0)),
        ("stored_block", bytes.fromhex("1f8b08000000000000ff") + zlib.compressobj(0, zlib.DEFLATED, -15).compress(b"abc") + b""),
    ]
    return items


class BitWriter:
    """DEFLATE bits, each byte filled from its least significant bit."""

    def __init__(self):
        self.bits_out = []

    def bits(self, value, count):
        self.bits_out += [(value >> i) & 1 for i in range(count)]

    def code(self, codeword, length):
        self.bits_out += [(codeword >> i) & 1 for i in reversed(range(length))]

    def stored(self, data):
        """A non-final stored block holding `data`."""
        self.bits(0, 3)
        self.bits_out += [0] * (-len(self.bits_out) % 8)
        for byte in struct.pack("<HH", len(data), len(data) ^ 0xFFFF) + data:
            self.bits(byte, 8)

    def bytes(self):
        padded = self.bits_out + [0] * (-len(self.bits_out) % 8)
        return bytes(sum(b << i for i, b in enumerate(padded[n:n + 8]))
                     for n in range(0, len(padded), 8))


def canonical(lengths):
    """Codewords of the canonical Huffman code of `lengths` (0: none)."""
    count = [0] * 16
    for n in lengths:
        count[n] += 1
    count[0] = 0
    code, following = 0, [0] * 16
    for n in range(1, 16):
        code = (code + count[n - 1]) << 1
        following[n] = code
    codes = []
    for n in lengths:
        codes.append(following[n] if n else 0)
        following[n] += 1 if n else 0
    return [(c, n) for c, n in zip(codes, lengths)]


FIXED_LITLEN = canonical([8] * 144 + [9] * 112 + [7] * 24 + [8] * 8)
FIXED_DISTANCE = canonical([5] * 32)
FULL_LENGTH_CODE = [4] * 13 + [5] * 6
LENGTH_ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]


def dynamic_header(w, litlen, distance, symbols=None, length_code=FULL_LENGTH_CODE):
    """A final dynamic block's header: the lengths, sent as `symbols`
    ((symbol, extra) pairs; default: each length spelled out)."""
    w.bits(1, 1)
    w.bits(2, 2)
    w.bits(len(litlen) - 257, 5)
    w.bits(len(distance) - 1, 5)
    w.bits(15, 4)
    for symbol in LENGTH_ORDER:
        w.bits(length_code[symbol], 3)
    code = canonical(length_code)
    for symbol, extra in symbols or [(n, 0) for n in litlen + distance]:
        w.code(*code[symbol])
        w.bits(extra, {16: 2, 17: 3, 18: 7}.get(symbol, 0))


def small_litlen(count=258):
    lens = [0] * count
    for symbol in (ord("a"), ord("b"), 256, 257):
        lens[symbol] = 2
    return lens


def ababa(litlen, distance, symbols=None, length_code=FULL_LENGTH_CODE):
    """"ab", a match of 3 at distance 2, end of block."""
    w = BitWriter()
    dynamic_header(w, litlen, distance, symbols, length_code)
    lit, dist = canonical(litlen), canonical(distance)
    for symbol in (ord("a"), ord("b"), 257):
        w.code(*lit[symbol])
    w.code(*dist[1])
    w.code(*lit[256])
    return w.bytes()


def aaaa(distance, distance_bit):
    """"a", a match of 3 whose distance is one raw bit, end of block."""
    w = BitWriter()
    litlen = small_litlen()
    dynamic_header(w, litlen, distance)
    lit = canonical(litlen)
    w.code(*lit[ord("a")])
    w.code(*lit[257])
    w.bits(distance_bit, 1)
    w.code(*lit[256])
    return w.bytes()


def lone_end_of_block(eob_bit):
    """A stored "abc", then a block whose one litlen codeword is the end."""
    w = BitWriter()
    w.stored(b"abc")
    dynamic_header(w, [0] * 256 + [1], [0])
    w.bits(eob_bit, 1)
    return w.bytes()


def fixed(runs, length_symbol, distance_symbol):
    """"a", `runs` matches of 258 at distance 1, a match of `length_symbol`
    at distance code `distance_symbol` (13 zero extra bits from code 28)."""
    w = BitWriter()
    w.bits(1, 1)
    w.bits(1, 2)
    w.code(*FIXED_LITLEN[ord("a")])
    for _ in range(runs):
        w.code(*FIXED_LITLEN[285])
        w.code(*FIXED_DISTANCE[0])
    w.code(*FIXED_LITLEN[length_symbol])
    w.code(*FIXED_DISTANCE[distance_symbol])
    if distance_symbol >= 28:
        w.bits(0, 13)
    w.code(*FIXED_LITLEN[256])
    return w.bytes()


def raw_deflate(data, level=6, strategy=zlib.Z_DEFAULT_STRATEGY):
    deflater = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    return deflater.compress(data) + deflater.flush()


def differential_seeds():
    """Raw DEFLATE data (streams zlib writes, and streams that only zlib
    refuses, each beside its valid twin) and a few members."""
    text = (ROOT / "data" / "cl100k_base.jsonl").read_bytes()[:1500]
    ids = payload(list(range(-40, 200, 3)))
    lone_length_code = [0] * 18 + [1]
    items = [
        ("level1_text", raw_deflate(text, 1)),
        ("level6_text", raw_deflate(text, 6)),
        ("level9_ids", raw_deflate(ids, 9)),
        ("stored", raw_deflate(ids[:40], 0)),
        ("fixed_codes", raw_deflate(text[:300], 6, zlib.Z_FIXED)),
        ("huffman_only", raw_deflate(text[:600], 6, zlib.Z_HUFFMAN_ONLY)),
        ("rle", raw_deflate(bytes(500) + ids, 6, zlib.Z_RLE)),
        ("empty", raw_deflate(b"")),
        ("then_bytes", raw_deflate(ids) + b"\x00\xffabc"),
        ("too_many_litlen", ababa(small_litlen(287), [1, 1])),
        ("too_many_litlen_twin", ababa(small_litlen(286), [1, 1])),
        ("too_many_distance", ababa(small_litlen(), [1, 1] + [0] * 29)),
        ("too_many_distance_twin", ababa(small_litlen(), [1, 1] + [0] * 28)),
        ("length_run_past_end",
         ababa(small_litlen(), [1, 1, 0, 0], [(n, 0) for n in small_litlen()] + [(1, 0), (1, 0), (17, 0)])),
        ("length_run_past_end_twin", ababa(small_litlen(), [1, 1, 0, 0])),
        ("incomplete_length_code",
         ababa(small_litlen(), [1, 1], [(18, 127), (18, 111)], lone_length_code)),
        ("unused_distance_codeword", aaaa([1], 1)),
        ("unused_distance_codeword_twin", aaaa([1], 0)),
        ("empty_distance_code_used", aaaa([0], 0)),
        ("unused_litlen_codeword", lone_end_of_block(1)),
        ("unused_litlen_codeword_twin", lone_end_of_block(0)),
        ("fixed_litlen_287", fixed(0, 287, 0)),
        ("fixed_litlen_286", fixed(0, 286, 0)),
        ("fixed_litlen_285", fixed(0, 285, 0)),
        ("fixed_distance_30", fixed(96, 257, 30)),
        ("fixed_distance_31", fixed(96, 257, 31)),
        ("fixed_distance_29", fixed(96, 257, 29)),
        ("member_litlen_287", bytes.fromhex("1f8b08000000000000ff4b1c070056fac23403010000")),
        ("member_litlen_285", bytes.fromhex("1f8b08000000000000ff4b1c050056fac23403010000")),
        ("member", member(ids)),
        ("member_then_bytes", member(ids) + b"\x1f\x8b\xff\xff"),
    ]
    # The two members above are the fixed-code streams built here.
    assert items[-4][1][10:-8] == fixed(0, 287, 0)
    return items


def data_lines():
    """Real lines of the data sets: frequent tokens, escapes of every kind,
    surrogate pairs, special tokens, negative and large ids."""
    picks = []
    wanted = [
        ("cl100k_base", lambda i, l: i < 3),
        ("cl100k_base", lambda i, l: '\\ud83d' in l),
        ("cl100k_base", lambda i, l: '\\\\' in l),
        ("cl100k_base", lambda i, l: '\\"' in l),
        ("cl100k_base", lambda i, l: '\\ufffd' in l),
        ("cl100k_base", lambda i, l: '<|endoftext|>' in l),
        ("r50k_base", lambda i, l: '\\t' in l),
        ("r50k_base", lambda i, l: '"\\u0000"' in l),
        ("r50k_base", lambda i, l: '"\\u007f"' in l),
        ("r50k_base", lambda i, l: '\\r\\n' in l),
        ("o200k_base", lambda i, l: '\\u4e' in l),
        ("o200k_base", lambda i, l: '\\ud83c' in l),
        ("o200k_harmony", lambda i, l: '<|reserved_201087|>' in l),
        ("p50k_edit", lambda i, l: '<|fim_suffix|>' in l),
        ("p50k_base", lambda i, l: '\\u00e9' in l),
        ("o200k_base", lambda i, l: '\\b' in l or '\\f' in l),
        ("o200k_base", lambda i, l: '\\r' in l),
        ("p50k_base", lambda i, l: i == 57),
        ("r50k_base", lambda i, l: len(l) > 300),
        ("o200k_harmony", lambda i, l: '<|channel|>' in l),
    ]
    for name, test in wanted:
        lines = (ROOT / "data" / f"{name}.jsonl").read_text().splitlines()
        taken = 0
        for i, line in enumerate(lines):
            if test(i, line):
                picks.append(line)
                taken += 1
                if taken == (3 if i < 3 else 1):
                    break
    return picks


def record_seeds(lines):
    items = [(f"data_{n:02d}", l.encode()) for n, l in enumerate(lines)]
    extra = [
        '{"mapped_id": -5, "count": null, "token_id": 7, "token": "a"}',
        '["\\u00e9\\ud83d\\ude00", 4294967295, -2147483648, null]',
        '{"token": "x", "token_id": 1, "mapped_id": 0, "other": [1, {"a": [2]}]}',
        '{"tok\\u0065n": "x", "token_id": 1, "mapped_id": 0}',
        '{"token": "x", "token_id": 1.0, "mapped_id": -0}',
        '{"token": "x", "token_id": 1, "mapped_id": 0, "count": 1, "count": 2}',
        '[1, 2, 3]',
        '{"token": "raw \xc3\xa9 utf-8", "token_id": 3, "mapped_id": 3}',
        '{"x": [1e400, -0e999], "token": "a", "token_id": 1, "mapped_id": 2}',
        '{"token": "a", "token_id": 1, "mapped_id": -1e400}',
    ]
    items += [(f"edge_{n:02d}", e.encode("latin-1")) for n, e in enumerate(extra)]
    return items


def jsonl_seeds(lines):
    return [
        ("data_block", ("\n".join(lines) + "\n").encode()),
        ("crlf_blank", ("\r\n".join(lines[:4]) + "\r\n\r\n  \t\n").encode()),
        ("no_final_lf", "\n".join(lines[:3]).encode()),
        ("nbsp_ideographic", ("\u00a0" + lines[0] + "\u3000\n" + lines[1]).encode()),
        ("repeated_keys", (lines[0] + "\n" + lines[0].replace('"mapped_id": 0', '"mapped_id": 9') + "\n" + lines[1]).encode()),
        ("bad_last_line", (lines[0] + "\n" + lines[1] + "\n{\"token\": 1}\n").encode()),
        ("bom", ("\ufeff" + lines[0]).encode()),
        ("empty", b""),
    ]


def main():
    lines = data_lines()
    write("payload_fuzz", payload_seeds())
    write("gzip_fuzz", gzip_seeds())
    write("gzip_differential_fuzz", differential_seeds())
    write("record_fuzz", record_seeds(lines))
    write("jsonl_fuzz", jsonl_seeds(lines))


if __name__ == "__main__":
    main()
