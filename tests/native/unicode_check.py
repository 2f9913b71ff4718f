#!/usr/bin/env python3
"""Checks the unicode module of the core library against independent references.

Builds tests/native/unicode_check.cpp with unicode.cpp alone (or takes the
program given by --driver, such as the CMake target `unicode_check`), then
compares what it prints with:

- values derived here from the Unicode Character Database files (this script
  parses them itself and derives Alphabetic, Cased and Case_Ignorable from
  the general categories and the contributory properties, as their
  definitions say, besides reading DerivedCoreProperties.txt);
- Python's own str.lower() and bytes.decode(), for every code point that
  Python's unicodedata also knows (it may be of an older Unicode version).

Every code point is checked (surrogates excepted): the three character
classes, the lower form of the character alone, and the sigma form in three
contexts. Then texts, fixed and random, go through to_lower, decode,
count_code_points, trim_white_space, lower_equals and ascii_iequals.

Usage: python tests/native/unicode_check.py [--sanitize] [--ucd DIR] [--cxx CXX] [--seed N] [--driver EXE]
Exit status 0 when everything matched.
"""

from __future__ import annotations

import argparse
import codecs
import os
import random
import subprocess
import sys
import tempfile
import unicodedata

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIGMA = "\u03a3"
MAX_CP = 0x10FFFF


def is_surrogate(cp: int) -> bool:
    return 0xD800 <= cp <= 0xDFFF


# ---- Reading the database files. ----

def data_lines(path: str):
    with open(path, encoding="utf-8") as f:
        for line in f:
            data = line.split("#", 1)[0].strip()
            if data:
                yield [x.strip() for x in data.split(";")]


def cp_range(field: str) -> range:
    lo, _, hi = field.partition("..")
    return range(int(lo, 16), int(hi or lo, 16) + 1)


def property_sets(path: str) -> dict[str, set[int]]:
    out: dict[str, set[int]] = {}
    for fields in data_lines(path):
        out.setdefault(fields[1], set()).update(cp_range(fields[0]))
    return out


