// Parts of the Rainbow 5 reader shared between its files: the small XML
// parser for the header and the BLOB sections after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common_dto/formats/formats.h"
#include "common_dto/model/status.h"

namespace common_dto {
namespace formats {
namespace rainbow {

// One element of the header: its name, attributes in file order, text
// (entities decoded, surrounding white space trimmed) and children.
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string text;
  std::vector<XmlElement> children;

  // The attribute or first child named `key`, or null.
  const std::string* Attribute(std::string_view key) const;
  const XmlElement* Child(std::string_view key) const;
  // All children named `key`, in file order.
  std::vector<const XmlElement*> Children(std::string_view key) const;
};

// Bounds of the parser: nesting depth and elements in all (a header is a
// few hundred elements; anything far beyond is not a Rainbow header).
inline constexpr int kMaxXmlDepth = 32;
inline constexpr std::size_t kMaxXmlElements = 200000;

// Parses the header: the subset of XML Rainbow writes (elements, attributes,
// text, comments, processing instructions, CDATA, the five named entities
// and numeric character references). Tolerant of what the producer leaves
// unfinished: an end tag without its start is skipped, elements still open
// at the end are closed there. *root is the first top-level element.
// kMalformed when there is no element at all or a bound is exceeded.
Status ParseXml(std::string_view text, XmlElement* root);

// The byte offset where the header ends: the first "<BLOB", else the end.
std::size_t HeaderEnd(std::string_view bytes);

// One BLOB section: its attributes and where its bytes are in the input.
struct Blob {
  std::string compression;  // attribute as written ("qt", "none", absent: "")
  std::size_t offset = 0;   // of the first data byte
  std::size_t size = 0;     // data bytes found
};

// The BLOB sections from `from` on, keyed by blobid (the first of a
// repeated id is kept, a note says so). A section whose declared size
// disagrees with where its "</BLOB>" stands is read up to the tag (a note
// says so); one cut off by the end of the input holds what is there.
Status FindBlobs(std::string_view bytes, std::size_t from, std::map<std::int64_t, Blob>* blobs,
                 Notes* notes);

// The blob's data bytes: decompressed for "qt" (a 4-byte big-endian size,
// then a zlib stream), as they are for no compression. The declared size
// is refused beyond `max_bytes` (kTooLarge) before anything is allocated;
// output grows only with what the stream decodes. kTruncated for a stream
// cut short, kMalformed for one that is not zlib or decodes to another
// size than declared, kUnsupported for another compression.
Status BlobBytes(std::string_view bytes, const Blob& blob, std::int64_t id, std::uint64_t max_bytes,
                 std::string* out);

// A number from header text; false for text that is not entirely one.
bool ParseNumber(std::string_view text, double* out);
bool ParseInteger(std::string_view text, std::int64_t* out);

}  // namespace rainbow
}  // namespace formats
}  // namespace common_dto
