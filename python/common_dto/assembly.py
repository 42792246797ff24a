"""Ray streams to volumes and back, in pure Python.

The mapping between stream messages and a Volume is the C++ stream
library's, documented once in its headers: assembler.h (stream to Volume:
matching by UUID and ray index, field by field, completion and what is
missing) and splitter.h (Volume to stream, derived sweep UUIDs, what the
stream cannot carry). Both sides produce the same Volume from the same
well-formed stream, and the same stream from the same Volume, byte for byte
under deterministic serialization; the interop tests hold them to that.

Compared with the C++ Assembler this one is meant for files and well-formed
streams: it hands back whole volumes only (no sweep-by-sweep delivery), has
no fill value for short or missing rays (such a moment is left out and listed
in `missing`), no limits on what a hostile stream can make it hold, no age
limit, and writes uncompressed buffers only. For live streams and very large
volumes use the C++ library.

Errors (AssemblyError, the message is then ignored and the assembler stays
usable): an unset payload; a SweepHeader of an unknown volume; a ray-level
message or SweepEnd of an unknown sweep; a duplicate VolumeHeader,
SweepHeader, RayHeader, RayEnd, SweepEnd or ParameterData; a message for a
volume or sweep already closed; an undecodable buffer; a buffer whose byte
order or storage type disagrees with the moment's other rays.
"""

import dataclasses
import typing

from . import buffers as _buffers
from .model import (Error, derive_sweep_uuid, format_uuid, moment_descriptor, parse_uuid,
                    ray_config_of, sweep_config_of, uuid_key as _key)
from ._schema import data_buffer_pb2 as _db
from ._schema import data_descriptor_pb2 as _dd
from ._schema import instrument_data_pb2 as _idata
from ._schema import ray_stream_message_pb2 as _rsm
from ._schema import sweep_pb2 as _sweep
from ._schema import volume_pb2 as _volume

DataBuffer = _db.DataBuffer
RayStreamMessage = _rsm.RayStreamMessage
Volume = _volume.Volume

__all__ = [
    "AssembledVolume",
    "AssemblyError",
    "Assembler",
    "assemble_volumes",
    "load_volume",
    "split_volume",
]

# ---- Splitting ------------------------------------------------------------------

