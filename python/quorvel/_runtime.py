"""Stand-in for the package's runtime module: the FlatBuffer input exceptions."""


class InvalidBufferError(ValueError):
    """A FlatBuffer whose bytes are in range but malformed."""


class BufferBoundsError(InvalidBufferError):
    """A FlatBuffer read that falls outside the buffer, or an offset that overflows."""
