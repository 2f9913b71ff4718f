#!/usr/bin/env python3
"""Generates src/core/unicode/unicode_tables.inc from the Unicode Character Database.

Reads UnicodeData.txt, DerivedCoreProperties.txt, PropList.txt and
SpecialCasing.txt (Debian's unicode-data package installs them under
/usr/share/unicode) and writes C++ tables:

- sorted, non-overlapping, merged [lo, hi] ranges for Alphabetic, numeric
  (general category Nd, Nl or No), White_Space, Cased and Case_Ignorable;
- the full default lower-case mapping: the simple mapping of UnicodeData.txt
  (field 13) overridden by the unconditional mappings of SpecialCasing.txt.
  Mappings to one code point are stored as runs of equal delta (stride 1 or
  2); mappings to several code points are listed one by one.

The output depends on the database files only, so regenerating it from the
same files gives the same bytes.

Usage: python tools/gen_unicode.py [--ucd DIR] [--output FILE]
"""

from __future__ import annotations

import argparse
import os
import re
import sys

COMMAND = "python tools/gen_unicode.py"
MAX_CODE_POINT = 0x10FFFF
MAX_LOWER_LENGTH = 3

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_UCD = "/usr/share/unicode"
DEFAULT_OUTPUT = os.path.join(REPO_ROOT, "src", "core", "unicode", "unicode_tables.inc")


class UcdError(Exception):
    pass


def read_lines(path: str) -> list[str]:
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except OSError as e:
        raise UcdError(f"cannot read {path}: {e.strerror}") from e


def file_version(lines: list[str], stem: str, path: str) -> str:
    """The version in a header line such as '# PropList-15.0.0.txt'."""
    pattern = re.compile(r"^#\s*" + re.escape(stem) + r"-(\d+\.\d+\.\d+)\.txt\s*$")
    for line in lines[:5]:
        m = pattern.match(line)
        if m:
            return m.group(1)
    raise UcdError(f"{path}: no '{stem}-X.Y.Z.txt' header line")


def parse_range(field: str, path: str, lineno: int) -> tuple[int, int]:
    parts = field.strip().split("..")
    try:
        lo = int(parts[0], 16)
        hi = int(parts[-1], 16)
    except ValueError as e:
        raise UcdError(f"{path}:{lineno}: bad code point range {field.strip()!r}") from e
    if len(parts) > 2 or lo > hi or hi > MAX_CODE_POINT:
        raise UcdError(f"{path}:{lineno}: bad code point range {field.strip()!r}")
    return lo, hi


def property_ranges(lines: list[str], path: str, names: set[str]) -> dict[str, list[tuple[int, int]]]:
    """Ranges of the binary properties `names` in a PropList-style file."""
    found: dict[str, list[tuple[int, int]]] = {name: [] for name in names}
    for lineno, line in enumerate(lines, 1):
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        fields = [f.strip() for f in data.split(";")]
        if len(fields) < 2:
            raise UcdError(f"{path}:{lineno}: expected 'range ; property'")
        if fields[1] in names:
            found[fields[1]].append(parse_range(fields[0], path, lineno))
    for name, ranges in found.items():
        if not ranges:
            raise UcdError(f"{path}: property {name} not found")
    return found


