"""Radar files (ODIM_H5, CF/Radial and every other format the C++ formats
library reads and writes) to and from Volumes.

The mapping, what is carried and what is noted, is the formats library's
(common_dto/formats/formats.h and a header per format). Formats go by the
names the library gives them (``format_names()``: "odim", "cfradial1",
"cfradial2", ...).
"""

import dataclasses
import os

from . import _core
from ._schema import volume_pb2 as _volume

__all__ = ["Note", "detect_format", "format_names", "open_volume", "read_file", "write_file"]


@dataclasses.dataclass(frozen=True)
class Note:
    """Something a read or write could not carry as it was: ``kind``
    ("not_carried", "derived", "assumed", "converted", "unknown_name"), the
    model field path or file attribute concerned, the moment's short name
    (or ""), and the text. str() gives the line the tool prints."""
    kind: str
    field: str
    moment: str
    text: str
    line: str = dataclasses.field(default="", compare=False, repr=False)

    def __str__(self):
        return self.line or self.text


def _notes(tuples):
    return [Note(*t) for t in tuples]


def format_names():
    """The names of the formats the library reads and writes."""
    return list(_core.format_names())


def detect_format(path):
    """The format of the file at `path` from its content, or None."""
    return _core.detect_format(os.fspath(path))


def read_file(path, format=None, notes=None):
    """Reads the Volume in the radar file at `path`. `format` is one of
    format_names(), or None to detect it from the content. When `notes` is a
    list, the notes of what the file held that the Volume has no place for
    are appended to it. Errors raise common_dto.model.Error with the
    library's code and location (``field`` the HDF5 path or netCDF variable)."""
    path = os.fspath(path)
    if format is None:
        format = _core.detect_format(path)
        if format is None:
            from .model import Error
            if not os.path.exists(path):
                raise Error("%s: cannot open the file" % path, "io")
            raise Error("%s: not a file of a known format (%s)" % (path, ", ".join(format_names())),
                        "unsupported")
    data, found = _core.read_file(path, format)
    if notes is not None:
        notes.extend(_notes(found))
    return _volume.Volume.FromString(data)


def write_file(volume, path, format, compression_level=0, odim_scan=False,
               report_not_carried=True):
    """Writes `volume` to a new file at `path` in `format` (replacing an
    existing file only on success). Returns the notes of what was not
    carried (Note records)."""
    return _notes(_core.write_file(volume.SerializeToString(), os.fspath(path), format,
                                   compression_level, odim_scan, report_not_carried))


def open_volume(path, format=None):
    """The Volume in any file the package reads: `format` "stream" (a ray
    stream, its first volume), "volume" (an InstrumentData), one of
    format_names(), or None to tell them apart by content."""
    from .assembly import load_volume
    path = os.fspath(path)
    if format in ("stream", "volume"):
        return load_volume(path, format)
    if format is None:
        format = detect_format(path)
        if format is None:
            return load_volume(path)
    return read_file(path, format)
