// The formats library: volumes through ODIM_H5, CF/Radial 1.4 and 2.1 and
// back, and damaged files.
#include "common_dto/formats/formats.h"

#include <dirent.h>
#include <hdf5.h>
#include <netcdf.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common_dto/synthetic/volumes.h"
#include "stream_testing.h"

namespace {

using common_dto::ErrorCode;
using common_dto::Status;
using common_dto::formats::Format;
using common_dto::formats::Note;
using common_dto::formats::NoteKind;
using common_dto::formats::Notes;
using common_dto::formats::ReadFile;
using common_dto::formats::WriteFile;
using common_dto::formats::WriteOptions;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::Volume;

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "formats_" + std::to_string(getpid()) + "_" + name;
}

bool Contains(const Notes& notes, const std::string& text) {
  for (const auto& n : notes) {
    if (NoteText(n).find(text) != std::string::npos) return true;
  }
  return false;
}

// MakeVolume with what the formats carry: identifiers, ranges, a rotated
// first ray, beam widths and a frequency.
Volume TestVolume() {
  Volume v = common_dto_test::MakeVolume(3, 8, 5);
  auto* in = v.mutable_instrument();
  in->mutable_location()->mutable_lat_lon()->set_latitude_deg(52.9528);
  in->mutable_location()->mutable_lat_lon()->set_longitude_deg(13.8578);
  in->mutable_location()->set_altitude_m(112.5);
  in->mutable_wmo_id()->set_station_id(10393);
  in->mutable_wmo_id()->mutable_wigos_id()->set_issuer_id(20000);
  in->mutable_wmo_id()->mutable_wigos_id()->set_local_id("10393");
  in->mutable_opera_id()->set_node("defbg");
  in->mutable_opera_id()->set_place("Falkenberg");
  in->mutable_radar_properties()->set_horz_beam_width_deg(0.95);
  in->mutable_radar_properties()->set_vert_beam_width_deg(1.05);
  auto* sc = v.mutable_volume_config()->mutable_sweep_config(0);
  sc->set_type(SweepConfig::PPI);
  auto* range = sc->mutable_range_scale()->add_range_m();
  range->set_start(125);
  range->set_step(250);
  range->set_count(5);
  v.mutable_volume_config()->mutable_ray_config(0)->add_pulse_definition()->add_rf_frequency_mhz(5600);
  for (auto& sweep : *v.mutable_sweep()) {
    sweep.set_first_azimuth_gate_index(3);
    for (auto& ray : *sweep.mutable_rays()) ray.mutable_aq_start_time()->set_nanos(250000000);
  }
  return v;
}

class RoundTrip : public ::testing::TestWithParam<Format> {};

