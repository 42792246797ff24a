// Format names, detection and the read and write entry points.
#include "common_dto/formats/formats.h"

#include <hdf5.h>
#include <netcdf.h>
#include <zlib.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <set>

#include "cfradial_internal.h"
#include "common_dto/formats/iris.h"
#include "common_dto/formats/nexrad.h"
#include "georef.h"
#include "hdf5_util.h"
#include "netcdf_util.h"
#include "notes.h"
#include "odim_internal.h"
#include "common_dto/formats/rainbow.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::Volume;

const char* FormatName(Format format) {
  switch (format) {
    case Format::kOdim: return "odim";
    case Format::kCfRadial1: return "cfradial1";
    case Format::kCfRadial2: return "cfradial2";
    case Format::kNexrad: return "nexrad";
    case Format::kIris: return "iris";
    case Format::kRainbow: return "rainbow";
  }
  return "";
}

std::optional<Format> ParseFormat(const std::string& name) {
  for (Format f : {Format::kOdim, Format::kCfRadial1, Format::kCfRadial2, Format::kNexrad,
                   Format::kIris, Format::kRainbow}) {
    if (name == FormatName(f)) return f;
  }
  return std::nullopt;
}

namespace {

// Debian's HDF5 (serial) and netCDF-C libraries are not thread-safe: one
// conversion at a time in the process.
std::mutex& LibraryMutex() {
  static std::mutex mutex;
  return mutex;
}

bool IsOdim(const std::string& path) {
  PrepareHdf5();
  if (H5Fis_hdf5(path.c_str()) <= 0) return false;
  H5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) return false;
  std::string conventions;
  if (HasAttr(file.get(), "Conventions")) {
    return ReadStringAttr(file.get(), "", "Conventions", &conventions).ok() &&
           conventions.rfind("ODIM_H5", 0) == 0;
  }
  // Older chains write no Conventions: ODIM's structure is enough.
  H5Id what = OpenGroup(file.get(), "what");
  return HasAttr(what.get(), "object") && HasLink(file.get(), "dataset1");
}

std::optional<Format> CfRadialVersion(const std::string& path) {
  NcFile file;
  if (!file.Open(path).ok()) return std::nullopt;
  int var = 0;
  if (nc_inq_varid(file.id(), "sweep_group_name", &var) == NC_NOERR) return Format::kCfRadial2;
  if (nc_inq_varid(file.id(), "sweep_start_ray_index", &var) == NC_NOERR) return Format::kCfRadial1;
  return std::nullopt;
}

// The first `limit` bytes of the file (all of it with limit 0); false when
// it cannot be read.
bool ReadBytes(const std::string& path, std::size_t limit, std::string* out, Status* error) {
  // Without blocking on a FIFO, which is not looked into.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    Location location;
    location.field = path;
    *error = Status(ErrorCode::kIo, path + ": cannot open as a regular file", location);
    return false;
  }
  const auto file_size = static_cast<std::size_t>(st.st_size);
  const std::size_t size = limit == 0 ? file_size : std::min(limit, file_size);
  out->resize(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, out->data() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  out->resize(done);
  return true;
}

// An Archive II volume header at the start, or inside a gzip stream.
bool IsNexrad(const std::string& path) {
  std::string head;
  Status ignored;
  if (!ReadBytes(path, 4096, &head, &ignored) || !IsNexradHeader(head)) return false;
  if (head[0] != '\x1f') return true;
  // Enough of the stream to see the volume header.
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
  char out[64];
  z.next_in = reinterpret_cast<Bytef*>(head.data());
  z.avail_in = static_cast<uInt>(head.size());
  z.next_out = reinterpret_cast<Bytef*>(out);
  z.avail_out = sizeof out;
  inflate(&z, Z_SYNC_FLUSH);
  const std::size_t got = sizeof out - z.avail_out;
  inflateEnd(&z);
  const std::string_view text(out, got);
  return got >= 8 && IsNexradHeader(text) && text[0] != '\x1f';
}

Status ReadNexradFile(const std::string& path, const ReadOptions& options, Volume* volume,
                      Notes* notes) {
  std::string bytes;
  Status error;
  if (!ReadBytes(path, 0, &bytes, &error)) return error;
  return ReadNexradBytes(bytes, options, volume, notes);
}

Status ReadRainbowFile(const std::string& path, const ReadOptions& options, Volume* volume,
                       Notes* notes) {
  volume->Clear();
  std::string bytes;
  Status error;
  if (!ReadBytes(path, 0, &bytes, &error)) return error;
  return ReadRainbowBytes(bytes, options, volume, notes);
}

Status ReadIrisFile(const std::string& path, const ReadOptions& options, Volume* volume,
                    Notes* notes) {
  volume->Clear();
  std::string bytes;
  Status error;
  if (!ReadBytes(path, 0, &bytes, &error)) return error;
  return ReadIrisBytes(bytes, options, volume, notes);
}

Status ReadAny(const std::string& path, Format format, bool samples, const ReadOptions& options,
               Volume* volume, Notes* notes) {
  if (format == Format::kNexrad) return ReadNexradFile(path, options, volume, notes);
  if (format == Format::kRainbow) return ReadRainbowFile(path, options, volume, notes);
  if (format == Format::kOdim) return ReadOdimFile(path, samples, options, volume, notes);
  if (format == Format::kIris) return ReadIrisFile(path, options, volume, notes);
  return ReadCfRadialFile(path, samples, options, volume, notes);
}

}  // namespace