def merge(ranges: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """Sorted ranges with overlapping and adjacent ones joined."""
    out: list[tuple[int, int]] = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            if hi > out[-1][1]:
                out[-1] = (out[-1][0], hi)
        else:
            out.append((lo, hi))
    return out


def parse_unicode_data(lines: list[str], path: str):
    """Numeric ranges and simple lower-case mappings from UnicodeData.txt."""
    numeric: list[tuple[int, int]] = []
    lower: dict[int, int] = {}
    first: tuple[int, str] | None = None
    for lineno, line in enumerate(lines, 1):
        if not line.strip():
            continue
        fields = line.split(";")
        if len(fields) != 15:
            raise UcdError(f"{path}:{lineno}: expected 15 fields, found {len(fields)}")
        try:
            cp = int(fields[0], 16)
        except ValueError as e:
            raise UcdError(f"{path}:{lineno}: bad code point {fields[0]!r}") from e
        name, category = fields[1], fields[2]
        if name.endswith(", First>"):
            first = (cp, category)
            continue
        lo = cp
        if name.endswith(", Last>"):
            if first is None or first[1] != category:
                raise UcdError(f"{path}:{lineno}: range end without its start")
            lo = first[0]
        first = None
        if category in ("Nd", "Nl", "No"):
            numeric.append((lo, cp))
        if fields[13]:
            if lo != cp:
                raise UcdError(f"{path}:{lineno}: lower-case mapping on a range")
            lower[cp] = int(fields[13], 16)
    if first is not None:
        raise UcdError(f"{path}: range start without its end")
    return numeric, lower


def parse_special_lower(lines: list[str], path: str) -> dict[int, tuple[int, ...]]:
    """Unconditional full lower-case mappings (lines without a condition field)."""
    special: dict[int, tuple[int, ...]] = {}
    for lineno, line in enumerate(lines, 1):
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        fields = [f.strip() for f in data.split(";")]
        # code; lower; title; upper; [condition;] -- the trailing ';' leaves an
        # empty last field.
        if fields and fields[-1] == "":
            fields.pop()
        if len(fields) not in (4, 5):
            raise UcdError(f"{path}:{lineno}: expected 4 or 5 fields")
        if len(fields) == 5 and fields[4]:
            continue  # language- or context-dependent mapping
        try:
            cp = int(fields[0], 16)
            mapping = tuple(int(x, 16) for x in fields[1].split())
        except ValueError as e:
            raise UcdError(f"{path}:{lineno}: bad code point") from e
        if not 1 <= len(mapping) <= MAX_LOWER_LENGTH:
            raise UcdError(f"{path}:{lineno}: lower-case mapping of {len(mapping)} code points")
        special[cp] = mapping
    return special


def lower_runs(single: dict[int, int]) -> list[tuple[int, int, int, int]]:
    """(lo, hi, delta, stride) runs covering exactly the keys of `single`.

    Within a run every code point lo, lo + stride, ..., hi maps to itself plus
    delta; the code points skipped by a stride of 2 are not in the run.
    """
    runs: list[list[int]] = []
    for cp in sorted(single):
        delta = single[cp] - cp
        if runs:
            lo, hi, d, stride = runs[-1]
            if d == delta:
                if stride == 0 and cp - hi in (1, 2):
                    runs[-1] = [lo, cp, d, cp - hi]
                    continue
                if stride and cp - hi == stride:
                    runs[-1][1] = cp
                    continue
        runs.append([cp, cp, delta, 0])
    return [(lo, hi, d, stride or 1) for lo, hi, d, stride in runs]


def check_runs(runs, single: dict[int, int]) -> None:
    covered: dict[int, int] = {}
    for lo, hi, delta, stride in runs:
        for cp in range(lo, hi + 1, stride):
            covered[cp] = cp + delta
    if covered != single:
        raise UcdError("internal error: lower-case runs do not reproduce the mapping")


def is_surrogate(cp: int) -> bool:
    return 0xD800 <= cp <= 0xDFFF


def build(ucd: str):
    paths = {name: os.path.join(ucd, name + ".txt")
             for name in ("UnicodeData", "DerivedCoreProperties", "PropList", "SpecialCasing")}
    texts = {name: read_lines(path) for name, path in paths.items()}

    versions = {name: file_version(texts[name], name, paths[name])
                for name in ("DerivedCoreProperties", "PropList", "SpecialCasing")}
    if len(set(versions.values())) != 1:
        raise UcdError("database files of different versions: "
                       + ", ".join(f"{n} {v}" for n, v in sorted(versions.items())))
    version = versions["DerivedCoreProperties"]

    derived = property_ranges(texts["DerivedCoreProperties"], paths["DerivedCoreProperties"],
                              {"Alphabetic", "Cased", "Case_Ignorable"})
    white = property_ranges(texts["PropList"], paths["PropList"], {"White_Space"})
    numeric, simple_lower = parse_unicode_data(texts["UnicodeData"], paths["UnicodeData"])
    special = parse_special_lower(texts["SpecialCasing"], paths["SpecialCasing"])

    full: dict[int, tuple[int, ...]] = {cp: (m,) for cp, m in simple_lower.items()}
    full.update(special)
    full = {cp: m for cp, m in full.items() if m != (cp,)}
    for cp, m in full.items():
        if is_surrogate(cp) or any(is_surrogate(x) or x > MAX_CODE_POINT for x in m):
            raise UcdError(f"lower-case mapping of U+{cp:04X} is not a scalar value")

    single = {cp: m[0] for cp, m in full.items() if len(m) == 1}
    multi = {cp: m for cp, m in full.items() if len(m) > 1}
    runs = lower_runs(single)
    check_runs(runs, single)

    tables = [
        ("alphabetic_ranges", "Alphabetic (DerivedCoreProperties.txt)", merge(derived["Alphabetic"])),
        ("numeric_ranges", "general category Nd, Nl or No (UnicodeData.txt)", merge(numeric)),
        ("white_space_ranges", "White_Space (PropList.txt)", merge(white["White_Space"])),
        ("cased_ranges", "Cased (DerivedCoreProperties.txt)", merge(derived["Cased"])),
        ("case_ignorable_ranges", "Case_Ignorable (DerivedCoreProperties.txt)",
         merge(derived["Case_Ignorable"])),
    ]
    return version, tables, runs, multi


def render(version: str, tables, runs, multi) -> str:
    out: list[str] = []
    out.append(f"// Generated by \"{COMMAND}\" from the Unicode Character Database "
               f"{version}; do not edit.")
    out.append("// Included by unicode.cpp, which declares CodePointRange, LowerRun and LowerMulti.")
    out.append("")
    out.append(f"inline constexpr char unicode_version[] = \"{version}\";")
    for name, what, ranges in tables:
        out.append("")
        out.append(f"// {what}: {len(ranges)} ranges, "
                   f"{sum(hi - lo + 1 for lo, hi in ranges)} code points.")
        out.append(f"inline constexpr CodePointRange {name}[] = {{")
        items = [f"{{0x{lo:04X}, 0x{hi:04X}}}," for lo, hi in ranges]
        for i in range(0, len(items), 4):
            out.append("    " + " ".join(items[i:i + 4]))
        out.append("};")

    out.append("")
    out.append("// Lower-case mappings to one code point, as runs: lo, lo + stride, ..., hi")
    out.append("// map to themselves plus delta. Simple mappings of UnicodeData.txt with the")
    out.append(f"// unconditional ones of SpecialCasing.txt in their place: {len(runs)} runs, "
               f"{sum((hi - lo) // s + 1 for lo, hi, _, s in runs)} code points.")
    out.append("inline constexpr LowerRun lower_runs[] = {")
    for lo, hi, delta, stride in runs:
        out.append(f"    {{0x{lo:04X}, 0x{hi:04X}, {delta}, {stride}}},")
    out.append("};")

    out.append("")
    out.append("// Unconditional lower-case mappings of SpecialCasing.txt to several code")
    out.append(f"// points, unused places 0: {len(multi)} "
               f"{'entry' if len(multi) == 1 else 'entries'}.")
    out.append("inline constexpr LowerMulti lower_multi[] = {")
    for cp in sorted(multi):
        m = list(multi[cp]) + [0] * (MAX_LOWER_LENGTH - len(multi[cp]))
        out.append(f"    {{0x{cp:04X}, {{" + ", ".join(f"0x{x:04X}" for x in m) + "}},")
    if not multi:
        # A zero-length array is not valid C++; an entry of code point 0 is never asked for.
        out.append("    {0x0000, {0x0000, 0x0000, 0x0000}},")
    out.append("};")
    return "\n".join(out) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Generate the Unicode tables of the core library.")
    parser.add_argument("--ucd", default=DEFAULT_UCD,
                        help="directory of the Unicode Character Database files (default %(default)s)")
    parser.add_argument("--output", default=DEFAULT_OUTPUT,
                        help="file to write (default src/core/unicode/unicode_tables.inc)")
    args = parser.parse_args(argv)
    try:
        text = render(*build(args.ucd))
    except UcdError as e:
        print(f"gen_unicode: {e}", file=sys.stderr)
        return 1
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