TEST_P(RoundTrip, SamplesScalesAnglesTimesAndIdentifiersComeBack) {
  const Volume v = TestVolume();
  const std::string path = TempPath(std::string("roundtrip.") + FormatName(GetParam()));
  Notes written, read;
  ASSERT_TRUE(WriteFile(path, GetParam(), {}, v, &written).ok());
  Volume back;
  const Status s = ReadFile(path, GetParam(), {}, &back, &read);
  ASSERT_TRUE(s.ok()) << s.message();
  ASSERT_EQ(back.sweep_size(), 3);
  for (int i = 0; i < 3; ++i) {
    const auto& a = v.sweep(i);
    const auto& b = back.sweep(i);
    for (const char* name : {"DBZ", "VRAD"}) {
      const DataBuffer& x = a.sweep_moments().at(name);
      const DataBuffer& y = b.sweep_moments().at(name);
      EXPECT_EQ(y.data(), x.data()) << name;  // bit for bit
      EXPECT_EQ(y.type(), x.type());
      EXPECT_EQ(y.endian(), x.endian());
    }
    EXPECT_DOUBLE_EQ(b.description().fixed_angle_deg(), a.description().fixed_angle_deg());
    EXPECT_EQ(b.index_in_task(), a.index_in_task());
    ASSERT_EQ(b.rays_size(), 8);
    for (int r = 0; r < 8; ++r) {
      EXPECT_NEAR(b.rays(r).az_range_deg().start_deg(), a.rays(r).az_range_deg().start_deg(), 1e-9);
      EXPECT_NEAR(b.rays(r).az_range_deg().span_deg(), 1.0, 1e-9);
      EXPECT_EQ(b.rays(r).aq_start_time().seconds(), a.rays(r).aq_start_time().seconds());
      EXPECT_EQ(b.rays(r).aq_start_time().nanos(), 250000000);
    }
  }
  const auto& dbz = back.volume_config().sweep_config(0).data_moments().at("DBZ");
  EXPECT_EQ(dbz.scale().type(), DataDescriptor::DataScale::LINEAR);
  EXPECT_DOUBLE_EQ(dbz.scale().linear_scale().step(), 0.5);
  EXPECT_EQ(dbz.scale().linear_scale().not_scanned(), 1);
  const auto& range = back.volume_config().sweep_config(1).range_scale().range_m(0);
  EXPECT_NEAR(range.start(), 125, 1e-9);
  EXPECT_NEAR(range.step(), 250, 1e-9);
  EXPECT_EQ(range.count(), 5);
  const auto& loc = back.instrument().location();
  EXPECT_DOUBLE_EQ(loc.lat_lon().latitude_deg(), 52.9528);
  EXPECT_DOUBLE_EQ(loc.altitude_m(), 112.5);
  EXPECT_DOUBLE_EQ(back.instrument().radar_properties().vert_beam_width_deg(), 1.05);
  EXPECT_NEAR(back.volume_config().ray_config(2).pulse_definition(0).rf_frequency_mhz(0), 5600, 1e-6);
  // What the format has no place for is named, and nothing more.
  EXPECT_TRUE(Contains(written, "not carried: sweep[*].rays[*].noise_dbm"));
  EXPECT_TRUE(Contains(written, "not carried: uuid"));
  EXPECT_FALSE(Contains(written, "sweep[*].rays[*].az_range_deg"));
  EXPECT_FALSE(Contains(written, "instrument.location"));
  unlink(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(Formats, RoundTrip,
                         ::testing::Values(Format::kOdim, Format::kCfRadial1, Format::kCfRadial2),
                         [](const auto& param_info) { return std::string(FormatName(param_info.param)); });

TEST(Odim, CarriesStationIdentifiersFirstGateAndSweepTimes) {
  const Volume v = TestVolume();
  const std::string path = TempPath("ids.h5");
  WriteOptions options;
  options.compression_level = 6;
  ASSERT_TRUE(WriteFile(path, Format::kOdim, options, v, nullptr).ok());
  EXPECT_EQ(common_dto::formats::DetectFormat(path), Format::kOdim);
  Volume back;
  ASSERT_TRUE(ReadFile(path, Format::kOdim, {}, &back, nullptr).ok());
  EXPECT_EQ(back.instrument().wmo_id().station_id(), 10393u);
  EXPECT_EQ(back.instrument().wmo_id().wigos_id().issuer_id(), 20000u);
  EXPECT_EQ(back.instrument().wmo_id().wigos_id().local_id(), "10393");
  EXPECT_EQ(back.instrument().opera_id().node(), "defbg");
  EXPECT_EQ(back.instrument().opera_id().place(), "Falkenberg");
  EXPECT_EQ(back.sweep(2).first_azimuth_gate_index(), 3);
  EXPECT_EQ(back.sweep(2).input_timespan().start().seconds(), v.sweep(2).input_timespan().start().seconds());
  EXPECT_EQ(back.sweep(2).rays(0).aq_end_time().nanos(), 500000000);
  EXPECT_EQ(back.sweep(2).sweep_moments().at("DBZ").data(), v.sweep(2).sweep_moments().at("DBZ").data());
  unlink(path.c_str());
}

TEST(ReferenceVolume, OperaVolumeThroughEveryFormatKeepsItsSamples) {
  Volume v;
  common_dto::synthetic::MakeVolume(common_dto::synthetic::VolumeS(), &v);
  for (Format f : {Format::kOdim, Format::kCfRadial1, Format::kCfRadial2}) {
    const std::string path = TempPath(std::string("s.") + FormatName(f));
    Notes notes;
    ASSERT_TRUE(WriteFile(path, f, {}, v, &notes).ok()) << FormatName(f);
    EXPECT_FALSE(Contains(notes, "not an ODIM quantity"));
    // Scale and codes come back; only the descriptor's limits do not.
    for (const char* field : {"linear_scale.step", "linear_scale.offset", "not_scanned", "under_threshold",
                              "data_moments[*].type", "range_scale", "az_range_deg", "fixed_angle"}) {
      EXPECT_FALSE(Contains(notes, field)) << FormatName(f) << " " << field;
    }
    EXPECT_TRUE(Contains(notes, "linear_scale.min_value"));
    Volume back;
    ASSERT_TRUE(ReadFile(path, f, {}, &back, nullptr).ok());
    ASSERT_EQ(back.sweep_size(), v.sweep_size());
    for (int i = 0; i < v.sweep_size(); ++i) {
      for (const auto& [name, buffer] : v.sweep(i).sweep_moments()) {
        ASSERT_EQ(back.sweep(i).sweep_moments().at(name).data(), buffer.data()) << name;
      }
    }
    const auto& d = back.volume_config().sweep_config(0).data_moments().at("DBZH");
    EXPECT_EQ(d.type(), kyt::pb::common::REFLECTIVITY_DBZ);
    EXPECT_EQ(d.scale().linear_scale().not_scanned(), 255);
    unlink(path.c_str());
  }
}

// ---- Damaged and unexpected files -----------------------------------------

class OdimDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TempPath("damage.h5");
    ASSERT_TRUE(WriteFile(path_, Format::kOdim, {}, TestVolume(), nullptr).ok());
  }
  void TearDown() override { unlink(path_.c_str()); }
  // Runs `edit` on the open file's /dataset1.
  template <typename Edit>
  void EditDataset(Edit edit) {
    const hid_t file = H5Fopen(path_.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    const hid_t group = H5Gopen2(file, "/dataset1", H5P_DEFAULT);
    edit(group);
    H5Gclose(group);
    H5Fclose(file);
  }
  Status Read(Volume* v, Notes* notes = nullptr) { return ReadFile(path_, Format::kOdim, {}, v, notes); }
  std::string path_;
};

TEST_F(OdimDamage, UnknownQuantityIsKeptUnderItsName) {
  EditDataset([](hid_t g) {
    const hid_t what = H5Gopen2(g, "data1/what", H5P_DEFAULT);
    H5Adelete(what, "quantity");
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, 6);
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attr = H5Acreate2(what, "quantity", type, space, H5P_DEFAULT, H5P_DEFAULT);
    H5Awrite(attr, type, "XYZZY");
    H5Aclose(attr);
    H5Sclose(space);
    H5Tclose(type);
    H5Gclose(what);
  });
  Volume v;
  Notes notes;
  ASSERT_TRUE(Read(&v, &notes).ok());
  ASSERT_EQ(v.sweep(0).sweep_moments().count("XYZZY"), 1u);
  EXPECT_EQ(v.volume_config().sweep_config(0).data_moments().at("XYZZY").type(), kyt::pb::common::CUSTOM_TYPE);
  EXPECT_TRUE(Contains(notes, "moment XYZZY: unknown ODIM quantity, kept under its name"));
}