def split_volume(volume, compression=None, volume_start=None, volume_end=None, config_uri=None):
    """The ray stream of `volume`, as the C++ splitter makes it.

    Returns (messages, not_carried): the RayStreamMessages in stream order,
    and the fields the stream cannot carry ("sweep 0: task_name", ...).
    `compression` of the per-ray buffers is None, "frame" or "block";
    `volume_start`, `volume_end` (Timestamps) and `config_uri` (a
    VolumeConfigUri sent instead of the inline configuration) go into the
    VolumeHeader and VolumeEnd. A moment buffer whose length does not divide
    into the sweep's rays raises ValueError before any message is made.
    """
    not_carried = []
    plans = []
    for s, sweep in enumerate(volume.sweep):
        def note(what, s=s):
            not_carried.append("sweep %d: %s" % (s, what))

        for name in ("task_name", "task_start", "first_azimuth_gate_index",
                     "rotation_direction", "time_reference", "ray_accumulation_time"):
            if sweep.HasField(name) if name == "task_start" else getattr(sweep, name):
                note(name)
        if sweep.HasField("input_timespan") and not (sweep.input_timespan.HasField("start")
                                                     or sweep.input_timespan.HasField("end")):
            note("input_timespan (present, but with neither start nor end)")
        rays = len(sweep.rays)
        parts = {}
        for name in sorted(sweep.sweep_moments):
            buffer = sweep.sweep_moments[name]
            where = "sweep %d moment '%s'" % (s, name)
            if buffer.compression not in (DataBuffer.NONE, DataBuffer.LZ4,
                                          DataBuffer.UNKNOWN_COMPRESSION):
                raise AssemblyError("%s: unknown compression %d" % (where, buffer.compression),
                                    "unsupported")
            if rays == 0 and not buffer.data:
                note("sweep_moments '%s' (no rays to carry it)" % name)
                continue
            try:
                data = _buffers.uncompressed_bytes(buffer, max_size=2 << 30)
            except _buffers.BufferDecodeError as e:
                raise AssemblyError("%s: %s" % (where, e), e.code, moment=name) from None
            if rays == 0:
                raise AssemblyError("%s: %d bytes of samples but the sweep has no rays to carry "
                                    "them" % (where, len(data)), "invalid_argument", moment=name)
            if len(data) % rays:
                raise AssemblyError("%s: %d bytes do not divide evenly into %d rays"
                                    % (where, len(data), rays), "invalid_argument", moment=name)
            step = len(data) // rays
            width = _buffers.sample_width(buffer.type)
            if width and step % width:
                raise AssemblyError("%s: %d bytes per ray are not a whole number of %s samples"
                                    % (where, step, _enum_text(DataBuffer.StorageType, buffer.type)),
                                    "invalid_argument", moment=name)
            canonical = ((buffer.compression == DataBuffer.NONE
                          and buffer.uncompressed_size == len(buffer.data))
                         or (buffer.compression == DataBuffer.LZ4
                             and (buffer.uncompressed_size > 0 or not buffer.data)))
            if not canonical:
                note("sweep_moments '%s': compression %s, uncompressed_size %d (reassembly "
                     "declares NONE or LZ4 and the true size)" % (
                         name, _enum_text(DataBuffer.CompressionType, buffer.compression),
                         buffer.uncompressed_size))
            parts[name] = [data[r * step:(r + 1) * step] for r in range(rays)]
        plans.append(parts)

    messages = []
    header = RayStreamMessage()
    vh = header.volume_header
    vh.SetInParent()
    if volume.HasField("uuid"):
        vh.volume_uuid.CopyFrom(volume.uuid)
    if volume.HasField("instrument"):
        vh.instrument.CopyFrom(volume.instrument)
    if config_uri is not None:
        vh.volume_config_uri.CopyFrom(config_uri)
    elif volume.HasField("volume_config"):
        vh.volume_config.CopyFrom(volume.volume_config)
    if volume_start is not None:
        vh.start.CopyFrom(volume_start)
    messages.append(header)
    config = volume.volume_config if volume.HasField("volume_config") else None
    for s, sweep in enumerate(volume.sweep):
        sweep_uuid = derive_sweep_uuid(volume.uuid, s)
        m = RayStreamMessage()
        sh = m.sweep_header
        sh.sweep_uuid.CopyFrom(sweep_uuid)
        sh.volume_uuid.CopyFrom(volume.uuid)
        if sweep.HasField("description"):
            sh.description.CopyFrom(sweep.description)
        sh.index_in_task = sweep.index_in_task
        if sweep.input_timespan.HasField("start"):
            sh.start.CopyFrom(sweep.input_timespan.start)
        messages.append(m)
        first_ray = sweep.rays[0] if len(sweep.rays) else None
        types = {}
        for name in plans[s]:
            descriptor = moment_descriptor(config, sweep.description, first_ray, name)
            types[name] = descriptor.type if descriptor is not None else 0
        for r, ray in enumerate(sweep.rays):
            m = RayStreamMessage()
            m.ray_header.ray.CopyFrom(ray)
            m.ray_header.sweep_uuid.CopyFrom(sweep_uuid)
            m.ray_header.ray_index = r
            messages.append(m)
            for name, pieces in plans[s].items():
                m = RayStreamMessage()
                pd = m.parameter_data
                pd.sweep_uuid.CopyFrom(sweep_uuid)
                pd.ray_index = r
                pd.data_type.type = types[name]
                pd.data_type.short_name = name
                whole = sweep.sweep_moments[name]
                pd.data.endian, pd.data.type = whole.endian, whole.type
                _buffers.set_samples(pd.data, pieces[r], compression)
                messages.append(m)
            m = RayStreamMessage()
            m.ray_end.sweep_uuid.CopyFrom(sweep_uuid)
            m.ray_end.ray_index = r
            if ray.HasField("aq_end_time"):
                m.ray_end.end.CopyFrom(ray.aq_end_time)
            messages.append(m)
        m = RayStreamMessage()
        m.sweep_end.sweep_uuid.CopyFrom(sweep_uuid)
        if sweep.input_timespan.HasField("end"):
            m.sweep_end.end.CopyFrom(sweep.input_timespan.end)
        messages.append(m)
    m = RayStreamMessage()
    if volume.HasField("uuid"):
        m.volume_end.volume_uuid.CopyFrom(volume.uuid)
    else:
        m.volume_end.SetInParent()
    if volume_end is not None:
        m.volume_end.end.CopyFrom(volume_end)
    messages.append(m)
    return messages, not_carried


