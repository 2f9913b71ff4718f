"""Limits of the parser that the tests derive their figures from."""

MAX_DEPTH = 256  # the nesting limit of the parser, as documented in the README's limits