TEST_F(OdimDamage, TruncatedAndForeignFilesFailCleanly) {
  std::ifstream in(path_, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t keep : {bytes.size() / 2, bytes.size() - 100, std::size_t{600}, std::size_t{10}}) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<long>(keep));
    Volume v;
    const Status s = Read(&v);
    EXPECT_FALSE(s.ok()) << keep;
    EXPECT_EQ(s.code(), ErrorCode::kMalformed) << keep << ": " << s.message();
  }
  std::ofstream(path_, std::ios::trunc) << "not a radar file\n";
  Volume v;
  EXPECT_EQ(Read(&v).code(), ErrorCode::kMalformed);
  EXPECT_EQ(ReadFile(path_, Format::kCfRadial1, {}, &v, nullptr).code(), ErrorCode::kMalformed);
  EXPECT_EQ(common_dto::formats::DetectFormat(path_), std::nullopt);
  EXPECT_EQ(ReadFile(TempPath("absent.nc"), Format::kCfRadial2, {}, &v, nullptr).code(), ErrorCode::kIo);
}

TEST(Rhi, GoesToCfRadialButNotIntoAnOdimPolarVolume) {
  Volume v = TestVolume();
  v.mutable_volume_config()->mutable_sweep_config(0)->set_type(SweepConfig::RHI);
  const std::string path = TempPath("rhi");
  const Status s = WriteFile(path + ".h5", Format::kOdim, {}, v, nullptr);
  EXPECT_EQ(s.code(), ErrorCode::kInvalidArgument);
  EXPECT_NE(s.message().find("RHI sweep; ODIM polar volumes hold PPI sweeps"), std::string::npos);
  ASSERT_TRUE(WriteFile(path + ".nc", Format::kCfRadial2, {}, v, nullptr).ok());
  Volume back;
  ASSERT_TRUE(ReadFile(path + ".nc", Format::kCfRadial2, {}, &back, nullptr).ok());
  EXPECT_EQ(back.volume_config().sweep_config(1).type(), SweepConfig::RHI);
  EXPECT_EQ(WriteFile(path + ".h5", Format::kOdim, {}, back, nullptr).code(), ErrorCode::kInvalidArgument);
  unlink((path + ".h5").c_str());
  unlink((path + ".nc").c_str());
}

