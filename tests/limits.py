"""Limits of a call that the tests derive their figures from, as the README's
limits state them."""

import math

OUTPUT_LIMIT_BASE = 1 << 30  # bytes of tree text any call may produce
OUTPUT_LIMIT_PER_BYTE = 64  # more bytes of tree text per byte of source
REFUSED = "^the syntax tree text of this input would exceed the output limit$"


def output_limit(source_bytes):
    return OUTPUT_LIMIT_BASE + OUTPUT_LIMIT_PER_BYTE * source_bytes


def max_nesting(source_bytes):
    """The deepest nesting of statements, types and routines whose tree text
    can fit the output limit: the largest D with D * (D - 1) within it."""
    limit = output_limit(source_bytes)
    d = math.isqrt(limit) + 1
    while d * (d - 1) > limit:
        d -= 1
    return d
