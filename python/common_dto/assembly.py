"""Ray streams to volumes and back, by the C++ stream library.

The mapping between stream messages and a Volume is documented once in the
library's headers: assembler.h (stream to Volume: matching by UUID and ray
index, field by field, completion and what is missing, limits) and
splitter.h (Volume to stream, derived sweep UUIDs, what the stream cannot
carry). This module hands messages to that code as their serialized bytes and
turns its results into Python records: one serialize and one parse per
message on the way in, one per volume (or sweep) on the way out.
:func:`assemble_stream` reads a whole stream in C++ without a Python message
per frame, which is the fast way to read files.

Errors (AssemblyError, the message is then ignored and the assembler stays
usable): an unset payload; a SweepHeader of an unknown volume; a ray-level
message or SweepEnd of an unknown sweep; a duplicate VolumeHeader,
SweepHeader, RayHeader, RayEnd, SweepEnd or ParameterData; a message for a
volume or sweep already closed; an undecodable buffer; a buffer whose byte
order or storage type disagrees with the moment's other rays; a limit of the
assembler's options reached.
"""

import dataclasses
import typing

from . import _core
from . import stream as _stream
from .model import Error, derive_sweep_uuid, format_uuid, parse_uuid  # noqa: F401 (public names)
from ._schema import instrument_data_pb2 as _idata
from ._schema import ray_stream_message_pb2 as _rsm
from ._schema import sweep_pb2 as _sweep
from ._schema import uuid_pb2 as _uuid
from ._schema import volume_config_uri_pb2 as _uri
from ._schema import volume_header_pb2 as _vh
from ._schema import volume_pb2 as _volume

RayStreamMessage = _rsm.RayStreamMessage
Volume = _volume.Volume

__all__ = [
    "AssembledSweep",
    "AssembledVolume",
    "AssemblyError",
    "Assembler",
    "assemble_stream",
    "assemble_volumes",
    "load_volume",
    "split_volume",
    "write_split_volume",
]


class AssemblyError(Error):
    """A stream message that does not fit the volumes assembled so far (code
    "protocol" unless said otherwise), or a volume that cannot be split."""

    def __init__(self, text, code="protocol", **location):
        super().__init__(text, code, **location)


def _timestamp_of(data):
    if data is None:
        return None
    from google.protobuf.timestamp_pb2 import Timestamp
    return Timestamp.FromString(data)


def _bytes_of(message):
    return None if message is None else message.SerializeToString()


# ---- Splitting ------------------------------------------------------------------

def split_volume(volume, compression=None, volume_start=None, volume_end=None, config_uri=None):
    """The ray stream of `volume`, as the C++ splitter makes it.

    Returns (messages, not_carried): the RayStreamMessages in stream order,
    and the fields the stream cannot carry ("sweep 0: task_name", ...).
    `compression` of the per-ray buffers is None, "frame" or "block";
    `volume_start`, `volume_end` (Timestamps) and `config_uri` (a
    VolumeConfigUri sent instead of the inline configuration) go into the
    VolumeHeader and VolumeEnd. A moment buffer whose length does not divide
    into the sweep's rays raises AssemblyError before any message is made.
    """
    frames, not_carried = _core.split_volume(
        volume.SerializeToString(), compression, _bytes_of(volume_start), _bytes_of(volume_end),
        _bytes_of(config_uri))
    return [RayStreamMessage.FromString(frame) for frame in frames], not_carried


def write_split_volume(volume, target, compression=None, volume_start=None, volume_end=None,
                       config_uri=None):
    """Writes the ray stream of `volume` to `target` (a path, a binary file
    object or a stream.DelimitedWriter) without making a Python message per
    frame; returns the not_carried list of split_volume()."""
    writer = target if isinstance(target, _stream.DelimitedWriter) else _stream.DelimitedWriter(target)
    try:
        return _core.split_volume_to(volume.SerializeToString(), writer._writer, compression,
                                     _bytes_of(volume_start), _bytes_of(volume_end),
                                     _bytes_of(config_uri))
    finally:
        if writer is not target:
            writer.close()


# ---- Reassembly -----------------------------------------------------------------

@dataclasses.dataclass
class AssembledVolume:
    """A volume handed back by the Assembler, with what Volume has no field for."""
    volume: typing.Any
    start: typing.Any = None        # VolumeHeader.start (a Timestamp), if sent
    end: typing.Any = None          # VolumeEnd.end, if sent
    config_uri: typing.Any = None   # VolumeHeader.volume_config_uri, if sent
    complete: bool = True           # False when anything is listed in `missing`
    missing: list = dataclasses.field(default_factory=list)
    warnings: list = dataclasses.field(default_factory=list)
    sweeps_delivered: int = 0       # delivery="sweeps": sweeps handed back by take_sweeps()
    unknown_left_out: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class AssembledSweep:
    """A sweep handed back in delivery="sweeps", with its volume's header."""
    volume_uuid: typing.Any
    volume_header: typing.Any
    sweep_uuid: typing.Any
    position: int
    sweep: typing.Any
    complete: bool = True
    missing: list = dataclasses.field(default_factory=list)
    warnings: list = dataclasses.field(default_factory=list)


def _volume_record(fields):
    volume, start, end, uri, complete, missing, warnings, delivered, unknown = fields
    return AssembledVolume(
        volume=Volume.FromString(volume), start=_timestamp_of(start), end=_timestamp_of(end),
        config_uri=None if uri is None else _uri.VolumeConfigUri.FromString(uri),
        complete=complete, missing=missing, warnings=warnings, sweeps_delivered=delivered,
        unknown_left_out=unknown)