std::optional<Format> DetectFormat(const std::string& path) {
  // The processors' formats are recognised before the HDF5 library looks.
  std::string head;
  Status unreadable;
  if (!ReadBytes(path, 4096, &head, &unreadable)) head.clear();
  if (LooksLikeIris(head)) return Format::kIris;
  if (LooksLikeRainbow(head)) return Format::kRainbow;
  const std::lock_guard<std::mutex> lock(LibraryMutex());
  if (IsNexrad(path)) return Format::kNexrad;
  PrepareHdf5();
  if (IsOdim(path)) return Format::kOdim;
  return CfRadialVersion(path);
}

// Drops notes from `first` on whose line repeats an earlier one (a note per
// sweep says the same).
void Dedupe(Notes* notes, std::size_t first) {
  std::set<std::string> seen;
  for (std::size_t i = 0; i < first; ++i) seen.insert(NoteText((*notes)[i]));
  std::size_t out = first;
  for (std::size_t i = first; i < notes->size(); ++i) {
    if (!seen.insert(NoteText((*notes)[i])).second) continue;
    if (out != i) (*notes)[out] = std::move((*notes)[i]);
    ++out;
  }
  notes->resize(out);
}

Status ReadFile(const std::string& path, Format format, const ReadOptions& options,
                Volume* volume, Notes* notes) {
  const std::lock_guard<std::mutex> lock(LibraryMutex());
  PrepareHdf5();
  Notes local;
  Notes* out = notes ? notes : &local;
  const std::size_t first = out->size();
  Status s = ReadAny(path, format, /*samples=*/true, options, volume, out);
  Dedupe(out, first);
  return s;
}

namespace {

// A file beside the one a write replaces, renamed over it once the write
// succeeded, so that a failed write leaves nothing behind under the name
// and an existing file stays as it was. A symbolic link is followed: its
// target is replaced. A replaced file keeps its permissions; a new one gets
// those a newly created file would have.
Location FileLocation(const std::string& path) {
  Location location;
  location.field = path;
  return location;
}

class TemporaryFile {
 public:
  Status Create(const std::string& path) {
    target_ = path;
    char resolved[PATH_MAX];
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        ::realpath(path.c_str(), resolved) != nullptr) {
      target_ = resolved;
    }
    mode_t mode = 0;
    if (::stat(target_.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) {
        return Status(ErrorCode::kIo, "not a regular file", FileLocation(path));
      }
      mode = st.st_mode & 07777;
    } else {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      mode = 0666 & ~mask;
    }
    const std::size_t slash = target_.rfind('/');
    const std::size_t cut = slash == std::string::npos ? 0 : slash + 1;
    std::string pattern = target_.substr(0, cut) + "." + target_.substr(cut) + ".tmp-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
      return Status(ErrorCode::kIo, std::string("cannot create a file beside it: ") + std::strerror(errno),
                    FileLocation(path));
    }
    const bool moded = ::fchmod(fd, mode) == 0;
    ::close(fd);
    temp_ = pattern;
    if (!moded) return Status(ErrorCode::kIo, "cannot set the permissions", FileLocation(path));
    return Status::Ok();
  }
  const std::string& path() const { return temp_; }
  Status Commit(const std::string& path) {
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
      return Status(ErrorCode::kIo, std::string("cannot rename into place: ") + std::strerror(errno),
                    FileLocation(path));
    }
    temp_.clear();
    return Status::Ok();
  }
  // `status` with the temporary file's name replaced by `path`, which the
  // caller knows (the temporary file is gone once this object is).
  Status Named(const Status& status, const std::string& path) const {
    if (temp_.empty() || status.location().field != temp_) return status;
    std::string message = status.message();
    if (message.rfind(temp_, 0) == 0) message.replace(0, temp_.size(), path);
    Location location = status.location();
    location.field = path;
    return Status(status.code(), message, location);
  }
  ~TemporaryFile() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

 private:
  std::string target_, temp_;
};

}  // namespace

Status WriteFile(const std::string& path, Format format, const WriteOptions& options,
                 const Volume& volume, Notes* notes) {
  const std::lock_guard<std::mutex> lock(LibraryMutex());
  PrepareHdf5();
  Notes local;
  Notes* out = notes ? notes : &local;
  const std::size_t first = out->size();
  if (format == Format::kNexrad || format == Format::kIris || format == Format::kRainbow) {
    return Status(ErrorCode::kUnsupported, std::string(FormatName(format)) + " files are read, not written");
  }
  if (options.compression_level < 0 || options.compression_level > 9) {
    return Status(ErrorCode::kInvalidArgument, "compression level outside 0..9");
  }
  TemporaryFile temp;
  Status s = temp.Create(path);
  if (!s.ok()) return s;
  // With the notes, the file's metadata is read back and compared: what
  // does not come back is named. Fields the writer put in another form
  // (CF/Radial 1.4 values) are compared in that form.
  Volume read_back;
  Volume* back = options.report_not_carried ? &read_back : nullptr;
  UnpackedFields unpacked;
  s = format == Format::kOdim
          ? WriteOdimFile(temp.path(), options, volume, out, back)
          : WriteCfRadialFile(temp.path(), format == Format::kCfRadial1 ? 1 : 2, options, volume,
                              out, back, &unpacked);
  if (s.ok() && back != nullptr) {
    AddNotCarried(volume, std::move(read_back), out,
                  [&](Volume* written) { AsUnpacked(unpacked, written); });
  }
  if (s.ok()) s = temp.Commit(path);
  if (!s.ok()) s = temp.Named(s, path);
  Dedupe(out, first);
  return s;
}

// Shared with the product converters (georef.h).
std::mutex& FormatsLibraryMutex() { return LibraryMutex(); }

Status WriteBeside(const std::string& path, const std::function<Status(const std::string&)>& write) {
  TemporaryFile temp;
  Status s = temp.Create(path);
  if (s.ok()) s = write(temp.path());
  if (s.ok()) s = temp.Commit(path);
  return s;
}

}  // namespace formats
}  // namespace common_dto