TEST(CfRadial1, OneRangeAxisPadsShortSweepsAndRefusesOthers) {
  Volume v = TestVolume();
  auto* extra = v.mutable_volume_config()->add_sweep_config();
  *extra = v.volume_config().sweep_config(0);
  extra->mutable_range_scale()->mutable_range_m(0)->set_start(500);
  v.mutable_sweep(1)->mutable_description()->mutable_config()->set_sweep_config_index(1);
  const std::string path = TempPath("cf1.nc");
  const Status s = WriteFile(path, Format::kCfRadial1, {}, v, nullptr);
  EXPECT_EQ(s.code(), ErrorCode::kUnsupported);
  EXPECT_EQ(s.location().field, "sweep[1]");
  EXPECT_TRUE(WriteFile(path, Format::kCfRadial2, {}, v, nullptr).ok());

  Volume shorter = common_dto_test::MakeVolume(1, 4, 3);
  const Volume longer = common_dto_test::MakeVolume(1, 4, 6);
  *shorter.add_sweep() = longer.sweep(0);
  Notes notes;
  ASSERT_TRUE(WriteFile(path, Format::kCfRadial1, {}, shorter, &notes).ok());
  EXPECT_TRUE(Contains(notes, "sweep[0]: 3 gates padded to 6 with the fill value"));
  Volume back;
  ASSERT_TRUE(ReadFile(path, Format::kCfRadial1, {}, &back, nullptr).ok());
  const std::string& dbz = back.sweep(0).sweep_moments().at("DBZ").data();
  ASSERT_EQ(dbz.size(), 4u * 6 * 2);
  EXPECT_EQ(dbz.substr(0, 6), shorter.sweep(0).sweep_moments().at("DBZ").data().substr(0, 6));
  EXPECT_EQ(dbz.substr(6, 2), std::string("\x01\x00", 2));  // the not-scanned code, little-endian
  unlink(path.c_str());
}