# ---- Reassembly -----------------------------------------------------------------

class AssemblyError(Error):
    """A stream message that does not fit the volumes assembled so far (code
    "protocol" unless said otherwise), or a volume that cannot be split."""

    def __init__(self, text, code="protocol", **location):
        super().__init__(text, code, **location)


def _location_of(message):
    """Where a stream message belongs: volume or sweep, ray and moment."""
    case = message.WhichOneof("payload")
    payload = getattr(message, case)
    location = {}
    if case in ("volume_header", "sweep_header", "volume_end"):
        location["volume_uuid"] = format_uuid(payload.volume_uuid)
    if case not in ("volume_header", "volume_end"):
        location["sweep_uuid"] = format_uuid(payload.sweep_uuid)
    if case in ("ray_header", "parameter_data", "ray_end"):
        location["ray_index"] = payload.ray_index
    if case == "parameter_data":
        location["moment"] = payload.data_type.short_name
    return location


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


def _enum_text(enum, number):
    try:
        return enum.Name(number)
    except ValueError:
        return str(number)


class _Ray:
    __slots__ = ("ray", "end", "has_end", "samples")

    def __init__(self):
        self.ray = None       # The RayHeader's Ray, once it came.
        self.end = None       # RayEnd.end, if sent.
        self.has_end = False
        self.samples = {}     # Moment name -> decoded bytes.


class _Sweep:
    def __init__(self, header, volume, position):
        self.header = header
        self.volume = volume
        self.position = position
        self.name = "sweep " + format_uuid(header.sweep_uuid)
        self.rays = {}
        self.has_end = False
        self.end = None
        self.moments = {}     # Moment name -> [endian, storage type, data type, type conflict]
        self.complete_rays = 0
        self.warnings = []


class _Volume:
    def __init__(self, header):
        self.header = header
        self.name = "volume " + format_uuid(header.volume_uuid)
        self.sweeps = []      # Built Sweeps by position; None while open.
        self.open = {}        # Key -> _Sweep
        self.missing = []
        self.warnings = []


