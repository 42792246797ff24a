"""The vocabulary shared by the other modules: errors with a code and a
location, UUID text and derivation, configuration references and the UTF-8
check. These are the C++ model library's (common_dto/model/*.h), reached
through the extension module common_dto._core; the codes are those of its
ErrorCode, by the names ErrorCodeName() gives.
"""

from . import _core
from ._schema import uuid_pb2 as _uuid

UUID = _uuid.UUID

__all__ = [
    "CODES",
    "Error",
    "Problem",
    "check_utf8",
    "derive_sweep_uuid",
    "format_uuid",
    "moment_descriptor",
    "parse_uuid",
    "ray_config_of",
    "sweep_config_of",
    "uuid_key",
]

# ---- Errors ------------------------------------------------------------------------

# The error codes, as the C++ library names them: "truncated", "malformed",
# "unparsable", "invalid_utf8", "too_large", "limit", "protocol", "incomplete",
# "invalid_argument", "unsupported", "io", "unavailable", "denied".
CODES = _core.error_code_names()

_LOCATION = ("message_index", "byte_offset", "field", "volume_uuid", "sweep_uuid",
             "ray_index", "moment")


class Error(ValueError):
    """An error of this package. ``code`` is one of CODES; the location
    attributes (``message_index``, ``byte_offset``, ``field``,
    ``volume_uuid``, ``sweep_uuid``, ``ray_index``, ``moment``) are None where
    unknown. Programs decide by these, never by the text."""

    def __init__(self, text, code, **location):
        if code not in CODES:
            raise ValueError("unknown error code %r" % code)
        unknown = set(location) - set(_LOCATION)
        if unknown:
            raise TypeError("unknown location %s" % ", ".join(sorted(unknown)))
        super().__init__(text)
        self.code = code
        for name in _LOCATION:
            setattr(self, name, location.get(name))

    def fill_location(self, **location):
        """Sets the location parts not known yet; returns self."""
        for name, value in location.items():
            if getattr(self, name) is None:
                setattr(self, name, value)
        return self

    @property
    def location(self):
        """The known parts of the location, as a dict."""
        return {name: getattr(self, name) for name in _LOCATION
                if getattr(self, name) is not None}


class Problem(str):
    """The text of a problem found by a check, with the error code and the
    field (full name or path) it implies."""

    def __new__(cls, text, code="unparsable", field=None):
        if isinstance(text, Problem):
            return text
        problem = super().__new__(cls, text)
        problem.code, problem.field = code, field
        return problem


# ---- UUIDs -------------------------------------------------------------------------

def format_uuid(uuid):
    """The canonical text form, most significant half first (as Java prints it)."""
    return _core.format_uuid(uuid.most_significant_bits, uuid.least_significant_bits)


def parse_uuid(text):
    """A UUID message from the canonical 36-character form (either case)."""
    halves = _core.parse_uuid(text) if isinstance(text, str) else None
    if halves is None:
        raise Error("not a UUID: %r" % (text,), "invalid_argument")
    return UUID(most_significant_bits=halves[0], least_significant_bits=halves[1])


def derive_sweep_uuid(volume_uuid, position):
    """The UUID that splitting gives the sweep at `position` (0-based) of the
    volume `volume_uuid` (see DeriveSweepUuid in common_dto/model/uuid.h)."""
    msb, lsb = _core.derive_sweep_uuid(volume_uuid.most_significant_bits,
                                       volume_uuid.least_significant_bits, position)
    return UUID(most_significant_bits=msb, least_significant_bits=lsb)


def uuid_key(uuid):
    """The UUID as a hashable pair of its halves, for dictionary keys."""
    return (uuid.most_significant_bits, uuid.least_significant_bits)


# ---- Configuration lookups ----------------------------------------------------
# The C++ library resolves the reference and says where the configuration
# is; the message returned is that part of the caller's own objects.

def _config_bytes(volume_config):
    return None if volume_config is None else volume_config.SerializeToString()


def sweep_config_of(volume_config, description):
    """The SweepConfig that a SweepDescription refers to (inline, by index
    into or by UUID in `volume_config`), or None."""
    place = _core.sweep_config_place(_config_bytes(volume_config),
                                     description.config.SerializeToString())
    if place is None:
        return None
    return description.config.sweep_config if place == "inline" else volume_config.sweep_config[place]


def ray_config_of(volume_config, ray):
    """The RayConfig that a Ray refers to (by index or UUID), or None."""
    if volume_config is None or ray is None:
        return None
    place = _core.ray_config_place(volume_config.SerializeToString(), ray.SerializeToString())
    return None if place is None else volume_config.ray_config[place]


def moment_descriptor(volume_config, description, ray, name):
    """The DataDescriptor of moment `name`: from the sweep's SweepConfig,
    else from the RayConfig of `ray`; None when neither has one."""
    source = _core.descriptor_source(_config_bytes(volume_config), description.SerializeToString(),
                                     None if ray is None else ray.SerializeToString(), name)
    if source == "sweep":
        return sweep_config_of(volume_config, description).data_moments[name]
    if source == "ray":
        return ray_config_of(volume_config, ray).data_moments[name]
    return None


# ---- UTF-8 check over a message ---------------------------------------------

def check_utf8(message):
    """Returns None, or the text of an error naming the first string field (at any depth,
    map keys and values included) that is not valid UTF-8, such as
    "invalid UTF-8 in field kyt.pb.stream.VolumeConfigUri.endpoint
    (at volume_header.volume_config_uri.endpoint)". (The Python runtimes
    refuse such strings on assignment already.)"""
    problem = _core.check_utf8(message.DESCRIPTOR.full_name, message.SerializeToString())
    if problem is None:
        return None
    code, text, field = problem
    return Problem(text, code, field or None)