// 1.4 holds one variable per field: DBZ with another offset in sweep 0 is
// written as float values. The notes say so and name no scale or type as
// lost, unless the scale holds what CF/Radial carries in neither form
// (cyclic limits).
TEST(CfRadial1, FieldScaledDifferentlyBySweepIsWrittenAsValues) {
  for (const bool cyclic : {false, true}) {
    Volume v = TestVolume();
    auto* other = v.mutable_volume_config()->add_sweep_config();
    *other = v.volume_config().sweep_config(0);
    auto* lin = (*other->mutable_data_moments())["DBZ"].mutable_scale()->mutable_linear_scale();
    lin->set_offset(-32);
    lin->set_cyclic(cyclic);
    v.mutable_sweep(0)->mutable_description()->mutable_config()->set_sweep_config_index(1);
    const std::string path = TempPath("cf1-values.nc");
    Notes notes;
    ASSERT_TRUE(WriteFile(path, Format::kCfRadial1, {}, v, &notes).ok());
    std::string lost;
    for (const Note& n : notes) {
      if (n.kind == NoteKind::kNotCarried) lost += NoteText(n) + "\n";
    }
    EXPECT_TRUE(Contains(notes, "moment DBZ: written unpacked, as float values"));
    EXPECT_EQ(lost.find("data_moments[*].scale\n") != std::string::npos, cyclic) << lost;
    for (const char* field : {"linear_scale", "sweep_moments[*].type"}) {
      EXPECT_EQ(lost.find(field), std::string::npos) << field << "\n" << lost;
    }
    Volume back;
    ASSERT_TRUE(ReadFile(path, Format::kCfRadial1, {}, &back, nullptr).ok());
    for (int s = 0; s < 3; ++s) {
      const DataBuffer& b = back.sweep(s).sweep_moments().at("DBZ");
      const std::string& codes = v.sweep(s).sweep_moments().at("DBZ").data();
      ASSERT_EQ(b.type(), DataBuffer::FLOAT);
      ASSERT_EQ(b.data().size(), codes.size() * 2);
      for (std::size_t g = 0; g < codes.size() / 2; ++g) {
        const int code = static_cast<unsigned char>(codes[2 * g]) |
                         static_cast<unsigned char>(codes[2 * g + 1]) << 8;
        float value;
        std::memcpy(&value, b.data().data() + 4 * g, 4);
        // Code 1 is not scanned; code 0 below threshold, written as its value.
        if (code == 1) {
          EXPECT_TRUE(std::isnan(value));
        } else {
          EXPECT_EQ(value, static_cast<float>((s == 0 ? -32 : 0) + 0.5 * code));
        }
      }
    }
    unlink(path.c_str());
  }
}

// A CF/Radial 1.4 file of TestVolume, changed by `edit` on the open file.
template <typename Edit>
Status ReadEditedCfRadial1(Edit edit) {
  const std::string path = TempPath("cf1-damage.nc");
  EXPECT_TRUE(WriteFile(path, Format::kCfRadial1, {}, TestVolume(), nullptr).ok());
  int ncid = 0;
  EXPECT_EQ(nc_open(path.c_str(), NC_WRITE, &ncid), NC_NOERR);
  nc_redef(ncid);
  edit(ncid);
  nc_close(ncid);
  Volume v;
  const Status s = ReadFile(path, Format::kCfRadial1, {}, &v, nullptr);
  unlink(path.c_str());
  return s;
}

int Var(int ncid, const char* name) {
  int id = -1;
  nc_inq_varid(ncid, name, &id);
  return id;
}