class Assembler:
    """Takes RayStreamMessages one at a time (add) and hands back completed
    volumes (take_volumes); finish() closes what is still open. A sweep
    closes when its SweepEnd has come and all its rays have their RayHeader
    and RayEnd; later messages for it are errors."""

    def __init__(self):
        self._volumes = {}
        self._sweeps = {}
        self._closed_volumes = set()
        self._closed_sweeps = set()
        self._done = []

    def add(self, message):
        """Takes one message; raises AssemblyError (and ignores the message)
        when it does not fit."""
        case = message.WhichOneof("payload")
        if case is None:
            raise AssemblyError("message without payload")
        try:
            getattr(self, "_" + case)(getattr(message, case))
        except AssemblyError as e:
            raise e.fill_location(**_location_of(message))

    def take_volumes(self):
        """The volumes completed or closed so far, in that order (forgotten here)."""
        done, self._done = self._done, []
        return done

    def finish(self):
        """End of input: every open volume is closed as incomplete."""
        while self._volumes:
            self._close_volume(next(iter(self._volumes.values())), None, "end of input")

    @property
    def open_volumes(self):
        return len(self._volumes)

    @property
    def open_sweeps(self):
        return len(self._sweeps)

    # -- payloads

    def _volume_header(self, header):
        key = _key(header.volume_uuid)
        name = "volume " + format_uuid(header.volume_uuid)
        if key in self._volumes:
            raise AssemblyError(name + ": duplicate VolumeHeader")
        if key in self._closed_volumes:
            raise AssemblyError(name + ": VolumeHeader for a volume already closed")
        self._volumes[key] = _Volume(header)

    def _sweep_header(self, header):
        key = _key(header.sweep_uuid)
        name = "sweep " + format_uuid(header.sweep_uuid)
        if key in self._sweeps:
            raise AssemblyError(name + ": duplicate SweepHeader")
        if key in self._closed_sweeps:
            raise AssemblyError(name + ": SweepHeader for a sweep already closed")
        volume_key = _key(header.volume_uuid)
        volume = self._volumes.get(volume_key)
        if volume is None:
            other = "volume " + format_uuid(header.volume_uuid)
            raise AssemblyError(name + ": SweepHeader names " + (
                other + ", which is already closed" if volume_key in self._closed_volumes
                else "unknown " + other + " (no VolumeHeader)"))
        sweep = _Sweep(header, volume, len(volume.sweeps))
        volume.sweeps.append(None)
        volume.open[key] = sweep
        self._sweeps[key] = sweep

    def _find_sweep(self, uuid, what):
        key = _key(uuid)
        sweep = self._sweeps.get(key)
        if sweep is None:
            name = "sweep " + format_uuid(uuid)
            if key in self._closed_sweeps:
                raise AssemblyError("%s for %s, which is already closed" % (what, name))
            raise AssemblyError("%s for unknown %s (no SweepHeader)" % (what, name))
        return sweep

    def _ray_header(self, header):
        sweep = self._find_sweep(header.sweep_uuid, "RayHeader")
        ray = sweep.rays.setdefault(header.ray_index, _Ray())
        if ray.ray is not None:
            raise AssemblyError("%s ray %d: duplicate RayHeader" % (sweep.name, header.ray_index))
        ray.ray = header.ray
        self._progress(sweep, ray)

    def _ray_end(self, end):
        sweep = self._find_sweep(end.sweep_uuid, "RayEnd")
        ray = sweep.rays.setdefault(end.ray_index, _Ray())
        if ray.has_end:
            raise AssemblyError("%s ray %d: duplicate RayEnd" % (sweep.name, end.ray_index))
        ray.has_end = True
        ray.end = end.end if end.HasField("end") else None
        self._progress(sweep, ray)

    def _parameter_data(self, data):
        sweep = self._find_sweep(data.sweep_uuid, "ParameterData")
        name = data.data_type.short_name
        where = "%s ray %d moment '%s'" % (sweep.name, data.ray_index, name)
        buffer = data.data
        ray = sweep.rays.get(data.ray_index)
        if ray is not None and name in ray.samples:
            raise AssemblyError(where + ": duplicate ParameterData")
        moment = sweep.moments.get(name)
        if moment is not None and (moment[0], moment[1]) != (buffer.endian, buffer.type):
            raise AssemblyError("%s: samples are %s %s but the moment's other rays are %s %s" % (
                where, _enum_text(DataBuffer.Endianness, buffer.endian),
                _enum_text(DataBuffer.StorageType, buffer.type),
                _enum_text(DataBuffer.Endianness, moment[0]),
                _enum_text(DataBuffer.StorageType, moment[1])), "invalid_argument")
        try:
            samples = _buffers.uncompressed_bytes(buffer)
        except _buffers.BufferDecodeError as e:
            raise AssemblyError("%s: %s" % (where, e), e.code) from None
        width = _buffers.sample_width(buffer.type)
        if width and len(samples) % width:
            raise AssemblyError("%s: %d bytes are not a whole number of %s samples" % (
                where, len(samples), _enum_text(DataBuffer.StorageType, buffer.type)),
                "invalid_argument")
        if moment is None:
            sweep.moments[name] = [buffer.endian, buffer.type, data.data_type.type, False]
        elif moment[2] != data.data_type.type and not moment[3]:
            moment[3] = True
            sweep.warnings.append("%s: data type %s differs from the %s of the moment's other rays"
                                  % (where, _enum_text(_dd.DataType, data.data_type.type),
                                     _enum_text(_dd.DataType, moment[2])))
        sweep.rays.setdefault(data.ray_index, _Ray()).samples[name] = samples
        self._progress(sweep, None)

    def _sweep_end(self, end):
        sweep = self._find_sweep(end.sweep_uuid, "SweepEnd")
        if sweep.has_end:
            raise AssemblyError(sweep.name + ": duplicate SweepEnd")
        sweep.has_end = True
        sweep.end = end.end if end.HasField("end") else None
        self._progress(sweep, None)

    def _volume_end(self, end):
        key = _key(end.volume_uuid)
        name = "volume " + format_uuid(end.volume_uuid)
        volume = self._volumes.get(key)
        if volume is None:
            raise AssemblyError(name + (": VolumeEnd for a volume already closed"
                                        if key in self._closed_volumes
                                        else ": VolumeEnd for an unknown volume (no VolumeHeader)"))
        self._close_volume(volume, end.end if end.HasField("end") else None, None)

    def _progress(self, sweep, changed):
        if changed is not None and changed.ray is not None and changed.has_end:
            sweep.complete_rays += 1
        if sweep.has_end and sweep.complete_rays == len(sweep.rays):
            self._close_sweep(sweep, forced=False)

    # -- closing

    def _close_sweep(self, state, forced):
        key = _key(state.header.sweep_uuid)
        del self._sweeps[key]
        self._closed_sweeps.add(key)
        volume = state.volume
        del volume.open[key]
        missing, warnings = [], state.warnings
        if forced and not state.has_end:
            missing.append(state.name + ": SweepEnd")

        header = state.header
        sweep = _sweep.Sweep()
        if header.HasField("description"):
            sweep.description.CopyFrom(header.description)
        sweep.index_in_task = header.index_in_task
        if header.HasField("start"):
            sweep.input_timespan.start.CopyFrom(header.start)
        if state.end is not None:
            sweep.input_timespan.end.CopyFrom(state.end)
        indices = sorted(state.rays)
        headers = (state.rays[i].ray for i in indices if state.rays[i].ray is not None)
        first_ray = next(headers, None)
        config = volume.header.volume_config if volume.header.HasField("volume_config") else None
        for name in sorted(state.moments):
            endian, storage, data_type, _ = state.moments[name]
            descriptor = moment_descriptor(config, header.description, first_ray, name)
            where = "%s moment '%s'" % (state.name, name)
            if descriptor is None and data_type != 0:
                warnings.append("%s: data type %s is not recorded in the volume (its "
                                "configuration has no descriptor for the moment)"
                                % (where, _enum_text(_dd.DataType, data_type)))
            elif descriptor is not None and descriptor.type != data_type:
                warnings.append("%s: data type %s differs from the %s of its descriptor" % (
                    where, _enum_text(_dd.DataType, data_type),
                    _enum_text(_dd.DataType, descriptor.type)))
            parts = [(i, state.rays[i].samples.get(name)) for i in indices]
            absent = [i for i, part in parts if part is None]
            present = [(len(part), i) for i, part in parts if part is not None]
            if absent or min(present)[0] != max(present)[0]:
                if absent:
                    problem = "ray %d has no data for it" % absent[0]
                else:
                    shortest = min(present, key=lambda p: p[0])
                    longest = max(present, key=lambda p: p[0])
                    longest = min((p for p in present if p[0] == longest[0]), key=lambda p: p[1])
                    problem = "ray %d has %d bytes, ray %d has %d" % (
                        shortest[1], shortest[0], longest[1], longest[0])
                missing.append("%s: %s and no fill value is set; the moment is left out"
                               % (where, problem))
                continue
            data = b"".join(part for _, part in parts)
            sweep.sweep_moments[name].CopyFrom(DataBuffer(
                endian=endian, type=storage, compression=DataBuffer.NONE,
                uncompressed_size=len(data), data=data))
        for index in indices:
            ray = state.rays[index]
            name = "%s ray %d" % (state.name, index)
            record = sweep.rays.add()
            if ray.ray is not None:
                record.CopyFrom(ray.ray)
            else:
                record.index = index
                missing.append(name + ": RayHeader")
            if not ray.has_end:
                missing.append(name + ": RayEnd")
            if ray.end is not None:
                if not record.HasField("aq_end_time"):
                    record.aq_end_time.CopyFrom(ray.end)
                elif record.aq_end_time != ray.end:
                    warnings.append("%s: RayEnd time %s differs from the ray's aq_end_time %s; "
                                    "aq_end_time kept" % (name, ray.end.ToJsonString(),
                                                          record.aq_end_time.ToJsonString()))
        volume.sweeps[state.position] = sweep
        volume.missing.extend(missing)
        volume.warnings.extend(warnings)

    def _close_volume(self, state, end, why):
        for sweep in sorted(state.open.values(), key=lambda s: s.position):
            self._close_sweep(sweep, forced=True)
        key = _key(state.header.volume_uuid)
        del self._volumes[key]
        self._closed_volumes.add(key)
        header = state.header
        result = AssembledVolume(volume=Volume(), end=end)
        out = result.volume
        if header.HasField("volume_uuid"):
            out.uuid.CopyFrom(header.volume_uuid)
        if header.HasField("instrument"):
            out.instrument.CopyFrom(header.instrument)
        if header.HasField("volume_config"):
            out.volume_config.CopyFrom(header.volume_config)
        if header.HasField("volume_config_uri"):
            result.config_uri = header.volume_config_uri
        if header.HasField("start"):
            result.start = header.start
        out.sweep.extend(state.sweeps)
        result.missing = state.missing
        if why:
            result.missing.append("%s: VolumeEnd (%s)" % (state.name, why))
        result.complete = not result.missing
        result.warnings = state.warnings
        self._done.append(result)


