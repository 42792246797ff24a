// CF/Radial 1.4 fields whose sweeps store them differently, written as
// physical values (see UnpackedField).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <string_view>

#include "cfradial_internal.h"
#include "common_dto/model/buffers.h"
#include "netcdf_util.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;

namespace {

bool IsLinear(const DataDescriptor* d) {
  return d != nullptr && d->scale().type() == DataDescriptor::DataScale::LINEAR;
}

// What the sweeps of a field must agree on for one packed variable to hold
// them all: storage type, linear scale, codes, and the code gates without
// data are written as (MissingCode, which the valid range may decide).
struct Packing {
  int storage = 0;
  bool linear = false;
  double step = 0, offset = 0;
  std::int64_t not_scanned = 0, under_threshold = 0;
  std::optional<std::int64_t> missing;
};

Packing PackingOf(const Volume& volume, int index, const std::string& name) {
  const Sweep& sweep = volume.sweep(index);
  const DataDescriptor* d = DescriptorOf(volume, sweep, name);
  Packing p;
  p.storage = sweep.sweep_moments().at(name).type();
  p.linear = IsLinear(d);
  if (!p.linear) return p;
  const auto& lin = d->scale().linear_scale();
  p.step = lin.step();
  p.offset = lin.offset();
  p.not_scanned = lin.not_scanned();
  p.under_threshold = lin.under_threshold();
  p.missing = MissingCode(lin, p.storage);
  return p;
}

// How `b` differs from `a` ("scale (step 0.25, offset -10 against step 0.5,
// offset -32)"); empty when they agree.
std::string Difference(const Packing& a, const Packing& b) {
  const auto storage = [](const Packing& p) {
    return DataBuffer::StorageType_Name(static_cast<DataBuffer::StorageType>(p.storage));
  };
  const auto scale = [](const Packing& p) {
    return p.linear ? "step " + NumberText(p.step) + ", offset " + NumberText(p.offset)
                    : std::string("none");
  };
  const auto codes = [](const Packing& p) {
    return "not scanned " + std::to_string(p.not_scanned) + ", below threshold " +
           std::to_string(p.under_threshold) +
           (p.missing ? ", missing " + std::to_string(*p.missing) : std::string());
  };
  if (a.storage != b.storage) return "storage type (" + storage(b) + " against " + storage(a) + ")";
  if (a.linear != b.linear || a.step != b.step || a.offset != b.offset) {
    return "scale (" + scale(b) + " against " + scale(a) + ")";
  }
  if (a.not_scanned != b.not_scanned || a.under_threshold != b.under_threshold ||
      a.missing != b.missing) {
    return "codes (" + codes(b) + " against " + codes(a) + ")";
  }
  return "";
}

// Whether a sweep's values go to float32 without a loss that matters:
// float32 rounds offset + step * code by at most 6e-8 of the value, far
// below the resolution any radar moment is measured to, and keeps every
// code of 8- and 16-bit samples apart (24-bit significand). INT32 samples
// are in practice CF files' widened 8- and 16-bit ones, FLOAT samples are
// float32 already. DOUBLE and INT64 samples keep more digits than float32
// has, and a scale may reach beyond float32's range: such a field is
// written as NC_DOUBLE.
bool FitsFloat(const Packing& p) {
  if (p.storage == DataBuffer::DOUBLE || p.storage == DataBuffer::INT64) return false;
  double top = FLT_MAX;  // the largest sample magnitude
  if (p.storage == DataBuffer::UINT8) top = 0xff;
  if (p.storage == DataBuffer::UINT16) top = 0xffff;
  if (p.storage == DataBuffer::INT32) top = 2147483648.0;
  const double step = p.linear ? std::fabs(p.step) : 1, offset = p.linear ? std::fabs(p.offset) : 0;
  return offset + step * top <= FLT_MAX;
}

// `v` as a variable of netCDF type `type` holds it.
double Narrow(double v, int type) {
  return type == NC_FLOAT ? static_cast<double>(static_cast<float>(v)) : v;
}

// Calls f(gate) for every gate of sweep `index`'s moment `name` (GateOf).
template <typename F>
Status ForEachGate(const Volume& volume, int index, const std::string& name, std::size_t gates,
                   F&& f) {
  const Sweep& sweep = volume.sweep(index);
  const DataBuffer& b = sweep.sweep_moments().at(name);
  std::string scratch;
  std::string_view samples;
  const Status s =
      SweepSamples(b, sweep.rays_size(), static_cast<std::int64_t>(gates), &scratch, &samples);
  if (!s.ok()) return SweepError(s.code(), index, name, s.message());
  const DataDescriptor* d = DescriptorOf(volume, sweep, name);
  const auto width = static_cast<std::size_t>(SampleWidth(b.type()));
  for (std::size_t at = 0; at + width <= samples.size(); at += width) {
    f(GateOf(d, SampleAt(samples.data() + at, b.type(), b.endian())));
  }
  return Status::Ok();
}

// The value sweep `index`'s below-threshold gates of `name` have in a
// variable of `type`; none without a separate below-threshold code its
// samples can hold.
std::optional<double> BelowThreshold(const Volume& volume, int index, const std::string& name,
                                     int type) {
  const Sweep& sweep = volume.sweep(index);
  const DataDescriptor* d = DescriptorOf(volume, sweep, name);
  if (!IsLinear(d)) return std::nullopt;
  const auto& lin = d->scale().linear_scale();
  if (lin.under_threshold() == lin.not_scanned() ||
      !TypeHoldsCode(sweep.sweep_moments().at(name).type(), lin.under_threshold())) {
    return std::nullopt;
  }
  return Narrow(lin.offset() + lin.step() * lin.under_threshold(), type);
}

// Sets field->undetect when the below-threshold gates of every sweep of
// `sweeps` that has such a code get the same value and no measured gate
// does; notes why not otherwise.
Status PlanUndetect(const Volume& volume, const std::string& name, const std::vector<int>& sweeps,
                    const std::vector<RangeAxis>& axes, UnpackedField* field, Notes* notes) {
  std::vector<std::pair<int, double>> own;
  for (int i : sweeps) {
    if (const auto v = BelowThreshold(volume, i, name, field->type)) own.emplace_back(i, *v);
  }
  if (own.empty()) return Status::Ok();
  const double value = own[0].second;
  if (std::any_of(own.begin(), own.end(), [&](const auto& o) { return o.second != value; })) {
    std::string list;
    for (const auto& [i, v] : own) {
      list += (list.empty() ? "" : ", ") + NumberText(v) + " in sweep[" + std::to_string(i) + "]";
    }
    notes->push_back({NoteKind::kNotCarried, "_Undetect", name,
                      "below-threshold gates written as their sweep's own value (" + list +
                          "); no _Undetect tells them from measured ones"});
    return Status::Ok();
  }
  for (int i : sweeps) {
    bool measured = false;
    const Status s = ForEachGate(
        volume, i, name, static_cast<std::size_t>(axes[static_cast<std::size_t>(i)].gates),
        [&](const Gate& g) {
          measured |= g.kind == CodeKind::kValue && Narrow(g.value, field->type) == value;
        });
    if (!s.ok()) return s;
    if (measured) {
      notes->push_back({NoteKind::kNotCarried, "_Undetect", name,
                        "below-threshold gates written as " + NumberText(value) +
                            ", which measured gates of sweep[" + std::to_string(i) +
                            "] hold too; no _Undetect tells them apart"});
      return Status::Ok();
    }
  }
  field->undetect = value;
  if (!IsCode(value)) {
    notes->push_back({NoteKind::kNotCarried, "_Undetect", name,
                      "below-threshold value " + NumberText(value) +
                          " is no whole number: those gates read back as missing (NaN)"});
  }
  return Status::Ok();
}

}  // namespace