TEST(CfRadialDamage, MissingVariablesAndBadIndicesAreNamed) {
  Status s = ReadEditedCfRadial1([](int ncid) { nc_rename_var(ncid, Var(ncid, "fixed_angle"), "angle"); });
  EXPECT_EQ(s.code(), ErrorCode::kMalformed);
  EXPECT_EQ(s.location().field, "fixed_angle");

  s = ReadEditedCfRadial1([](int ncid) {
    nc_enddef(ncid);
    const std::size_t index[1] = {1};
    const int beyond = 1000;
    nc_put_var1_int(ncid, Var(ncid, "sweep_end_ray_index"), index, &beyond);
  });
  EXPECT_EQ(s.code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(s.location().field, "sweep[1]");
  EXPECT_NE(s.message().find("outside the 24 rays"), std::string::npos) << s.message();

  // Ragged rays (an n_points dimension) need ray_n_gates and ray_start_index.
  s = ReadEditedCfRadial1([](int ncid) {
    int dim = 0, var = 0;
    nc_def_dim(ncid, "n_points", 10, &dim);
    nc_inq_dimid(ncid, "time", &dim);
    nc_def_var(ncid, "ray_n_gates", NC_INT, 1, &dim, &var);
  });
  EXPECT_EQ(s.code(), ErrorCode::kMalformed);
  EXPECT_EQ(s.location().field, "ray_start_index");

  s = ReadEditedCfRadial1([](int ncid) {
    nc_rename_var(ncid, Var(ncid, "sweep_start_ray_index"), "first_ray");
  });
  EXPECT_EQ(s.code(), ErrorCode::kMalformed);
  EXPECT_NE(s.message().find("not CF/Radial"), std::string::npos);
}

// Names in a directory, "." and ".." left out.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  }
  if (d != nullptr) closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Write, GoesThroughATemporaryFileBesideTheTarget) {
  std::string dir = ::testing::TempDir() + "formats_write_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string out = dir + "/out.h5", link = dir + "/link.nc", target = dir + "/target.nc";
  std::ofstream(out) << "old content";
  ASSERT_EQ(chmod(out.c_str(), 0640), 0);
  // A write that fails after it started leaves the old file and nothing else.
  Volume rhi = TestVolume();
  rhi.mutable_volume_config()->mutable_sweep_config(0)->set_type(SweepConfig::RHI);
  EXPECT_EQ(WriteFile(out, Format::kOdim, {}, rhi, nullptr).code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(Contents(out), "old content");
  EXPECT_EQ(Listing(dir), std::vector<std::string>{"out.h5"});
  // A write that succeeds replaces it and keeps its permissions.
  ASSERT_TRUE(WriteFile(out, Format::kOdim, {}, TestVolume(), nullptr).ok());
  EXPECT_GT(H5Fis_hdf5(out.c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Through a symbolic link the target is replaced, the link stays.
  std::ofstream(target) << "old";
  ASSERT_EQ(symlink("target.nc", link.c_str()), 0);
  ASSERT_TRUE(WriteFile(link, Format::kCfRadial2, {}, TestVolume(), nullptr).ok());
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  Volume back;
  EXPECT_TRUE(ReadFile(target, Format::kCfRadial2, {}, &back, nullptr).ok());
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"link.nc", "out.h5", "target.nc"}));
  // A directory that does not exist is an I/O error naming the path.
  const Status s = WriteFile(dir + "/none/x.h5", Format::kOdim, {}, TestVolume(), nullptr);
  EXPECT_EQ(s.code(), ErrorCode::kIo);
  EXPECT_EQ(s.location().field, dir + "/none/x.h5");
  for (const std::string& name : Listing(dir)) unlink((dir + "/" + name).c_str());
  rmdir(dir.c_str());
}

// ---- Notes as records -------------------------------------------------------

// One conversion and a note it must give, field by field.
struct NoteCase {
  const char* name;
  Format format;
  bool read_back;  // the note comes from reading the written file
  void (*mutate)(Volume*);
  Note expected;
  const char* line;
};