def _sweep_record(fields):
    volume_uuid, header, sweep_uuid, position, sweep, complete, missing, warnings = fields
    return AssembledSweep(
        volume_uuid=_uuid.UUID.FromString(volume_uuid),
        volume_header=None if header is None else _vh.VolumeHeader.FromString(header),
        sweep_uuid=_uuid.UUID.FromString(sweep_uuid), position=position,
        sweep=_sweep.Sweep.FromString(sweep), complete=complete, missing=missing,
        warnings=warnings)


class Assembler:
    """The C++ Assembler (assembler.h): takes RayStreamMessages one at a time
    (add) and hands back completed volumes (take_volumes) or, with
    delivery="sweeps", completed sweeps (take_sweeps); finish() closes what
    is still open.

    Options (keywords, defaults as in C++): delivery ("volumes" or "sweeps"),
    output_compression (None, "frame", "block"), fill (None, or the value
    short and missing rays are filled with), fill_prefer_not_scanned,
    keep_samples, max_open_volumes, max_open_sweeps, max_rays_per_sweep,
    max_moments_per_sweep, max_buffer_size, max_buffered_bytes,
    max_volume_age (seconds), max_rays_per_volume, remembered_closed.
    """

    def __init__(self, **options):
        self._assembler = _core.Assembler(options)

    def add(self, message):
        """Takes one message; raises AssemblyError (and ignores the message)
        when it does not fit. When the message closed a volume or sweep with
        parts missing, returns the text of what is missing (the result, with
        its `missing` list, is queued all the same); otherwise None."""
        return self._assembler.add(message.SerializeToString())

    def add_serialized(self, data):
        """add() for a message's bytes (a frame of a stream)."""
        return self._assembler.add(data)

    def add_stream(self, source, strict=True, max_message_size=_stream.DEFAULT_MAX_MESSAGE_SIZE):
        """Feeds every message of a stream (path, bytes or binary file object)
        to the assembler, frame by frame in C++. Strict: the first error is
        raised (StreamError for a damaged frame, AssemblyError otherwise).
        Otherwise returns the errors' texts; a damaged frame then ends the
        input as its end would."""
        reader = _stream._open_reader(source, RayStreamMessage.DESCRIPTOR.full_name,
                                      max_message_size)
        return self._assembler.add_stream(reader, strict)

    def take_volumes(self):
        """The volumes completed or closed so far, in that order (forgotten here)."""
        return [_volume_record(v) for v in self._assembler.take_volumes()]

    def take_sweeps(self):
        """delivery="sweeps": the sweeps completed so far (forgotten here)."""
        return [_sweep_record(s) for s in self._assembler.take_sweeps()]

    def finish(self):
        """End of input: every open volume is closed as incomplete."""
        self._assembler.finish()

    def close_expired(self):
        """Closes volumes older than max_volume_age; returns how many."""
        return self._assembler.close_expired()

    @property
    def open_volumes(self):
        return self._assembler.open_volumes

    @property
    def open_sweeps(self):
        return self._assembler.open_sweeps

    @property
    def buffered_bytes(self):
        return self._assembler.buffered_bytes


def _finish(assembler, errors):
    assembler.finish()
    volumes = assembler.take_volumes()
    for result in volumes:
        result.warnings.extend(errors)
    return volumes


def assemble_volumes(messages, strict=True, **options):
    """Reassembles an iterable of RayStreamMessages; returns the list of
    AssembledVolumes, volumes still open at the end included (incomplete).
    With `strict`, the first AssemblyError is raised; otherwise errors are
    skipped and their texts added to the warnings of every volume returned."""
    assembler = Assembler(**options)
    errors = []
    for message in messages:
        try:
            assembler.add(message)
        except AssemblyError as e:
            if strict:
                raise
            errors.append(str(e))
    return _finish(assembler, errors)


def assemble_stream(source, strict=True, **options):
    """assemble_volumes() for a whole stream (a path, bytes or a binary file
    object), read and assembled in C++; see Assembler.add_stream()."""
    assembler = Assembler(**options)
    return _finish(assembler, assembler.add_stream(source, strict))


# ---- Files ------------------------------------------------------------------------

def _looks_like_stream(path):
    try:
        with _stream.DelimitedReader(path) as reader:
            first = reader.read()
    except _stream.StreamError:
        return False
    return first is not None and first.WhichOneof("payload") == "volume_header"


def load_volume(path, kind="auto"):
    """Reads the Volume in a file: an InstrumentData holding a Volume (or a
    Sweep, returned as a Volume of that one sweep), or a ray stream, which is
    reassembled (its first volume is returned). `kind` is "auto", "volume"
    or "stream". (Radar file formats: common_dto.formats.read_file.)"""
    if kind == "auto":
        kind = "stream" if _looks_like_stream(path) else "volume"
    if kind == "stream":
        volumes = assemble_stream(path)
        if not volumes:
            raise ValueError("%s: the stream holds no volume" % path)
        return volumes[0].volume
    if kind != "volume":
        raise ValueError("kind must be 'auto', 'volume' or 'stream'")
    with open(path, "rb") as f:
        data = f.read()
    envelope = _idata.InstrumentData()
    if _stream.diagnose(_idata.InstrumentData, data) is not None:
        raise ValueError("%s is neither an InstrumentData nor a ray stream" % path)
    try:
        envelope.ParseFromString(data)
    except Exception:  # DecodeError
        raise ValueError("%s is neither an InstrumentData nor a ray stream" % path) from None
    payload = envelope.WhichOneof("Payload")
    if payload == "volume":
        return envelope.volume
    if payload == "sweep":
        volume = Volume()
        volume.sweep.add().CopyFrom(envelope.sweep)
        return volume
    raise ValueError("%s holds %s, not a volume or a sweep" % (path, payload or "no payload"))
