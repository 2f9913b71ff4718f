"""Object Pascal (Delphi) lexer and parser producing line-oriented texts."""

__all__ = ["version", "lex_to_serialized", "parse_to_serialized"]

def version() -> str:
    """Version of the native package."""

def lex_to_serialized(text: str, _file_name: str) -> str:
    """Lex Delphi source and return serialized tokens, one `KIND VALUE LINE:COL` line each."""

def parse_to_serialized(text: str, file_name: str) -> str:
    """Parse Delphi source and return the syntax tree, one line per node."""

class PanicException(BaseException):
    """An internal fault of the extension; never caused by the Pascal source."""