void NoChange(Volume*) {}
void DropRayTimes(Volume* v) {
  for (auto& sweep : *v->mutable_sweep()) {
    for (auto& ray : *sweep.mutable_rays()) {
      ray.clear_aq_start_time();
      ray.clear_aq_end_time();
    }
  }
}
void ShortFirstSweep(Volume* v) {
  Volume shorter = common_dto_test::MakeVolume(1, 4, 3);
  const Volume longer = common_dto_test::MakeVolume(1, 4, 6);
  *shorter.add_sweep() = longer.sweep(0);
  *v = shorter;
}
void CommaInComment(Volume* v) { v->mutable_instrument()->mutable_opera_id()->set_comment("a, b"); }
void SignedCode(Volume* v) {
  auto* lin = v->mutable_volume_config()
                  ->mutable_sweep_config(0)
                  ->mutable_data_moments()
                  ->at("DBZ")
                  .mutable_scale()
                  ->mutable_linear_scale();
  lin->set_under_threshold(-5);  // a UINT16 moment cannot hold it
}

const NoteCase kNoteCases[] = {
    {"odim_custom_quantity",
     Format::kOdim,
     false,
     NoChange,
     {NoteKind::kUnknownName, "what/quantity", "DBZ",
      "not an ODIM quantity, written under its own name"},
     "moment DBZ: not an ODIM quantity, written under its own name"},
    {"odim_no_scale",
     Format::kOdim,
     false,
     NoChange,
     {NoteKind::kAssumed, "linear_scale", "VRAD",
      "no linear scale; written with gain 1, offset 0 and no nodata or undetect code"},
     "moment VRAD: no linear scale; written with gain 1, offset 0 and no nodata or undetect code"},
    {"odim_not_carried",
     Format::kOdim,
     false,
     NoChange,
     {NoteKind::kNotCarried, "sweep[*].rays[*].noise_dbm[*]", "", ""},
     "not carried: sweep[*].rays[*].noise_dbm[*]"},
    {"odim_comment_comma",
     Format::kOdim,
     false,
     CommaInComment,
     {NoteKind::kNotCarried, "instrument.opera_id.comment", "",
      "opera_id.comment holds a comma, which ODIM source text cannot carry"},
     "opera_id.comment holds a comma, which ODIM source text cannot carry"},
    {"odim_derived_times",
     Format::kOdim,
     true,
     DropRayTimes,
     {NoteKind::kDerived, "/dataset1/how/startazT", "",
      "ray times derived from the sweeps' start and end (the file has no how/startazT)"},
     "ray times derived from the sweeps' start and end (the file has no how/startazT)"},
    {"cf1_padded",
     Format::kCfRadial1,
     false,
     ShortFirstSweep,
     {NoteKind::kConverted, "range", "", "sweep[0]: 3 gates padded to 6 with the fill value"},
     "sweep[0]: 3 gates padded to 6 with the fill value"},
    {"cf2_derived_times",
     Format::kCfRadial2,
     false,
     DropRayTimes,
     {NoteKind::kDerived, "time", "", "ray times derived from their sweep's start and end times"},
     "ray times derived from their sweep's start and end times"},
    {"cf2_undetect_outside_type",
     Format::kCfRadial2,
     false,
     SignedCode,
     {NoteKind::kNotCarried, "_Undetect", "DBZ",
      "below-threshold code -5 not carried (outside the storage type)"},
     "moment DBZ: below-threshold code -5 not carried (outside the storage type)"},
    {"cf2_no_standard_name",
     Format::kCfRadial2,
     false,
     NoChange,
     {NoteKind::kUnknownName, "standard_name", "DBZ",
      "no CF standard name known, written without one"},
     "moment DBZ: no CF standard name known, written without one"},
};

void PrintTo(const NoteCase& c, std::ostream* os) { *os << c.name; }

class NoteRecords : public ::testing::TestWithParam<NoteCase> {};

