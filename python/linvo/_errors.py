"""Dispatch failures as exceptions."""

from . import _capi

QUOTE_LIMIT = 64  # characters of caller text an error message shows


def quoted(text):
    """Caller text (str or bytes) as an error message shows it: escaped as repr() does, at most
    QUOTE_LIMIT characters of it followed by "..." when it is longer, so that no input makes a
    message long, cut or unprintable."""
    return repr(text[:QUOTE_LIMIT]) + ("..." if len(text) > QUOTE_LIMIT else "")


class DispatchError(Exception):
    """A call the library refused: code is its status (an HRESULT, negative as a signed 32-bit
    number, e.g. linvo.E_TYPEMISMATCH), message its text."""

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = code
        self.message = message

    @property
    def hresult(self):
        """The code as the unsigned number hosts print, e.g. 0x80020005."""
        return self.code & 0xFFFFFFFF

    def __str__(self):
        return f"{self.message} (0x{self.hresult:08X})"


def check(status):
    """Raises DispatchError with the thread's error text unless status is OK."""
    if status != _capi.OK:
        text = _capi.lib.lvo_last_error_text()
        raise DispatchError(status, text.decode("utf-8", "replace") if text else "")