Status PlanUnpacked(const Volume& volume, const std::vector<RangeAxis>& axes,
                    UnpackedFields* unpacked, Notes* notes) {
  std::map<std::string, std::vector<int>> holders;  // the sweeps holding each field
  for (int i = 0; i < volume.sweep_size(); ++i) {
    for (const std::string& name : MomentNames(volume.sweep(i))) holders[name].push_back(i);
  }
  for (const auto& [name, sweeps] : holders) {
    std::vector<Packing> packings;
    for (int i : sweeps) packings.push_back(PackingOf(volume, i, name));
    // A storage type netCDF has no type for is refused where it is defined.
    if (std::any_of(packings.begin(), packings.end(),
                    [](const Packing& p) { return NcTypeOf(p.storage) == NC_NAT; })) {
      continue;
    }
    std::size_t k = 1;
    std::string why;
    while (k < sweeps.size() && (why = Difference(packings[0], packings[k])).empty()) ++k;
    if (why.empty()) continue;
    UnpackedField field;
    field.type = std::all_of(packings.begin(), packings.end(), FitsFloat) ? NC_FLOAT : NC_DOUBLE;
    notes->push_back(
        {NoteKind::kConverted, "scale_factor", name,
         std::string("written unpacked, as ") + (field.type == NC_FLOAT ? "float" : "double") +
             " values without scale_factor and add_offset: sweep[" + std::to_string(sweeps[k]) +
             "] differs from sweep[" + std::to_string(sweeps[0]) + "] in its " + why +
             ", and CF/Radial 1.4 holds one packing per field"});
    const Status s = PlanUndetect(volume, name, sweeps, axes, &field, notes);
    if (!s.ok()) return s;
    (*unpacked)[name] = field;
  }
  return Status::Ok();
}

