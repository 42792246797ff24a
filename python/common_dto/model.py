"""The vocabulary shared by the other modules: errors with a code and a
location, UUID text and derivation, configuration references and the UTF-8
check. It mirrors the C++ model library (common_dto/model/*.h); the codes
are those of its ErrorCode, by the names ErrorCodeName() gives.
"""

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

# The error codes, as the C++ library names them.
CODES = (
    "truncated",         # the input ends inside a frame, value or buffer
    "malformed",         # bytes that are not a valid encoding
    "unparsable",        # framing fine, but not the expected message type
    "invalid_utf8",      # a string holding invalid UTF-8
    "too_large",         # a size beyond a limit
    "limit",             # a bound on what a consumer holds was reached
    "protocol",          # messages breaking the ray stream protocol
    "incomplete",        # closed with pieces missing
    "invalid_argument",  # values contradicting each other or the request
    "unsupported",       # valid input this version does not handle
    "io",                # the operating system failed a read or write
    "unavailable",       # a server unreachable or not answering (NATS transport)
    "denied",            # a server refused the client (NATS transport)
)

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

_MASK64 = (1 << 64) - 1


def _u64(value):
    return value & _MASK64


def _s64(value):
    return value - (1 << 64) if value >= 1 << 63 else value


def format_uuid(uuid):
    """The canonical text form, most significant half first (as Java prints it)."""
    text = "%016x%016x" % (_u64(uuid.most_significant_bits), _u64(uuid.least_significant_bits))
    return "-".join((text[:8], text[8:12], text[12:16], text[16:20], text[20:]))


def parse_uuid(text):
    """A UUID message from the canonical 36-character form (either case)."""
    parts = text.split("-")
    if len(text) != 36 or [len(p) for p in parts] != [8, 4, 4, 4, 12]:
        raise Error("not a UUID: %r" % text, "invalid_argument")
    digits = "".join(parts)
    return UUID(most_significant_bits=_s64(int(digits[:16], 16)),
                least_significant_bits=_s64(int(digits[16:], 16)))


def _mix(z):
    z = (z + 0x9E3779B97F4A7C15) & _MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
    return z ^ (z >> 31)


def derive_sweep_uuid(volume_uuid, position):
    """The UUID that splitting gives the sweep at `position` (0-based) of the
    volume `volume_uuid`: SplitMix64-mixed from the volume UUID's halves and
    the position, marked as a version 8 (custom), RFC 4122 variant UUID."""
    hi = _mix(_u64(volume_uuid.most_significant_bits) ^ _mix(_u64(position)))
    lo = _mix(_u64(volume_uuid.least_significant_bits) ^ _mix(hi))
    hi = (hi & ~0xF000 & _MASK64) | 0x8000
    lo = (lo & 0x3FFFFFFFFFFFFFFF) | 0x8000000000000000
    return UUID(most_significant_bits=_s64(hi), least_significant_bits=_s64(lo))


def uuid_key(uuid):
    """The UUID as a hashable pair of its halves, for dictionary keys."""
    return (uuid.most_significant_bits, uuid.least_significant_bits)


def _same(a, b):
    return uuid_key(a) == uuid_key(b)


# ---- Configuration lookups ----------------------------------------------------

def sweep_config_of(volume_config, description):
    """The SweepConfig that a SweepDescription refers to (inline, by index
    into or by UUID in `volume_config`), or None."""
    ref = description.config
    case = ref.WhichOneof("ConfigReference")
    if case == "sweep_config":
        return ref.sweep_config
    if volume_config is None:
        return None
    if case == "sweep_config_index":
        if 0 <= ref.sweep_config_index < len(volume_config.sweep_config):
            return volume_config.sweep_config[ref.sweep_config_index]
    elif case == "sweep_config_uuid":
        for candidate in volume_config.sweep_config:
            if candidate.HasField("uuid") and _same(candidate.uuid, ref.sweep_config_uuid):
                return candidate
    return None


def ray_config_of(volume_config, ray):
    """The RayConfig that a Ray refers to (by index or UUID), or None."""
    if volume_config is None or ray is None:
        return None
    case = ray.WhichOneof("RayConfigReference")
    if case == "ray_config_index":
        if 0 <= ray.ray_config_index < len(volume_config.ray_config):
            return volume_config.ray_config[ray.ray_config_index]
    elif case == "ray_config_uuid":
        for candidate in volume_config.ray_config:
            if candidate.HasField("uuid") and _same(candidate.uuid, ray.ray_config_uuid):
                return candidate
    return None


def moment_descriptor(volume_config, description, ray, name):
    """The DataDescriptor of moment `name`: from the sweep's SweepConfig,
    else from the RayConfig of `ray`; None when neither has one."""
    sweep_config = sweep_config_of(volume_config, description)
    if sweep_config is not None and name in sweep_config.data_moments:
        return sweep_config.data_moments[name]
    ray_config = ray_config_of(volume_config, ray)
    if ray_config is not None and name in ray_config.data_moments:
        return ray_config.data_moments[name]
    return None


# ---- UTF-8 check over a message ---------------------------------------------

def _bad_text(value):
    if isinstance(value, bytes):
        try:
            value.decode("utf-8")
        except UnicodeDecodeError:
            return True
        return False
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def _join(path, name):
    return name if not path else path + "." + name


def _check(message, path):
    for field, value in message.ListFields():
        here = _join(path, field.name)
        if field.type == field.TYPE_STRING:
            values = value if field.label == field.LABEL_REPEATED else [value]
            for i, text in enumerate(values):
                if _bad_text(text):
                    where = here + ("[%d]" % i if field.label == field.LABEL_REPEATED else "")
                    return Problem("invalid UTF-8 in field %s (at %s)" % (field.full_name, where),
                                   "invalid_utf8", where)
        elif field.type == field.TYPE_MESSAGE:
            entry = field.message_type
            if entry.GetOptions().map_entry:
                key_field, value_field = entry.fields_by_number[1], entry.fields_by_number[2]
                for i, key in enumerate(sorted(value)):
                    where = "%s[%r]" % (here, key)
                    if key_field.type == key_field.TYPE_STRING and _bad_text(key):
                        return Problem("invalid UTF-8 in field %s (at %s[%d].key)" % (
                            key_field.full_name, here, i), "invalid_utf8", "%s[%d].key" % (here, i))
                    item = value[key]
                    if value_field.type == value_field.TYPE_STRING and _bad_text(item):
                        return Problem("invalid UTF-8 in field %s (at %s)" % (
                            value_field.full_name, where), "invalid_utf8", where)
                    if value_field.type == value_field.TYPE_MESSAGE:
                        error = _check(item, where)
                        if error:
                            return error
            elif field.label == field.LABEL_REPEATED:
                for i, item in enumerate(value):
                    error = _check(item, "%s[%d]" % (here, i))
                    if error:
                        return error
            else:
                error = _check(value, here)
                if error:
                    return error
    return None


def check_utf8(message):
    """Returns None, or the text of an error naming the first string field (at any depth,
    map keys and values included) that is not valid UTF-8, such as
    "invalid UTF-8 in field kyt.pb.stream.VolumeConfigUri.endpoint
    (at volume_header.volume_config_uri.endpoint)"."""
    return _check(message, "")
