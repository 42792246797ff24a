"""Length-delimited message streams, read and written by the C++ stream
library (common_dto/stream/framing.h) through the extension module.

Each message is preceded by its serialized size as a base-128 varint and
followed by nothing else: the convention of protobuf's delimited-message
utilities (C++ SerializeDelimitedToZeroCopyStream, Java writeDelimitedTo). A
RayStreamMessage holding an empty RayEnd is the bytes 2a 00; framed it is
02 2a 00.

Reading never trusts a length prefix: a length above ``max_message_size``
(256 MiB unless told otherwise) is an error before anything is read for it,
and only one message is held at a time. Every message before a damaged frame
is delivered; the damaged frame raises :class:`StreamError` naming the
message's index (0-based) and the byte offset of its length prefix::

    message 3 at byte offset 1234: truncated: length 500 runs past the end
    of the input (120 bytes left)

A frame whose bytes do not parse names the field at fault (for paths and
bytes; a file object's frames cannot be read twice and get the generic text).

Writing refuses, naming the field, a message with a string that is not valid
UTF-8 (its peers could not parse it). The Python runtimes already reject such
strings on assignment, so this is a last line of defence.
"""

import os

from . import _core
from ._schema import ray_stream_message_pb2 as _rsm
from .model import Error, Problem

DEFAULT_MAX_MESSAGE_SIZE = _core.DEFAULT_MAX_MESSAGE_SIZE

__all__ = [
    "DEFAULT_MAX_MESSAGE_SIZE",
    "DelimitedReader",
    "DelimitedWriter",
    "StreamError",
    "diagnose",
    "encode_delimited",
    "read_messages",
    "write_messages",
]


class StreamError(Error):
    """A damaged stream, or a message that cannot be written.

    ``code`` says what is wrong (see model.CODES); ``index`` (also
    ``message_index``) is the 0-based number of the message concerned,
    ``offset`` (also ``byte_offset``) the byte offset of its length prefix
    (None for write errors), ``field`` the field at fault where known.
    """

    def __init__(self, text, code, index=None, offset=None, field=None, **location):
        location.setdefault("message_index", index)
        location.setdefault("byte_offset", offset)
        location.setdefault("field", field)
        super().__init__(text, code, **location)

    @property
    def index(self):
        return self.message_index

    @property
    def offset(self):
        return self.byte_offset


def diagnose(message_type, data):
    """The first thing that makes `data` unparsable as `message_type` (see
    DiagnoseWire in framing.h), as a Problem with its code and field path, or
    None when nothing is found."""
    found = _core.diagnose_wire(message_type.DESCRIPTOR.full_name, bytes(data))
    if found is None:
        return None
    code, text, _, path = found
    return Problem(text, code, path or None)


def _open_reader(source, type_name, max_message_size):
    if isinstance(source, (str, os.PathLike)):
        return _core.Reader.from_path(os.fspath(source), type_name, max_message_size)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return _core.Reader.from_bytes(source, type_name, max_message_size)
    return _core.Reader.from_file_object(source, type_name, max_message_size)


class DelimitedReader:
    """Reads length-delimited messages of one type, one at a time.

    ``source`` is a path, a bytes-like object, or a binary file object (read
    sequentially in blocks, never seeked: bytes after the last frame read may
    have been consumed). Iterating yields the messages; a damaged frame raises
    StreamError after all messages before it were yielded, and every later
    read raises the same error again.
    """

    def __init__(self, source, message_type=_rsm.RayStreamMessage,
                 max_message_size=DEFAULT_MAX_MESSAGE_SIZE):
        self._type = message_type
        self._reader = _open_reader(source, message_type.DESCRIPTOR.full_name, max_message_size)

    @property
    def messages_read(self):
        """Messages delivered so far; also the index of the next one."""
        return self._reader.messages_read if self._reader else self._final[0]

    @property
    def byte_offset(self):
        """Offset of the next frame (of the damaged frame after an error)."""
        return self._reader.byte_offset if self._reader else self._final[1]

    def read(self):
        """Returns the next message, or None at a clean end of the input (a
        frame boundary; an empty input is a stream of no messages)."""
        if self._reader is None:
            return None
        data = self._reader.read()
        if data is None:
            self.close()
            return None
        return self._type.FromString(data)

    def read_frame(self):
        """The next frame's bytes, unparsed (None at the end)."""
        return self._reader.read_frame() if self._reader else None

    def __iter__(self):
        while True:
            message = self.read()
            if message is None:
                return
            yield message

    def close(self):
        if self._reader is not None:
            self._final = (self._reader.messages_read, self._reader.byte_offset)
            self._reader = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def read_messages(source, message_type=_rsm.RayStreamMessage,
                  max_message_size=DEFAULT_MAX_MESSAGE_SIZE):
    """Yields the messages of a stream (see DelimitedReader)."""
    with DelimitedReader(source, message_type, max_message_size) as reader:
        yield from reader


def encode_delimited(message, deterministic=True):
    """The frame of one message: its length as a varint, then its bytes."""
    return _core.encode_delimited(message.DESCRIPTOR.full_name, message.SerializeToString(),
                                  deterministic)


class DelimitedWriter:
    """Writes length-delimited messages to a path (created or truncated) or a
    binary file object (not closed by the writer; written to in blocks, all
    of it by flush() and close()).

    ``deterministic`` (the default) writes map entries in key order, so that
    equal messages give equal bytes; False leaves them in the runtime's order.
    """

    def __init__(self, target, deterministic=True, check_utf8=True):
        if isinstance(target, (str, os.PathLike)):
            self._writer = _core.Writer.to_path(os.fspath(target), deterministic, check_utf8)
        else:
            self._writer = _core.Writer.to_file_object(target, deterministic, check_utf8)

    @property
    def messages_written(self):
        return self._writer.messages_written

    @property
    def bytes_written(self):
        """Bytes of frames written so far (length prefixes included)."""
        return self._writer.bytes_written

    def write(self, message):
        """Writes one frame. A message with invalid UTF-8 or above 2 GiB is
        refused with StreamError; nothing of it is written and the writer
        stays usable."""
        self._writer.write(message.DESCRIPTOR.full_name, message.SerializeToString())

    def flush(self):
        self._writer.flush()

    def close(self):
        self._writer.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def write_messages(target, messages, deterministic=True, check_utf8=True):
    """Writes all `messages` to `target` (see DelimitedWriter); returns the
    number of bytes written."""
    with DelimitedWriter(target, deterministic, check_utf8) as writer:
        for message in messages:
            writer.write(message)
    return writer.bytes_written