Status PutValues(const Volume& volume, int index, const std::string& name, const SweepPlace& place,
                 std::size_t gates, Notes* notes) {
  const Sweep& sweep = volume.sweep(index);
  const auto rays = static_cast<std::size_t>(sweep.rays_size());
  std::vector<double> values;  // the variable's type (float or double) converts them
  values.reserve(rays * gates);
  std::int64_t outside = 0;
  std::vector<std::int64_t> codes;  // the first few out of the valid range
  Status s = ForEachGate(volume, index, name, gates, [&](const Gate& g) {
    const bool valued = g.kind == CodeKind::kValue || g.kind == CodeKind::kUnderThreshold;
    values.push_back(valued ? g.value : std::nan(""));
    if (g.kind != CodeKind::kOutOfRange) return;
    ++outside;
    if (codes.size() < 4 && std::find(codes.begin(), codes.end(), g.code) == codes.end()) {
      codes.push_back(g.code);
    }
  });
  if (!s.ok()) return s;
  if (outside > 0) {
    // Codes out of the valid range come only from a LINEAR scale.
    const DataDescriptor* d = DescriptorOf(volume, sweep, name);
    notes->push_back({NoteKind::kConverted, "sweep[" + std::to_string(index) + "].sweep_moments",
                      name,
                      OutOfRangeText(d->scale().linear_scale(), index, outside, codes) +
                          " written as missing (NaN)"});
  }
  if (rays == 0 || gates == 0) return Status::Ok();
  const std::size_t start[2] = {place.first_ray, 0}, count[2] = {rays, gates};
  return NcCheck(
      nc_put_vara_double(place.ncid, VarId(place.ncid, name), start, count, values.data()),
      "nc_put_vara_double", ErrorCode::kIo, name);
}

void AsUnpacked(const UnpackedFields& unpacked, Volume* metadata) {
  for (Sweep& sweep : *metadata->mutable_sweep()) {
    for (const auto& [name, field] : unpacked) {
      const auto it = sweep.mutable_sweep_moments()->find(name);
      if (it == sweep.mutable_sweep_moments()->end()) continue;
      it->second.set_type(field.type == NC_FLOAT ? DataBuffer::FLOAT : DataBuffer::DOUBLE);
      it->second.set_endian(NativeBig() ? DataBuffer::BIG : DataBuffer::LITTLE);
      // The descriptor lies in *metadata, which is this function's to change.
      auto* d = const_cast<DataDescriptor*>(DescriptorOf(*metadata, sweep, name));
      if (d == nullptr) continue;
      auto* scale = d->mutable_scale();
      auto* lin = scale->mutable_linear_scale();
      // Codes, step, offset and valid range are carried as the values.
      lin->clear_under_threshold();
      lin->clear_not_scanned();
      lin->clear_offset();
      lin->clear_step();
      lin->clear_min_value();
      lin->clear_max_value();
      const bool code = field.undetect && IsCode(*field.undetect);
      scale->set_type(code ? DataDescriptor::DataScale::LINEAR : DataDescriptor::DataScale::NONE);
      if (code) {
        lin->set_step(1);
        lin->set_not_scanned(static_cast<std::int32_t>(*field.undetect));
        lin->set_under_threshold(static_cast<std::int32_t>(*field.undetect));
      }
      if (lin->ByteSizeLong() == 0) scale->clear_linear_scale();
      if (scale->ByteSizeLong() == 0) d->clear_scale();
    }
  }
}

}  // namespace formats
}  // namespace common_dto
