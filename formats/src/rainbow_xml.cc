// Rainbow 5: the XML header and the BLOB sections of a file.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "rainbow_internal.h"

namespace common_dto {
namespace formats {
namespace rainbow {

const std::string* XmlElement::Attribute(std::string_view key) const {
  for (const auto& [attribute, value] : attributes) {
    if (attribute == key) return &value;
  }
  return nullptr;
}

const XmlElement* XmlElement::Child(std::string_view key) const {
  for (const XmlElement& child : children) {
    if (child.name == key) return &child;
  }
  return nullptr;
}

std::vector<const XmlElement*> XmlElement::Children(std::string_view key) const {
  std::vector<const XmlElement*> out;
  for (const XmlElement& child : children) {
    if (child.name == key) out.push_back(&child);
  }
  return out;
}

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool EndsName(char c) { return IsSpace(c) || c == '/' || c == '>' || c == '=' || c == '<'; }

void AppendUtf8(std::uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

// One entity at the start of `s` ("&amp;"), decoded into *out; the length
// consumed, 0 when it is no entity (the '&' is then kept as it is).
std::size_t DecodeEntity(std::string_view s, std::string* out) {
  const std::size_t semi = s.substr(0, 12).find(';');
  if (semi == std::string_view::npos) return 0;
  const std::string_view name = s.substr(1, semi - 1);
  static const std::pair<const char*, char> kNamed[] = {
      {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& [n, c] : kNamed) {
    if (name == n) {
      out->push_back(c);
      return semi + 1;
    }
  }
  if (name.size() < 2 || name[0] != '#') return 0;
  const bool hex = name[1] == 'x' || name[1] == 'X';
  const std::string digits(name.substr(hex ? 2 : 1));
  char* end = nullptr;
  const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
  if (digits.empty() || *end != '\0' || cp == 0 || cp > 0x10ffff) return 0;
  AppendUtf8(static_cast<std::uint32_t>(cp), out);
  return semi + 1;
}

void AppendDecoded(std::string_view s, std::string* out) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const std::size_t used = s[i] == '&' ? DecodeEntity(s.substr(i), out) : 0;
    if (used == 0) {
      out->push_back(s[i]);
    } else {
      i += used - 1;
    }
  }
}

std::string Trimmed(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && IsSpace(s[a])) ++a;
  while (b > a && IsSpace(s[b - 1])) --b;
  return s.substr(a, b - a);
}

// The start tag at s[*pos] == '<': name and attributes into *e, *pos past
// its '>' (or at the end). False when no name follows the '<'.
bool ParseStartTag(std::string_view s, std::size_t* pos, XmlElement* e, bool* self_closing) {
  std::size_t p = *pos + 1;
  const std::size_t name_start = p;
  while (p < s.size() && !EndsName(s[p])) ++p;
  if (p == name_start) return false;
  e->name.assign(s.substr(name_start, p - name_start));
  *self_closing = false;
  while (p < s.size()) {
    while (p < s.size() && IsSpace(s[p])) ++p;
    if (p >= s.size()) break;
    if (s[p] == '>') {
      ++p;
      break;
    }
    if (s[p] == '/') {
      ++p;
      if (p < s.size() && s[p] == '>') {
        *self_closing = true;
        ++p;
        break;
      }
      continue;
    }
    if (s[p] == '<') break;  // an unfinished tag: the next one starts here
    const std::size_t a = p;
    while (p < s.size() && !EndsName(s[p])) ++p;
    if (p == a) {
      ++p;
      continue;
    }  // a stray '='
    std::string key(s.substr(a, p - a)), value;
    while (p < s.size() && IsSpace(s[p])) ++p;
    if (p < s.size() && s[p] == '=') {
      ++p;
      while (p < s.size() && IsSpace(s[p])) ++p;
      if (p < s.size() && (s[p] == '"' || s[p] == '\'')) {
        const char quote = s[p++];
        const std::size_t end = std::min(s.find(quote, p), s.size());
        AppendDecoded(s.substr(p, end - p), &value);
        p = std::min(end + 1, s.size());
      } else {
        const std::size_t v = p;
        while (p < s.size() && !IsSpace(s[p]) && s[p] != '>') ++p;
        AppendDecoded(s.substr(v, p - v), &value);
      }
    }
    e->attributes.emplace_back(std::move(key), std::move(value));
  }
  *pos = p;
  return true;
}

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  Status Parse(XmlElement* root) {
    while (pos_ < s_.size()) {
      const std::size_t lt = s_.find('<', pos_);
      if (lt == std::string_view::npos) break;
      pos_ = lt;
      if (SkipMarkup(nullptr) || StartsWith("</")) {
        if (StartsWith("</")) pos_ = std::min(s_.find('>', pos_), s_.size());
        continue;
      }
      bool self_closing = false;
      if (!ParseStartTag(s_, &pos_, root, &self_closing)) {
        ++pos_;
        continue;
      }
      ++elements_;
      return self_closing ? Status::Ok() : Content(root, 1);
    }
    return Status(ErrorCode::kMalformed, "no XML element in the header");
  }

