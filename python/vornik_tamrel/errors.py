"""The exceptions the package raises for bad input; the CLI prints them without a traceback."""


class InputError(Exception):
    """A user-supplied file or setting cannot be used; the message says which and why."""


class SpectrumFileError(InputError):
    """A spectrum file is unreadable, corrupt, truncated or holds no MS2 spectra."""


class FastaError(InputError):
    """A protein database file is unreadable or holds no usable sequence."""


class OutputError(InputError):
    """The results cannot be written where asked (not a directory, no permission, disk full, ...)."""


class InputWarning(UserWarning):
    """Input that was used only in part: skipped records, renamed duplicates. The CLI prints it on one line."""
