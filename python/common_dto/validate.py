"""Validation of messages and ray streams by the C++ validate library
(common_dto/validate/validate.h): what the schema cannot enforce, the rules
`common-dto check` applies.

Findings are records: programs decide by ``code`` (the library's FindingCode
in snake case: "invalid_time", "unresolved_reference", "buffer_rays",
"sequence", "incomplete", "damaged", ...) and ``severity`` ("finding" or
"note"); people read ``location`` and ``text``.
"""

import collections
import os

from . import _core

__all__ = ["Finding", "StreamValidator", "message_place", "validate_message", "validate_stream_file"]

DEFAULT_MAX_BUFFER_SIZE = 256 << 20

Finding = collections.namedtuple("Finding", "code severity location text")


def validate_message(message, strict=False, max_buffer_size=DEFAULT_MAX_BUFFER_SIZE):
    """The findings about one message of any type of the schema."""
    return [Finding(*f) for f in _core.validate_message(
        message.DESCRIPTOR.full_name, message.SerializeToString(), strict, max_buffer_size)]


def validate_stream_file(path, strict=False, max_buffer_size=DEFAULT_MAX_BUFFER_SIZE):
    """The findings about a ray stream file, every message and its
    reassembly; a damaged frame is a "damaged" finding. Raises
    common_dto.model.Error only when the file cannot be opened."""
    return [Finding(*f) for f in _core.validate_stream_file(os.fspath(path), strict,
                                                           max_buffer_size)]


def message_place(index, offset):
    """'message 3 at byte offset 1234': a stream message's place as findings name it."""
    return _core.message_place(index, offset)


class StreamValidator:
    """A ray stream checked message by message (add), with its reassembly;
    finish() gives the verdicts on what is still open."""

    def __init__(self, strict=False, max_buffer_size=DEFAULT_MAX_BUFFER_SIZE):
        self._validator = _core.StreamValidator(strict, max_buffer_size)

    def add(self, message, where):
        return [Finding(*f) for f in self._validator.add(message.SerializeToString(), where)]

    def finish(self):
        return [Finding(*f) for f in self._validator.finish()]
