#!/usr/bin/env python3
"""Generates src/text/charset_tables.cpp, the compact GBK lists that charset_init expands.

Sources (needed only to run this script, never by the build):
  * the host's glibc iconv "CP936" converter, queried code by code through ctypes;
  * OpenCC's character table TSCharacters.ocd2 (Debian packages libopencc1.1 and opencc,
    which brings the opencc_dict tool that dumps it as text).

The double-byte mapping is glibc's CP936 plus the private-use rows that glibc leaves out
but Windows code page 936 assigns (0xA8BC, 0xA8BF and 0xFE50-0xFEA0), so names written on
a Windows console round-trip. Usage: scripts/gen_charset_tables.py [output-path]
"""

import ctypes
import os
import subprocess
import sys
import tempfile

OPENCC_TABLE = "/usr/share/opencc/TSCharacters.ocd2"
EXPECTED_CODES = 21874

# Private-use assignments of code page 936 that glibc does not map.
PRIVATE_USE = {0xA8BC: 0xE7C7, 0xA8BF: 0xE7C8}
PRIVATE_USE.update({g: 0xE815 + (g - 0xFE50) for g in range(0xFE50, 0xFEA1)})


class Iconv:
    def __init__(self, to_code, from_code):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.libc.iconv_open.restype = ctypes.c_void_p
        self.libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.libc.iconv.restype = ctypes.c_size_t
        self.libc.iconv.argtypes = [ctypes.c_void_p] + [ctypes.c_void_p] * 4
        self.cd = self.libc.iconv_open(to_code, from_code)
        if self.cd in (None, ctypes.c_void_p(-1).value):
            sys.exit("iconv_open failed")

    def convert(self, data):
        """Returns the converted bytes, or None when iconv refuses or leaves input behind."""
        self.libc.iconv(self.cd, None, None, None, None)
        inbuf = ctypes.create_string_buffer(data, len(data))
        outbuf = ctypes.create_string_buffer(32)
        inptr = ctypes.c_void_p(ctypes.addressof(inbuf))
        outptr = ctypes.c_void_p(ctypes.addressof(outbuf))
        inleft = ctypes.c_size_t(len(data))
        outleft = ctypes.c_size_t(32)
        result = self.libc.iconv(self.cd, ctypes.byref(inptr), ctypes.byref(inleft),
                                 ctypes.byref(outptr), ctypes.byref(outleft))
        if result == ctypes.c_size_t(-1).value or inleft.value != 0:
            return None
        return outbuf.raw[:32 - outleft.value]


def in_gb2312_area(code):
    return 0xA1 <= code >> 8 <= 0xF7 and (code & 0xFF) >= 0xA1


def load_gbk_mapping():
    iconv = Iconv(b"UTF-16LE", b"CP936")
    mapping = {}
    for code in range(0x8000, 0x10000):
        out = iconv.convert(bytes([code >> 8, code & 0xFF]))
        # A lead followed by a byte that is no trail comes back as two characters: not a code.
        if out is not None and len(out) == 2:
            mapping[code] = int.from_bytes(out, "little")
    for code, unicode in PRIVATE_USE.items():
        if code in mapping:
            sys.exit(f"iconv already maps private-use code {code:#06x}")
        mapping[code] = unicode
    if len(mapping) != EXPECTED_CODES:
        sys.exit(f"expected {EXPECTED_CODES} codes, got {len(mapping)}")
    if len(set(mapping.values())) != len(mapping):
        sys.exit("mapping is not one-to-one")
    if min(mapping.values()) < 0x80:
        sys.exit("a double-byte code maps into ASCII")
    return mapping


def split_pairs_and_runs(mapping):
    """Stretches where consecutive codes map to consecutive values become runs, the rest pairs."""
    pairs, runs = [], []
    codes = sorted(mapping)
    start = prev = codes[0]
    for code in codes[1:] + [None]:
        if code is not None and code == prev + 1 and mapping[code] == mapping[prev] + 1:
            prev = code
            continue
        if start == prev:
            pairs.append((start, mapping[start]))
        else:
            runs.append((start, prev, mapping[start]))
        if code is not None:
            start = prev = code
    return pairs, runs


def load_trad_simp_pairs(mapping):
    gbk_of = {unicode: code for code, unicode in mapping.items()}
    with tempfile.TemporaryDirectory() as tmp:
        dump = os.path.join(tmp, "ts.txt")
        subprocess.run(["opencc_dict", "-i", OPENCC_TABLE, "-o", dump, "-f", "ocd2", "-t", "text"],
                       check=True)
        with open(dump, encoding="utf-8") as f:
            lines = f.read().splitlines()
    simplified = {}
    for line in lines:
        trad, simps = line.split("\t")
        simp = simps.split(" ")[0]   # the first candidate is the usual form
        if len(trad) != 1 or len(simp) != 1 or trad == simp:
            continue
        if ord(trad) in gbk_of and ord(simp) in gbk_of:
            simplified[gbk_of[ord(trad)]] = gbk_of[ord(simp)]
    # One pass of the table must give the final form, so chains (a -> b -> c) are followed
    # through every step that the builders would apply (those outside the GB2312 area).
    for source in simplified:
        target, steps = simplified[source], 0
        while target in simplified and not in_gb2312_area(target) and steps < 8:
            target, steps = simplified[target], steps + 1
        simplified[source] = target
    for source, target in simplified.items():
        if mapping[source] < 0x800 or mapping[target] < 0x800:
            sys.exit("simplification outside the three-byte UTF-8 range")
    return sorted(simplified.items())


def format_list(name, words, comment):
    lines = [f"// {comment}", f"const uint16_t {name}[] = {{"]
    for i in range(0, len(words), 12):
        lines.append("    " + ", ".join(f"0x{w:04X}" for w in words[i:i + 12]) + ",")
    lines.append("};")
    lines.append(f"const unsigned {name}_words = {len(words)};")
    return "\n".join(lines)


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src", "text", "charset_tables.cpp")
    mapping = load_gbk_mapping()
    pairs, runs = split_pairs_and_runs(mapping)
    trad_simp = load_trad_simp_pairs(mapping)
    parts = [
        "// Generated by scripts/gen_charset_tables.py from glibc's CP936 table (plus the",
        "// code page 936 private-use rows) and OpenCC's TSCharacters. Do not edit by hand.",
        '#include "text/charset.h"',
        "",
        format_list("gbk_single_pairs", [w for p in pairs for w in p],
                    f"{len(pairs)} (GBK code, Unicode) pairs, ascending by code."),
        "",
        format_list("gbk_runs", [w for r in runs for w in r],
                    f"{len(runs)} (first code, last code, Unicode of first) runs, ascending."),
        "",
        format_list("trad_simp_pairs", [w for p in trad_simp for w in p],
                    f"{len(trad_simp)} (traditional, simplified) GBK code pairs, ascending."),
        "",
    ]
    with open(out_path, "w", encoding="ascii") as f:
        f.write("\n".join(parts))
    print(f"{len(pairs)} pairs, {len(runs)} runs, {len(trad_simp)} trad/simp pairs -> {out_path}")


if __name__ == "__main__":
    main()
