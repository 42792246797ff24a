// Parts of the ODIM_H5 converter shared between its files.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common_dto/formats/formats.h"
#include "hdf5_util.h"
#include "quantities.h"
#include "volume.pb.h"

namespace common_dto {
namespace formats {

// ODIM's attribute inheritance, written down once: a `what`, `where` or
// `how` attribute absent from a group is looked up in the group of the same
// kind one level up (datasetN/dataM -> datasetN -> root); the innermost one
// holds. Every read of such an attribute goes through here.
class OdimLevels {
 public:
  enum Kind { kWhat = 0, kWhere = 1, kHow = 2 };
  // `levels`: (object, its path) innermost first, e.g. {dataM, datasetN,
  // root}; the root's path is "".
  explicit OdimLevels(const std::vector<std::pair<hid_t, std::string>>& levels);
  // `inner` (at `path`) inside the levels of `outer`, whose groups are
  // borrowed rather than opened again: `outer` must outlive this.
  OdimLevels(hid_t inner, const std::string& path, const OdimLevels& outer);

  struct Found {
    hid_t obj = -1;    // the group holding the attribute, -1 when absent
    std::string path;  // its path, e.g. "/dataset1/how"
  };
  Found Find(Kind kind, const char* name) const;
  bool Has(Kind kind, const char* name) const { return Find(kind, name).obj >= 0; }
  // Path of the innermost group of `kind` (where a missing attribute belongs).
  std::string Inner(Kind kind) const;
  // The group of `kind` at level `level` (-1 when it does not exist).
  hid_t Group(Kind kind, std::size_t level) const;

  // Optional attributes: *out stays unset (nullopt, empty) when absent;
  // an attribute of the wrong type is an error.
  Status Double(Kind kind, const char* name, std::optional<double>* out) const;
  Status Long(Kind kind, const char* name, std::optional<std::int64_t>* out) const;
  Status String(Kind kind, const char* name, std::optional<std::string>* out) const;
  Status Doubles(Kind kind, const char* name, std::size_t count, std::vector<double>* out) const;
  // Mandatory ones: kMalformed naming the innermost group when absent.
  Status RequireDouble(Kind kind, const char* name, double* out) const;
  Status RequireLong(Kind kind, const char* name, std::int64_t* out) const;
  Status RequireString(Kind kind, const char* name, std::string* out) const;

 private:
  void Open(hid_t obj, const std::string& path);

  std::vector<hid_t> groups_[3];  // -1 where a level has no such group
  std::vector<std::string> paths_[3];
  std::vector<H5Id> owned_;       // the groups this one opened
};

// The known start and end of a sweep (seconds since 1970): its
// input_timespan, else its rays' earliest start and latest end (latest
// start when the rays have no end times); nullopt when nothing is known.
std::optional<double> SweepStartTime(const kyt::pb::common::Sweep& sweep);
std::optional<double> SweepEndTime(const kyt::pb::common::Sweep& sweep);

// The radio frequency of the volume's first pulse definition that has one
// (0 when none) and the conversions to and from ODIM's wavelength (cm).
double FirstFrequencyMhz(const kyt::pb::common::Volume& volume);
double WavelengthCm(double frequency_mhz);
double FrequencyMhz(double wavelength_cm);

// /what/date and time; *epoch stays unset when either is absent.
Status ReadRootTime(hid_t file, std::optional<std::int64_t>* epoch);

// Reads the file; with `samples` false the moment buffers get their type,
// byte order and size but no data (what a write compares against).
Status ReadOdimFile(const std::string& path, bool samples, const ReadOptions& options,
                    kyt::pb::common::Volume* volume, Notes* notes);

// Reads an open file (ReadOdimFile once it opened it).
Status ReadOdimOpen(hid_t file, bool samples, const ReadOptions& options,
                    kyt::pb::common::Volume* volume, Notes* notes);

// Writes the whole file; with `read_back`, reads its metadata back into it
// (what WriteFile compares the volume with) before closing.
Status WriteOdimFile(const std::string& path, const WriteOptions& options,
                     const kyt::pb::common::Volume& volume, Notes* notes,
                     kyt::pb::common::Volume* read_back);

// Writes group /dataset<index+1> for sweep `index`.
Status WriteOdimDataset(hid_t file, const kyt::pb::common::Volume& volume, int index,
                        const WriteOptions& options, Notes* notes);

// Reads group /dataset<index+1> into volume->sweep(index) and the
// configurations at `index`, which exist already.
Status ReadOdimDataset(hid_t file, int index, bool samples, kyt::pb::common::Volume* volume,
                       Notes* notes);

}  // namespace formats
}  // namespace common_dto
