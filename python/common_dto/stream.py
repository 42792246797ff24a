"""Length-delimited message streams, as the C++ stream library frames them.

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

Writing refuses, naming the field, a message with a string that is not valid
UTF-8 (its peers could not parse it). The Python runtimes already reject such
strings on assignment, so this is a last line of defence.
"""

import io
import os
import warnings

from ._schema import ray_stream_message_pb2 as _rsm
from .model import Error, Problem, check_utf8

DEFAULT_MAX_MESSAGE_SIZE = 256 << 20
# Frames above this cannot be parsed by the protobuf runtime.
_MAX_FRAME = 2**31 - 1 - 16

__all__ = [
    "DEFAULT_MAX_MESSAGE_SIZE",
    "DelimitedReader",
    "DelimitedWriter",
    "StreamError",
    "encode_delimited",
    "parse_whole",
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

    def __init__(self, text, code, index=None, offset=None, field=None):
        super().__init__(text, code, message_index=index, byte_offset=offset, field=field)

    @property
    def index(self):
        return self.message_index

    @property
    def offset(self):
        return self.byte_offset


# ---- Diagnosis of a frame that does not parse ---------------------------------

def _varint(data, pos):
    value = 0
    for i in range(10):
        if pos >= len(data):
            return None, pos
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << (7 * i)
        if not byte & 0x80:
            return value, pos
    return None, pos


def _skip(data, pos, wire_type):
    if wire_type == 0:
        value, pos = _varint(data, pos)
        return pos if value is not None else None
    if wire_type in (1, 5):
        n = 8 if wire_type == 1 else 4
        return pos + n if len(data) - pos >= n else None
    if wire_type == 2:
        size, pos = _varint(data, pos)
        return pos + size if size is not None and size <= len(data) - pos else None
    return None


def _walk(descriptor, data, depth=0):
    """Names the first thing in `data` that makes it unparsable as
    `descriptor`: malformed wire data or invalid UTF-8 in a string field.
    None when nothing is found."""
    pos, end = 0, len(data)
    while pos < end:
        tag, pos = _varint(data, pos)
        if tag is None:
            return "malformed wire data: a malformed tag in a " + descriptor.full_name
        number, wire_type = tag >> 3, tag & 7
        field = descriptor.fields_by_number.get(number) if number > 0 else None
        where = ("field " + field.full_name if field is not None
                 else "field number %d of %s" % (number, descriptor.full_name))
        if wire_type == 0:
            value, pos = _varint(data, pos)
            if value is None:
                return "malformed varint in " + where
        elif wire_type in (1, 5):
            n = 8 if wire_type == 1 else 4
            if end - pos < n:
                return "truncated value in " + where
            pos += n
        elif wire_type == 2:
            size, pos = _varint(data, pos)
            if size is None:
                return "malformed length in " + where
            if size > end - pos:
                return "length %d of %s runs past the end of its message" % (size, where)
            payload = data[pos:pos + size]
            pos += size
            if field is None:
                continue
            if field.type == field.TYPE_STRING:
                try:
                    bytes(payload).decode("utf-8")
                except UnicodeDecodeError:
                    return Problem("invalid UTF-8 in " + where, "invalid_utf8", field.full_name)
            elif field.type == field.TYPE_MESSAGE:
                if depth >= 100:
                    return "nesting too deep in " + where
                inner = _walk(field.message_type, payload, depth + 1)
                if inner:
                    return inner
        elif wire_type == 3:
            if depth >= 100:
                return "nesting too deep in " + where
            level = 1
            while level > 0:
                if pos >= end:
                    return "unterminated group in " + where
                t, pos = _varint(data, pos)
                if t is None:
                    return "malformed tag in a group in " + where
                if t & 7 == 3:
                    # The parser counts each group level against its
                    # recursion limit.
                    level += 1
                    if depth + level > 100:
                        return "groups nested deeper than 100 levels in " + where
                elif t & 7 == 4:
                    level -= 1
                else:
                    pos = _skip(data, pos, t & 7)
                    if pos is None:
                        return "malformed group in " + where
        else:
            return "malformed wire data (wire type %d) at %s" % (wire_type, where)
    return None


def parse_whole(message, data):
    """Parses `data` into `message`; True when all of it parsed. (A zero or
    end-group tag inside the data stops some runtimes' parsers early with only
    a warning; that counts as a failure here, as in the C++ runtime.)"""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            parsed = message.ParseFromString(data)
    except Exception:  # DecodeError, or the warning turned into an error
        return False
    return parsed is None or parsed == len(data)


# ---- Reading --------------------------------------------------------------------

class DelimitedReader:
    """Reads length-delimited messages of one type, one at a time.

    ``source`` is a path, a bytes-like object, or a binary file object (read
    sequentially, never seeked). Iterating yields the messages; a damaged
    frame raises StreamError after all messages before it were yielded, and
    every later read raises the same error again.
    """

    def __init__(self, source, message_type=_rsm.RayStreamMessage,
                 max_message_size=DEFAULT_MAX_MESSAGE_SIZE):
        self._owned = None
        if isinstance(source, (str, os.PathLike)):
            self._file = self._owned = open(source, "rb")
        elif isinstance(source, (bytes, bytearray, memoryview)):
            self._file = io.BytesIO(source)
        else:
            self._file = source
        self._type = message_type
        self._max = min(max_message_size, _MAX_FRAME)
        self.messages_read = 0  # Also the index of the next message.
        self.byte_offset = 0    # Offset of the next frame.
        self._error = None
        self._ended = False

    def _fail(self, code, text, field=None):
        self._error = StreamError("message %d at byte offset %d: %s"
                                  % (self.messages_read, self.byte_offset, text),
                                  code, self.messages_read, self.byte_offset, field)
        raise self._error

    def _read(self, size):
        # Unbuffered files, pipes and sockets may return less than asked for.
        chunks, got = [], 0
        while got < size:
            chunk = self._file.read(size - got)
            if not chunk:
                break
            chunks.append(chunk)
            got += len(chunk)
        return b"".join(chunks)

    def read(self):
        """Returns the next message, or None at a clean end of the input (a
        frame boundary; an empty input is a stream of no messages)."""
        if self._error is not None:
            raise self._error
        if self._ended:
            return None
        size, prefix = 0, 0
        while True:
            byte = self._file.read(1)
            if not byte:
                if prefix == 0:
                    self._ended = True
                    self.close()
                    return None
                self._fail("truncated", "truncated: the length prefix is cut off by the end of the input")
            byte = byte[0]
            if prefix == 9 and byte > 1:
                self._fail("malformed", "malformed length prefix")
            size |= (byte & 0x7F) << (7 * prefix)
            prefix += 1
            if not byte & 0x80:
                break
        if size > self._max:
            self._fail("too_large", "length %d exceeds the maximum message size %d" % (size, self._max))
        data = self._read(size)
        if len(data) < size:
            self._fail("truncated", "truncated: length %d runs past the end of the input (%d bytes left)"
                       % (size, len(data)))
        message = self._type()
        if not parse_whole(message, data):
            detail = Problem(_walk(self._type.DESCRIPTOR, memoryview(data)) or
                             "malformed wire data or invalid UTF-8 in a string field")
            self._fail(detail.code, "unparsable %s (length %d): %s"
                       % (self._type.DESCRIPTOR.full_name, size, detail), detail.field)
        self.messages_read += 1
        self.byte_offset += prefix + size
        return message

    def __iter__(self):
        while True:
            message = self.read()
            if message is None:
                return
            yield message

    def close(self):
        if self._owned is not None:
            self._owned.close()
            self._owned = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def read_messages(source, message_type=_rsm.RayStreamMessage,
                  max_message_size=DEFAULT_MAX_MESSAGE_SIZE):
    """Yields the messages of a stream (see DelimitedReader)."""
    with DelimitedReader(source, message_type, max_message_size) as reader:
        yield from reader


# ---- Writing --------------------------------------------------------------------

def _varint_bytes(value):
    out = bytearray()
    while value > 0x7F:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def encode_delimited(message, deterministic=True):
    """The frame of one message: its length as a varint, then its bytes."""
    data = message.SerializeToString(deterministic=deterministic)
    return _varint_bytes(len(data)) + data


class DelimitedWriter:
    """Writes length-delimited messages to a path (created or truncated) or a
    binary file object (not closed by the writer).

    ``deterministic`` (the default, as in C++) writes map entries in key
    order, so that equal messages give equal bytes and the bytes the C++
    writer writes; False leaves them in the runtime's order.
    """

    def __init__(self, target, deterministic=True, check_utf8=True):
        self._owned = None
        if isinstance(target, (str, os.PathLike)):
            self._file = self._owned = open(target, "wb")
        else:
            self._file = target
        self._deterministic = deterministic
        self._check_utf8 = check_utf8
        self.messages_written = 0
        self.bytes_written = 0

    def write(self, message):
        """Writes one frame. A message with invalid UTF-8 or above 2 GiB is
        refused with StreamError; nothing of it is written and the writer
        stays usable."""
        prefix = "message %d: " % self.messages_written
        if self._file is None:
            raise StreamError(prefix + "the writer is closed", "invalid_argument",
                              self.messages_written)
        if self._check_utf8:
            error = check_utf8(message)
            if error:
                raise StreamError(prefix + error, "invalid_utf8", self.messages_written,
                                  field=error.field)
        data = message.SerializeToString(deterministic=self._deterministic)
        if len(data) > _MAX_FRAME:
            raise StreamError(prefix + "%d bytes exceed the 2 GiB limit" % len(data),
                              "too_large", self.messages_written)
        frame = _varint_bytes(len(data))
        self._file.write(frame)
        self._file.write(data)
        self.messages_written += 1
        self.bytes_written += len(frame) + len(data)

    def flush(self):
        if self._file is not None:
            self._file.flush()

    def close(self):
        if self._owned is not None:
            self._owned.close()
        elif self._file is not None:
            self._file.flush()
        self._file = self._owned = None

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