 private:
  bool StartsWith(std::string_view t) const { return s_.substr(pos_, t.size()) == t; }

  // Skips past `end` from the current position (to the end when absent).
  void SkipPast(std::string_view end) {
    const std::size_t at = s_.find(end, pos_);
    pos_ = at == std::string_view::npos ? s_.size() : at + end.size();
  }

  // A comment, processing instruction, declaration or CDATA section at
  // pos_: skipped (CDATA appended to *text). False when none is there.
  bool SkipMarkup(std::string* text) {
    if (StartsWith("<!--")) {
      SkipPast("-->");
    } else if (StartsWith("<![CDATA[")) {
      const std::size_t start = pos_ + 9;
      const std::size_t end = std::min(s_.find("]]>", start), s_.size());
      if (text != nullptr) text->append(s_.substr(start, end - start));
      pos_ = std::min(end + 3, s_.size());
    } else if (StartsWith("<?")) {
      SkipPast("?>");
    } else if (StartsWith("<!")) {
      SkipPast(">");
    } else {
      return false;
    }
    return true;
  }

  bool IsOpen(std::string_view name) const {
    return std::find(open_.begin(), open_.end(), name) != open_.end();
  }

  // The content of `e` up to its end tag; an end tag of an element further
  // out closes `e` too and is left for that element.
  Status Content(XmlElement* e, int depth) {
    open_.push_back(e->name);
    std::string text;
    Status s;
    while (s.ok() && pos_ < s_.size()) {
      if (s_[pos_] != '<') {
        const std::size_t lt = std::min(s_.find('<', pos_), s_.size());
        AppendDecoded(s_.substr(pos_, lt - pos_), &text);
        pos_ = lt;
      } else if (SkipMarkup(&text)) {
      } else if (StartsWith("</")) {
        std::size_t p = pos_ + 2;
        while (p < s_.size() && !EndsName(s_[p])) ++p;
        const std::string_view name = s_.substr(pos_ + 2, p - pos_ - 2);
        if (name != e->name && IsOpen(name)) break;  // closes an outer element
        pos_ = std::min(s_.find('>', p), s_.size());
        if (pos_ < s_.size()) ++pos_;
        if (name == e->name) break;
      } else {
        s = Child(e, depth, &text);
      }
    }
    open_.pop_back();
    e->text = Trimmed(text);
    return s;
  }