class Ucd:
    def __init__(self, directory: str):
        self.category: dict[int, str] = {}
        self.simple_lower: dict[int, int] = {}
        first = None
        with open(os.path.join(directory, "UnicodeData.txt"), encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split(";")
                cp = int(fields[0], 16)
                if fields[1].endswith("First>"):
                    first = cp
                    continue
                lo = first if fields[1].endswith("Last>") else cp
                first = None
                for c in range(lo, cp + 1):
                    self.category[c] = fields[2]
                if fields[13]:
                    self.simple_lower[cp] = int(fields[13], 16)
        self.special_lower: dict[int, list[int]] = {}
        for fields in data_lines(os.path.join(directory, "SpecialCasing.txt")):
            if len(fields) > 4 and fields[4]:
                continue  # conditional mapping
            self.special_lower[int(fields[0], 16)] = [int(x, 16) for x in fields[1].split()]
        self.props = property_sets(os.path.join(directory, "PropList.txt"))
        self.derived = property_sets(os.path.join(directory, "DerivedCoreProperties.txt"))
        self.word_break = property_sets(os.path.join(directory, "auxiliary", "WordBreakProperty.txt"))

    def gc(self, cp: int) -> str:
        return self.category.get(cp, "Cn")

    def lower(self, cp: int) -> list[int]:
        if cp in self.special_lower:
            return self.special_lower[cp]
        return [self.simple_lower.get(cp, cp)]


# ---- Running the driver. ----

def build_driver(out_dir: str, cxx: str, sanitize: bool) -> str:
    exe = os.path.join(out_dir, "unicode_check")
    cmd = [cxx, "-std=c++20", "-Wall", "-Wextra", "-Werror",
           "-I", os.path.join(REPO_ROOT, "src", "core"),
           os.path.join(REPO_ROOT, "tests", "native", "unicode_check.cpp"),
           os.path.join(REPO_ROOT, "src", "core", "unicode", "unicode.cpp"),
           "-o", exe]
    if sanitize:
        cmd[1:1] = ["-O1", "-g", "-fsanitize=address,undefined", "-fno-omit-frame-pointer",
                    "-fno-sanitize-recover=undefined"]
    else:
        cmd[1:1] = ["-O2"]
    print("building:", " ".join(cmd))
    subprocess.run(cmd, check=True)
    return exe


def run_driver(exe: str, mode: str, stdin_text: str = "") -> list[str]:
    proc = subprocess.run([exe, mode], input=stdin_text.encode("ascii"), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if proc.stderr:
        sys.stderr.write(proc.stderr.decode("utf-8", "replace"))
    if proc.returncode != 0:
        raise SystemExit(f"driver '{mode}' exited with status {proc.returncode}")
    return proc.stdout.decode("ascii").splitlines()


# ---- Comparison bookkeeping. ----

class Results:
    def __init__(self):
        self.counts: dict[str, list[int]] = {}
        self.examples: dict[str, list[str]] = {}

    def check(self, name: str, ok: bool, detail) -> None:
        c = self.counts.setdefault(name, [0, 0])
        c[0 if ok else 1] += 1
        if not ok:
            ex = self.examples.setdefault(name, [])
            if len(ex) < 15:
                ex.append(detail() if callable(detail) else str(detail))

    def report(self) -> bool:
        total_ok = total_bad = 0
        for name, (ok, bad) in self.counts.items():
            print(f"{name:50} {ok:8} matched {bad:6} differ")
            for ex in self.examples.get(name, []):
                print("    " + ex)
            total_ok += ok
            total_bad += bad
        print(f"{total_ok} passed, {total_bad} failed")
        return total_bad == 0


# ---- Per code point. ----

def check_code_points(exe: str, ucd: Ucd, res: Results) -> None:
    gc = ucd.gc
    letters = {"Lu", "Ll", "Lt", "Lm", "Lo"}
    other_alpha = ucd.props["Other_Alphabetic"]
    lowercase = {cp for cp, g in ucd.category.items() if g == "Ll"} | ucd.props["Other_Lowercase"]
    uppercase = {cp for cp, g in ucd.category.items() if g == "Lu"} | ucd.props["Other_Uppercase"]
    cased = lowercase | uppercase | {cp for cp, g in ucd.category.items() if g == "Lt"}
    case_ignorable = ({cp for cp, g in ucd.category.items() if g in ("Mn", "Me", "Cf", "Lm", "Sk")}
                      | ucd.word_break["MidLetter"] | ucd.word_break["MidNumLet"]
                      | ucd.word_break["Single_Quote"])
    alphabetic = {cp for cp, g in ucd.category.items() if g in letters or g == "Nl"} | other_alpha

    # The derivations above must reproduce the derived file; if they do not,
    # this script's reading of the definitions is wrong, not the module.
    for name, mine in (("Alphabetic", alphabetic), ("Cased", cased), ("Case_Ignorable", case_ignorable)):
        res.check(f"derivation of {name} equals the UCD file", mine == ucd.derived[name],
                  lambda: f"{name}: {len(mine ^ ucd.derived[name])} code points differ")
    white = ucd.props["White_Space"]
    res.check("White_Space is the 25 known code points", white == (
        set(range(0x09, 0x0E)) | {0x20, 0x85, 0xA0, 0x1680} | set(range(0x2000, 0x200B))
        | {0x2028, 0x2029, 0x202F, 0x205F, 0x3000}), sorted(white))

    lines = run_driver(exe, "dump")
    expected_count = MAX_CP + 1 - 0x800
    res.check("dump has one line per code point", len(lines) == expected_count,
              f"{len(lines)} lines, expected {expected_count}")

    for line in lines:
        hex_cp, flags, lower_hex, sigma = line.split(" ")
        cp = int(hex_cp, 16)
        c = chr(cp)
        lower = [int(x, 16) for x in lower_hex.split(".")]
        alpha, numeric, ws = (f == "1" for f in flags)
        g = gc(cp)

        res.check("is_alphabetic vs UCD", alpha == (cp in alphabetic), lambda: f"U+{cp:04X} gives {alpha}")
        res.check("is_numeric vs UCD category", numeric == (g in ("Nd", "Nl", "No")),
                  lambda: f"U+{cp:04X} ({g}) gives {numeric}")
        res.check("is_white_space vs UCD", ws == (cp in white), lambda: f"U+{cp:04X} gives {ws}")
        res.check("to_lower vs UCD", lower == ucd.lower(cp),
                  lambda: f"U+{cp:04X} gives {lower_hex}, expected {ucd.lower(cp)}")

        ci, cs = cp in case_ignorable, cp in cased
        exp_sigma = ("f" if ci or cs else "s") + ("s" if cs and not ci else "f") + ("f" if cs and not ci else "s")
        res.check("final sigma vs UCD Cased/Case_Ignorable", sigma == exp_sigma,
                  lambda: f"U+{cp:04X} gives {sigma}, expected {exp_sigma}")

        # Python's database, where it knows the code point.
        py_gc = unicodedata.category(c)
        if py_gc == "Cn":
            continue
        res.check("is_numeric vs Python unicodedata", numeric == (py_gc in ("Nd", "Nl", "No")),
                  lambda: f"U+{cp:04X} ({py_gc}) gives {numeric}")
        if c.isalpha():
            res.check("Python isalpha implies is_alphabetic", alpha, f"U+{cp:04X}")
        res.check("to_lower vs Python str.lower", lower == [ord(x) for x in c.lower()],
                  lambda: f"U+{cp:04X} gives {lower_hex}, Python {[hex(ord(x)) for x in c.lower()]}")
        py_sigma = "".join("f" if x == "\u03c2" else "s" for x in (
            ("A" + c + SIGMA).lower()[-1], ("A" + SIGMA + c).lower()[1], (c + SIGMA).lower()[-1]))
        res.check("final sigma vs Python str.lower", sigma == py_sigma,
                  lambda: f"U+{cp:04X} gives {sigma}, Python {py_sigma}")


# ---- Texts. ----

def to_hex(b: bytes) -> str:
    return b.hex().upper() if b else "-"


_spans: list[tuple[int, int]] = []


def _record_span(e: UnicodeDecodeError):
    _spans.append((e.start, e.end))
    return ("\ufffd", e.end)


codecs.register_error("unicode-check-spans", _record_span)


def units(b: bytes) -> list[tuple[int, int, int]]:
    """(code point, start, end) of each decoding step, malformed parts as U+FFFD
    over Python's error spans (the maximal valid prefix of a sequence)."""
    _spans.clear()
    text = b.decode("utf-8", "unicode-check-spans")
    span_end = dict(_spans)
    out = []
    pos = 0
    for ch in text:
        if ch == "\ufffd" and pos in span_end:
            end = span_end[pos]
        else:
            end = pos + len(ch.encode("utf-8"))
        out.append((ord(ch), pos, end))
        pos = end
    assert pos == len(b)
    return out


def expected_lower(b: bytes) -> bytes:
    """Python's lower-casing, malformed bytes kept as they are."""
    us = units(b)
    replaced = "".join(chr(cp) for cp, _, _ in us)
    whole = replaced.lower()
    out = []
    k = 0  # index of the current unit's lower form in `whole`
    for cp, start, end in us:
        ch = chr(cp)
        if ch == SIGMA:
            piece = whole[k]
        else:
            piece = ch.lower()
        if cp == 0xFFFD and b[start:end] != "\ufffd".encode():
            out.append(b[start:end])
        else:
            out.append(piece.encode("utf-8"))
        k += len(piece)
    assert k == len(whole)
    return b"".join(out)


def expected_trim(b: bytes, white: set[int]) -> str:
    """Byte offsets of the trimmed view; an all-white text trims to its end."""
    us = units(b)
    i, j = 0, len(us)
    while i < j and us[i][0] in white:
        i += 1
    while j > i and us[j - 1][0] in white:
        j -= 1
    if i == j:
        return f"{len(b)} {len(b)}"
    return f"{us[i][1]} {us[j - 1][2]}"


def ascii_fold(b: bytes) -> bytes:
    return bytes(x + 32 if 0x41 <= x <= 0x5A else x for x in b)


def text_cases(rng: random.Random, stable: list[str]) -> list[bytes]:
    fixed = [
        "ΣΑΣ", "Σ", "AΣ", "AΣB", "AΣ.", "A.Σ", "A.Σ.", ".Σ", "Σ.", "ΑΣ'", "Α'Σ", "ΑΣ:Β", "ΑΣ:",
        "ΣΣ", "ΣΣΣ", "ΑΣΣ", "ΑΣ Σ", "ΟΔΥΣΣΕΥΣ", "ὈΔΥΣΣΕΎΣ", "ΑΣ\u0301", "Α\u0301Σ", "ΑΣ\u0301Β",
        "1\u0345Σ", "Α\u0345Σ", "ΑΣ\u0345", "ΑΣ\u0345Β", "ΑΣ\u02b0", "\u02b0Σ", "ΑΣ\u00ad", "Α\u00adΣ",
        "ΑΣ\U000E0001", "Σ1", "1Σ", "ΑΣ1", "ΑΣ\ufffd", "\u212a", "brea\u212a", "BREAK", "İ", "İstanbul",
        "ẞ", "ß", "ŉ", "ǰ", "ΐ", "ᾈ", "ﬁ", "Ǆ", "ǅ", "ǆ", "𐐀", "𞤀", "Ⓐ", "Ⅻ", "", "abc", "ABC",
        "x²", "é", "É日本", " \u00a0x\u2028", "\u0085\u3000", "\u1680\u205f\u202f",
    ]
    out = [t.encode("utf-8") for t in fixed]
    # Malformed and truncated UTF-8, alone and around characters.
    malformed = [b"\x80", b"\xbf", b"\xc0\x80", b"\xc1\xbf", b"\xc2", b"\xc2\x41", b"\xe0\x80\x80",
                 b"\xe0\xa0", b"\xe2\x82", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xef\xbf", b"\xf0\x80\x80\x80",
                 b"\xf0\x90\x80", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xfe",
                 b"\xf0\x9f\x98", b"\xc3\xa9\x80", b"\xe2\x82\xac\xac"]
    for m in malformed:
        out += [m, b"A" + m, m + b"Z", "Α".encode() + m + SIGMA.encode(), "ΑΣ".encode() + m,
                m + SIGMA.encode(), b" " + m + b" "]
    byte_pool = [0x00, 0x20, 0x41, 0x61, 0x7F, 0x80, 0x85, 0x8F, 0x90, 0x9F, 0xA0, 0xA3, 0xBF,
                 0xC0, 0xC1, 0xC2, 0xCE, 0xDF, 0xE0, 0xE1, 0xE2, 0xED, 0xEE, 0xEF, 0xF0, 0xF1,
                 0xF4, 0xF5, 0xFF]
    for _ in range(4000):
        out.append(bytes(rng.choice(byte_pool) for _ in range(rng.randint(0, 8))))
    for _ in range(6000):
        out.append("".join(rng.choice(stable) for _ in range(rng.randint(0, 8))).encode("utf-8"))
    return out


def check_texts(exe: str, ucd: Ucd, res: Results, seed: int) -> None:
    rng = random.Random(seed)
    white = ucd.props["White_Space"]
    # Characters whose case data Python's database shares with the tables
    # (checked per code point above), with the interesting ones weighted up.
    interesting = (["A", "a", "Z", SIGMA, SIGMA, SIGMA, "σ", "ς", ".", "'", ":", "^", "`", " ", "1",
                    "\u0345", "\u0300", "\u0301", "\u02b0", "\u00ad", "\u0130", "\u212a", "\u00df",
                    "\u1e9e", "\u0390", "\u1f88", "\ufb01", "\u2028", "\u00a0", "\u0085", "\u3000",
                    "\u1680", "\U00010400", "\U000e0001", "\u00e9", "\u00c9", "\u0391", "\u0399",
                    "\u0149", "\u01c5", "\u2160", "\u24b6", "\u00b2", "\u65e5", "\ufffd", "\t", "\n"])
    stable = interesting * 3 + [chr(cp) for cp in rng.sample(range(0x80, 0x3000), 300)
                                if unicodedata.category(chr(cp)) != "Cn" and ucd.gc(cp) != "Cn"]

    texts = text_cases(rng, stable)
    requests: list[str] = []
    expect: list[tuple[str, str, object]] = []
    for b in texts:
        h = to_hex(b)
        us = units(b)
        requests.append(f"lower {h}")
        expect.append(("to_lower", h, to_hex(expected_lower(b))))
        requests.append(f"decode {h}")
        expect.append(("decode", h, " ".join(f"{cp:X}:{e - s}" for cp, s, e in us) or "-"))
        requests.append(f"count {h}")
        expect.append(("count_code_points", h, str(len(us))))
        requests.append(f"trim {h}")
        expect.append(("trim_white_space", h, expected_trim(b, white)))
        # Python's own lower-casing of the whole text, for well-formed texts.
        try:
            s = b.decode("utf-8")
        except UnicodeDecodeError:
            continue
        requests.append(f"lower {h}")
        expect.append(("to_lower of texts vs Python str.lower", h, to_hex(s.lower().encode("utf-8"))))

    words = ["break", "begin", "end", "if", "set", "string", "kind", "ask", "i", "k", "s", "ss",
             "strict", "class", "", "x"]
    subst = {"k": ["K", "\u212a"], "s": ["S", "\u017f"], "i": ["I", "\u0130", "\u0131"],
             "e": ["E", "\u00e9", "\u0415"], "a": ["A", "\u0391"], "t": ["T"], "r": ["R"],
             "n": ["N"], "b": ["B"], "g": ["G"], "d": ["D"], "f": ["F"], "c": ["C"], "l": ["L"],
             "x": ["X", "\u0445"]}
    leq_cases: list[tuple[bytes, bytes]] = [("brea\u212a".encode(), b"break"), (b"BREAK", b"break"),
                                            (b"Break", b"break"), (b"break", b"brea"), (b"", b""),
                                            (b"", b"a"), ("\u212a".encode(), b"k"),
                                            ("\u0130f".encode(), b"if"), ("ß".encode(), b"ss"),
                                            ("\u017fet".encode(), b"set"), (b"@", b"`"), (b"[", b"{")]
    for _ in range(3000):
        w = rng.choice(words)
        t = "".join(rng.choice(subst.get(ch, [ch]) + [ch, ch]) for ch in w)
        r = rng.random()
        if r < 0.1:
            t += rng.choice(["x", "\u0301", " ", SIGMA])
        elif r < 0.2 and t:
            t = t[:-1]
        leq_cases.append((t.encode(), w.encode()))
    for t, w in leq_cases:
        requests.append(f"leq {to_hex(t)} {to_hex(w)}")
        expect.append(("lower_equals", f"{t!r} {w!r}", "1" if expected_lower(t) == w else "0"))

    aieq_cases: list[tuple[bytes, bytes]] = [(b"", b""), (b"a", b""), (b"@", b"`"), (b"[", b"{"),
                                             (b"]", b"}"), (b"^", b"~"), (b"_", b"\x7f"),
                                             ("é".encode(), "É".encode()), ("\u212a".encode(), b"k"),
                                             (b"Begin", b"bEGIN"), (b"Z", b"z"), (b"A", b"a")]
    ascii_pool = [bytes([x]) for x in range(0x20, 0x7F)] + [b"\xc3\xa9", b"\xc3\x89", b"\x80"]
    for _ in range(3000):
        a = b"".join(rng.choice(ascii_pool) for _ in range(rng.randint(0, 5)))
        r = rng.random()
        if r < 0.5:
            bb = bytes(x ^ 0x20 if rng.random() < 0.5 and (0x41 <= x <= 0x5A or 0x61 <= x <= 0x7A)
                       else x for x in a)
        elif r < 0.8:
            bb = bytes(x ^ 0x20 if rng.random() < 0.3 else x for x in a)
        else:
            bb = b"".join(rng.choice(ascii_pool) for _ in range(rng.randint(0, 5)))
        aieq_cases.append((a, bb))
    for a, bb in aieq_cases:
        requests.append(f"aieq {to_hex(a)} {to_hex(bb)}")
        expect.append(("ascii_iequals", f"{a!r} {bb!r}", "1" if ascii_fold(a) == ascii_fold(bb) else "0"))

    answers = run_driver(exe, "ops", "\n".join(requests) + "\n")
    res.check("one answer per request", len(answers) == len(requests),
              f"{len(answers)} answers to {len(requests)} requests")
    for (name, what, exp), got in zip(expect, answers):
        res.check(name, got == exp, lambda: f"{what}: got {got}, expected {exp}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sanitize", action="store_true", help="build with AddressSanitizer and UBSan")
    ap.add_argument("--ucd", default="/usr/share/unicode", help="Unicode Character Database directory")
    ap.add_argument("--cxx", default=os.environ.get("CXX", "g++"))
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--driver", help="a built unicode_check program to run instead of building one")
    args = ap.parse_args()

    print(f"Python {sys.version.split()[0]}, unicodedata {unicodedata.unidata_version}")
    ucd = Ucd(args.ucd)
    res = Results()
    with tempfile.TemporaryDirectory() as tmp:
        exe = args.driver or build_driver(tmp, args.cxx, args.sanitize)
        check_code_points(exe, ucd, res)
        check_texts(exe, ucd, res, args.seed)
    return 0 if res.report() else 1


if __name__ == "__main__":
    sys.exit(main())