TEST_P(NoteRecords, KindFieldMomentAndLineAreExact) {
  const NoteCase& c = GetParam();
  Volume v = TestVolume();
  c.mutate(&v);
  const std::string path = TempPath(std::string("notes_") + c.name);
  Notes notes;
  ASSERT_TRUE(WriteFile(path, c.format, {}, v, &notes).ok());
  if (c.read_back) {
    notes.clear();
    Volume back;
    ASSERT_TRUE(ReadFile(path, c.format, {}, &back, &notes).ok());
  }
  unlink(path.c_str());
  const auto found = std::find_if(notes.begin(), notes.end(), [&](const Note& n) {
    return n.kind == c.expected.kind && n.field == c.expected.field &&
           n.moment == c.expected.moment;
  });
  std::string all;
  for (const Note& n : notes) all += std::string(NoteKindName(n.kind)) + " [" + n.field + "] " + NoteText(n) + "\n";
  ASSERT_NE(found, notes.end()) << all;
  EXPECT_EQ(found->text, c.expected.text);
  EXPECT_EQ(NoteText(*found), c.line);
  // One note per line: lines repeated by later sweeps are dropped.
  EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                          [&](const Note& n) { return NoteText(n) == c.line; }),
            1);
}

INSTANTIATE_TEST_SUITE_P(Conversions, NoteRecords, ::testing::ValuesIn(kNoteCases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(NoteRecords, KindsHaveStableNames) {
  EXPECT_STREQ(NoteKindName(NoteKind::kNotCarried), "not_carried");
  EXPECT_STREQ(NoteKindName(NoteKind::kDerived), "derived");
  EXPECT_STREQ(NoteKindName(NoteKind::kAssumed), "assumed");
  EXPECT_STREQ(NoteKindName(NoteKind::kConverted), "converted");
  EXPECT_STREQ(NoteKindName(NoteKind::kUnknownName), "unknown_name");
}

// ---- A disk that fills up during a write ------------------------------------

// Lowers the process's file size limit (a full disk, as far as write(2) can
// tell: EFBIG) for the life of the object.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = nullptr;
};

// The first write that does not fit, by format: the call and where.
struct FullDiskCase {
  Format format;
  const char* field;
  const char* message;
};

void PrintTo(const FullDiskCase& c, std::ostream* os) { *os << FormatName(c.format); }

class FullDisk : public ::testing::TestWithParam<FullDiskCase> {};

TEST_P(FullDisk, WriteFailsAsIoNamingTheCallAndLeavesTheOldFile) {
  const FullDiskCase& c = GetParam();
  std::string dir = ::testing::TempDir() + "formats_full_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string out = dir + "/out";
  std::ofstream(out) << "old content";
  // 64 KiB of room for a volume of several hundred kB of samples.
  const Volume v = common_dto_test::MakeVolume(3, 360, 250);
  Status s;
  {
    const FileSizeLimit limit(64 * 1024);
    s = WriteFile(out, c.format, {}, v, nullptr);
  }
  EXPECT_EQ(s.code(), ErrorCode::kIo);
  EXPECT_EQ(s.location().field, c.field);
  EXPECT_EQ(s.message(), c.message);
  EXPECT_EQ(Contents(out), "old content");
  EXPECT_EQ(Listing(dir), std::vector<std::string>{"out"});
  unlink(out.c_str());
  rmdir(dir.c_str());
}

INSTANTIATE_TEST_SUITE_P(Formats, FullDisk,
                         ::testing::Values(FullDiskCase{Format::kOdim, "/dataset1/data1/data",
                                                        "/dataset1/data1/data: H5Dwrite failed"},
                                           FullDiskCase{Format::kCfRadial1, "DBZ",
                                                        "DBZ: nc_put_vara: NetCDF: HDF error"},
                                           FullDiskCase{Format::kCfRadial2, "DBZ",
                                                        "DBZ: nc_put_vara: NetCDF: HDF error"}),
                         [](const auto& param_info) {
                           return std::string(FormatName(param_info.param.format));
                         });

}  // namespace