  Status Child(XmlElement* e, int depth, std::string* text) {
    if (depth >= kMaxXmlDepth) {
      return Status(ErrorCode::kMalformed,
                    "header elements nested deeper than " + std::to_string(kMaxXmlDepth));
    }
    if (++elements_ > kMaxXmlElements) {
      return Status(ErrorCode::kTooLarge,
                    "more than " + std::to_string(kMaxXmlElements) + " header elements");
    }
    XmlElement child;
    bool self_closing = false;
    if (!ParseStartTag(s_, &pos_, &child, &self_closing)) {
      text->push_back('<');  // a '<' that starts no tag is text
      ++pos_;
      return Status::Ok();
    }
    Status s = self_closing ? Status::Ok() : Content(&child, depth + 1);
    e->children.push_back(std::move(child));
    return s;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  std::size_t elements_ = 0;
  std::vector<std::string> open_;
};

}  // namespace

Status ParseXml(std::string_view text, XmlElement* root) {
  *root = XmlElement();
  return Parser(text).Parse(root);
}

std::size_t HeaderEnd(std::string_view bytes) {
  const std::size_t at = bytes.find("<BLOB");
  return at == std::string_view::npos ? bytes.size() : at;
}

bool ParseNumber(std::string_view text, double* out) {
  const std::string t = Trimmed(std::string(text));
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(t.c_str(), &end);
  if (*end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool ParseInteger(std::string_view text, std::int64_t* out) {
  const std::string t = Trimmed(std::string(text));
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(t.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return false;
  *out = v;
  return true;
}

namespace {

constexpr std::string_view kBlobEnd = "</BLOB>";

// The first "</BLOB>" at or after `start`, remembered so that BLOBs
// without end tags do not make the search quadratic.
class EndTags {
 public:
  explicit EndTags(std::string_view bytes) : bytes_(bytes) {}
  std::size_t From(std::size_t start) {
    if (start < from_ || (at_ != std::string_view::npos && at_ < start)) {
      at_ = bytes_.find(kBlobEnd, start);
    }
    from_ = start;
    return at_;
  }

 private:
  std::string_view bytes_;
  std::size_t from_ = std::string_view::npos;  // nothing searched yet
  std::size_t at_ = std::string_view::npos;
};

// Where the data of a BLOB starting at `start` ends, given its declared size
// (negative when it has none); *lied when the size disagrees with the tag.
std::size_t BlobDataEnd(std::string_view bytes, std::size_t start, std::int64_t declared,
                        EndTags* tags, bool* lied) {
  *lied = false;
  if (declared >= 0 && static_cast<std::uint64_t>(declared) <= bytes.size() - start) {
    std::size_t after = start + static_cast<std::size_t>(declared);
    for (int skipped = 0; skipped < 2 && after < bytes.size() && IsSpace(bytes[after]); ++skipped)
      ++after;
    if (bytes.substr(after, kBlobEnd.size()) == kBlobEnd)
      return start + static_cast<std::size_t>(declared);
  }
  const std::size_t tag = tags->From(start);
  if (tag == std::string_view::npos) {
    if (declared < 0) return bytes.size();
    return start +
           std::min<std::uint64_t>(static_cast<std::uint64_t>(declared), bytes.size() - start);
  }
  std::size_t end = tag;
  if (end > start && bytes[end - 1] == '\n') --end;
  if (end > start && bytes[end - 1] == '\r') --end;
  *lied = declared >= 0;
  return end;
}

}  // namespace

Status FindBlobs(std::string_view bytes, std::size_t from, std::map<std::int64_t, Blob>* blobs,
                 Notes* notes) {
  std::size_t pos = from;
  EndTags tags(bytes);
  while ((pos = bytes.find("<BLOB", pos)) != std::string_view::npos) {
    XmlElement tag;
    bool self_closing = false;
    // The tag itself is short: look at no more than 4 KiB of it.
    const std::string_view window = bytes.substr(0, std::min(bytes.size(), pos + 4096));
    std::size_t p = pos;
    if (!ParseStartTag(window, &p, &tag, &self_closing) || tag.name != "BLOB" ||
        p > window.size() || window[p - 1] != '>') {
      pos += 5;
      continue;
    }
    if (p < bytes.size() && bytes[p] == '\r') ++p;
    if (p < bytes.size() && bytes[p] == '\n') ++p;
    std::int64_t id = 0, declared = -1;
    const std::string* id_text = tag.Attribute("blobid");
    const std::string* size_text = tag.Attribute("size");
    if (size_text != nullptr && (!ParseInteger(*size_text, &declared) || declared < 0))
      declared = -1;
    bool lied = false;
    const std::size_t end = BlobDataEnd(bytes, p, declared, &tags, &lied);
    pos = std::max(end, p);
    if (id_text == nullptr || !ParseInteger(*id_text, &id)) {
      notes->push_back(
          {NoteKind::kNotCarried, "BLOB", "", "a BLOB without a numeric blobid; not read"});
      continue;
    }
    const std::string where = "BLOB " + std::to_string(id);
    if (lied) {
      notes->push_back({NoteKind::kAssumed, where, "",
                        where + ": declared size " + std::to_string(declared) +
                            " bytes, but its end tag follows after " + std::to_string(end - p) +
                            "; read up to the tag"});
    }
    if (blobs->count(id) != 0) {
      notes->push_back(
          {NoteKind::kNotCarried, where, "", where + " appears twice; the first kept"});
      continue;
    }
    const std::string* compression = tag.Attribute("compression");
    (*blobs)[id] = Blob{compression ? *compression : std::string(), p, end - p};
  }
  return Status::Ok();
}

namespace {

Status BlobError(ErrorCode code, std::int64_t id, const std::string& what) {
  Location location;
  location.field = "BLOB " + std::to_string(id);
  return Status(code, location.field + ": " + what, location);
}

// Inflates the zlib stream `in` into *out, which may not grow beyond
// `declared` bytes.
Status Inflate(std::string_view in, std::uint64_t declared, std::int64_t id, std::string* out) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (inflateInit(&z) != Z_OK) return BlobError(ErrorCode::kMalformed, id, "cannot start zlib");
  constexpr std::size_t kChunk = 1 << 16;
  std::size_t fed = 0;
  int rc = Z_OK;
  Status s;
  while (s.ok() && rc != Z_STREAM_END) {
    if (z.avail_in == 0 && fed < in.size()) {
      const std::size_t n = std::min<std::size_t>(in.size() - fed, 1u << 30);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + fed));
      z.avail_in = static_cast<uInt>(n);
      fed += n;
    }
    // Room for one byte beyond the declared size, to see a stream that lies.
    const std::uint64_t room = declared + 1 - out->size();
    const std::size_t grow = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, room));
    const std::size_t before = out->size();
    out->resize(before + grow);
    z.next_out = reinterpret_cast<Bytef*>(out->data() + before);
    z.avail_out = static_cast<uInt>(grow);
    rc = inflate(&z, Z_NO_FLUSH);
    out->resize(before + grow - z.avail_out);
    if (out->size() > declared) {
      s = BlobError(
          ErrorCode::kMalformed, id,
          "decompresses to more than the " + std::to_string(declared) + " bytes it declares");
    } else if (rc == Z_BUF_ERROR && z.avail_in == 0 && fed == in.size()) {
      s = BlobError(ErrorCode::kTruncated, id, "compressed data cut short");
    } else if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      s = BlobError(ErrorCode::kMalformed, id,
                    std::string("not a zlib stream (") + (z.msg ? z.msg : "error") + ")");
    }
  }
  inflateEnd(&z);
  if (s.ok() && out->size() != declared) {
    s = BlobError(ErrorCode::kMalformed, id,
                  "declares " + std::to_string(declared) + " bytes, decompresses to " +
                      std::to_string(out->size()));
  }
  if (!s.ok()) out->clear();
  return s;
}

}  // namespace

Status BlobBytes(std::string_view bytes, const Blob& blob, std::int64_t id, std::uint64_t max_bytes,
                 std::string* out) {
  out->clear();
  const std::string_view data = bytes.substr(blob.offset, blob.size);
  if (blob.compression.empty() || blob.compression == "none") {
    out->assign(data);
    return Status::Ok();
  }
  if (blob.compression != "qt") {
    return BlobError(ErrorCode::kUnsupported, id,
                     "compression \"" + blob.compression + "\" is not read");
  }
  if (data.size() < 4) return BlobError(ErrorCode::kTruncated, id, "ends before its size");
  const auto* u = reinterpret_cast<const unsigned char*>(data.data());
  const std::uint64_t declared = (std::uint64_t{u[0]} << 24) | (u[1] << 16) | (u[2] << 8) | u[3];
  if (declared > max_bytes) {
    return BlobError(ErrorCode::kTooLarge, id,
                     std::to_string(declared) + " bytes declared, more than the " +
                         std::to_string(max_bytes) + " its data can hold");
  }
  return Inflate(data.substr(4), declared, id, out);
}

}  // namespace rainbow
}  // namespace formats
}  // namespace common_dto
