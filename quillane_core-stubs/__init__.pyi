# Type stubs for the native module quillane_core (PEP 561 stub-only package,
# installed beside the extension module by the wheel).
from typing import Never, TypeVar, final

__all__ = ["compile_schema", "NativeValidator"]

_T = TypeVar("_T")

@final
class NativeValidator:
    """A compiled validator tree; made only by compile_schema(), never constructed directly."""

    def __new__(cls, *, made_by_compile_schema_only: Never) -> Never:
        """Raises TypeError. The argument, which no value can fill, makes type checkers reject the call."""

    def validate(self, data: _T) -> _T | None:
        """Return `data` itself when it conforms, else None."""

    def collect(self, data: object) -> list[tuple[str, str, object]] | None:
        """Return every violation as (path, message, value), or None when the data is left undecided."""

def compile_schema(schema: object) -> NativeValidator | None:
    """Compile a schema of validator objects and field-map dicts; None when it cannot be compiled natively."""