def assemble_volumes(messages, strict=True):
    """Reassembles an iterable of RayStreamMessages; returns the list of
    AssembledVolumes, volumes still open at the end included (incomplete).
    With `strict`, the first AssemblyError is raised; otherwise errors are
    skipped and their texts added to the warnings of every volume returned."""
    assembler = Assembler()
    errors = []
    for message in messages:
        try:
            assembler.add(message)
        except AssemblyError as e:
            if strict:
                raise
            errors.append(str(e))
    assembler.finish()
    volumes = assembler.take_volumes()
    for result in volumes:
        result.warnings.extend(errors)
    return volumes


# ---- Files ------------------------------------------------------------------------

def _looks_like_stream(path):
    from . import stream
    try:
        with stream.DelimitedReader(path) as reader:
            first = reader.read()
    except stream.StreamError:
        return False
    return first is not None and first.WhichOneof("payload") == "volume_header"


def load_volume(path, kind="auto"):
    """Reads the Volume in a file: an InstrumentData holding a Volume (or a
    Sweep, returned as a Volume of that one sweep), or a ray stream, which is
    reassembled (its first volume is returned). `kind` is "auto", "volume"
    or "stream"."""
    from . import stream
    if kind == "auto":
        kind = "stream" if _looks_like_stream(path) else "volume"
    if kind == "stream":
        volumes = assemble_volumes(stream.read_messages(path))
        if not volumes:
            raise ValueError("%s: the stream holds no volume" % path)
        return volumes[0].volume
    if kind != "volume":
        raise ValueError("kind must be 'auto', 'volume' or 'stream'")
    with open(path, "rb") as f:
        data = f.read()
    envelope = _idata.InstrumentData()
    if not stream.parse_whole(envelope, data):
        raise ValueError("%s is neither an InstrumentData nor a ray stream" % path)
    payload = envelope.WhichOneof("Payload")
    if payload == "volume":
        return envelope.volume
    if payload == "sweep":
        volume = Volume()
        volume.sweep.add().CopyFrom(envelope.sweep)
        return volume
    raise ValueError("%s holds %s, not a volume or a sweep" % (path, payload or "no payload"))
