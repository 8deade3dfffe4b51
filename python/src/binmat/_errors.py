"""The exceptions binmat raises besides the built-in ones."""


class FormatError(ValueError):
    """Bytes that are not a whole binary matrix file.

    ``problem`` names what is wrong ("row_cut_short", "titles_cut_short", ...) and ``offset`` is the
    byte offset, from where reading began, at which the file stops making sense.
    """

    def __init__(self, message, problem, offset):
        super().__init__(message, problem, offset)
        self.problem = problem
        self.offset = offset

    def __str__(self):
        return self.args[0]


class FileChangedError(OSError):
    """A file replaced, resized or rewritten since it was opened: reading on would mix the data of
    two files. ``errno`` is ``errno.ESTALE`` and ``filename`` names the file."""


FormatError.__module__ = "binmat"
FileChangedError.__module__ = "binmat"
