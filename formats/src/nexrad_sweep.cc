// NEXRAD Level II: the sweeps of one cut, one per gate geometry of its
// moments (see nexrad.h).
#include <algorithm>
#include <cmath>

#include "nexrad_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {
namespace nexrad {
namespace {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::SweepConfig;

constexpr std::int32_t kPadCode = 65535;  // not-scanned code of padded moments
constexpr std::int32_t kNoCode = -1;      // a code no sample holds

// One moment of a geometry across the cut's radials.
struct Column {
  std::string name;  // native
  int gates = 0;     // most gates of a radial
  bool wide = false;
  bool padded = false;
  double scale = 0, offset = 0;
  bool scale_differs = false;
};

struct Geometry {
  double first_m = 0, step_m = 0;
  std::vector<Column> columns;
  int gates = 0;
};

std::vector<Geometry> Geometries(const std::vector<Radial>& radials) {
  std::vector<Geometry> geos;
  for (const Radial& r : radials) {
    for (const Moment& m : r.moments) {
      auto g = std::find_if(geos.begin(), geos.end(), [&](const Geometry& x) {
        return x.first_m == m.first_m && x.step_m == m.step_m;
      });
      if (g == geos.end()) g = geos.insert(geos.end(), Geometry{m.first_m, m.step_m, {}, 0});
      auto c = std::find_if(g->columns.begin(), g->columns.end(),
                            [&](const Column& x) { return x.name == m.name; });
      if (c == g->columns.end()) {
        c = g->columns.insert(g->columns.end(),
                              Column{m.name, 0, false, false, m.scale, m.offset, false});
      }
      c->scale_differs |= c->scale != m.scale || c->offset != m.offset;
      c->gates = std::max(c->gates, m.gates);
      c->wide |= m.bits == 16;
      g->gates = std::max(g->gates, m.gates);
    }
  }
  return geos;
}

const Moment* Find(const Radial& r, const Geometry& g, const std::string& name) {
  for (const Moment& m : r.moments) {
    if (m.name == name && m.first_m == g.first_m && m.step_m == g.step_m) return &m;
  }
  return nullptr;
}

// The samples of `c` for every radial, padded to the geometry's gates.
std::string Samples(const std::vector<Radial>& radials, const Geometry& g, Column* c) {
  for (const Radial& r : radials) {
    const Moment* m = Find(r, g, c->name);
    c->padded |= m == nullptr || m->gates < g.gates;
  }
  const bool wide = c->wide || c->padded;
  std::string out;
  out.reserve(radials.size() * static_cast<std::size_t>(g.gates) * (wide ? 2 : 1));
  for (const Radial& r : radials) {
    const Moment* m = Find(r, g, c->name);
    const int have = m == nullptr ? 0 : m->gates;
    if (!wide) {
      out += m->codes;
      continue;
    }
    for (int i = 0; i < have; ++i) {
      if (m->bits == 16) {
        out += m->codes.substr(static_cast<std::size_t>(i) * 2, 2);
      } else {
        out += '\0';
        out += m->codes[static_cast<std::size_t>(i)];
      }
    }
    out.append(static_cast<std::size_t>(g.gates - have) * 2, '\xff');
  }
  return out;
}

DataDescriptor Descriptor(const Column& c, const std::string& key) {
  DataDescriptor d = DescriptorFor(key);
  d.set_short_name(key);
  d.set_description(c.name);
  auto* scale = d.mutable_scale();
  scale->set_type(DataDescriptor::DataScale::LINEAR);
  auto* lin = scale->mutable_linear_scale();
  lin->set_step(1.0 / c.scale);
  lin->set_offset(-c.offset / c.scale);
  lin->set_under_threshold(0);
  lin->set_not_scanned(c.padded ? kPadCode : kNoCode);
  lin->set_min_value(2);  // 0 below threshold, 1 range folded
  lin->set_max_value(c.padded ? kPadCode - 1 : c.wide ? 65535 : 255);
  return d;
}

void AddRays(const std::vector<Radial>& radials, BuiltSweep* b) {
  for (std::size_t i = 0; i < radials.size(); ++i) {
    const Radial& r = radials[i];
    auto* ray = b->sweep.add_rays();
    ray->set_index(static_cast<std::int32_t>(i));
    *ray->mutable_aq_start_time() = FromEpochSeconds(r.time);
    double start = r.azimuth - r.spacing / 2;
    if (start < 0) start += 360.0;
    ray->mutable_az_range_deg()->set_start_deg(start);
    ray->mutable_az_range_deg()->set_span_deg(r.spacing);
    ray->mutable_el_range_deg()->set_start_deg(r.elevation);
    if (r.noise_h) ray->add_noise_dbm(*r.noise_h);
    if (r.noise_v) ray->add_noise_dbm(*r.noise_v);
  }
  auto* span = b->sweep.mutable_input_timespan();
  *span->mutable_start() = FromEpochSeconds(radials.front().time);
  *span->mutable_end() = FromEpochSeconds(radials.back().time);
}

// Nyquist velocity and unambiguous range: the first radial's; differing
// values of later radials are noted.
void RadarSettings(const std::vector<Radial>& radials, BuiltSweep* b, Notes* notes) {
  const Radial& first = radials.front();
  if (first.nyquist) b->ray_config.set_unamb_velocity_m_p_s(*first.nyquist);
  if (first.unamb_range_km) b->ray_config.set_unamb_range_km(*first.unamb_range_km);
  for (const Radial& r : radials) {
    if (r.nyquist != first.nyquist || r.unamb_range_km != first.unamb_range_km) {
      notes->push_back({NoteKind::kNotCarried, "RRAD", "",
                        "Nyquist velocity or unambiguous range changes within a cut; the first "
                        "radial's kept"});
      return;
    }
  }
}

Status BuildGeometry(const std::vector<Radial>& radials, Geometry* g, std::optional<double> target,
                     std::uint64_t* budget, BuiltSweep* b, Notes* notes) {
  const Radial& first = radials.front();
  b->sweep.set_index_in_task(first.cut - 1);
  b->sweep.mutable_description()->set_fixed_angle_deg(target.value_or(first.elevation));
  if (!target) {
    notes->push_back(
        {NoteKind::kDerived, "message 5", "",
         "a cut without a target elevation in the volume coverage pattern (message 5): "
         "its fixed angle is its first radial's elevation"});
  }
  AddRays(radials, b);
  RadarSettings(radials, b, notes);
  SweepConfig& sc = b->sweep_config;
  sc.set_type(SweepConfig::PPI);
  if (first.spacing > 0) sc.set_ray_angle_res(first.spacing);
  for (auto* range : {sc.mutable_range_scale()->add_range_m(),
                      b->ray_config.mutable_range_scale()->add_range_m()}) {
    range->set_start(g->first_m);
    range->set_step(g->step_m);
    range->set_count(g->gates);
  }
  for (Column& c : g->columns) {
    const std::uint64_t bytes = radials.size() * static_cast<std::uint64_t>(g->gates) * 2;
    if (bytes > *budget)
      return Status(ErrorCode::kTooLarge, "NEXRAD samples beyond what the input can hold");
    *budget -= bytes;
    const char* quantity = QuantityOfNativeName("nexrad", c.name);
    const std::string key = quantity != nullptr ? quantity : c.name.empty() ? "UNNAMED" : c.name;
    if (b->sweep.sweep_moments().count(key) != 0) continue;  // a name twice in a radial
    DataBuffer& buffer = (*b->sweep.mutable_sweep_moments())[key];
    std::string samples = Samples(radials, *g, &c);
    buffer.set_type(c.wide || c.padded ? DataBuffer::UINT16 : DataBuffer::UINT8);
    buffer.set_endian(DataBuffer::BIG);
    buffer.set_compression(DataBuffer::NONE);
    buffer.set_uncompressed_size(static_cast<std::int32_t>(samples.size()));
    *buffer.mutable_data() = std::move(samples);
    (*sc.mutable_data_moments())[key] = Descriptor(c, key);
    if (quantity == nullptr) {
      notes->push_back({NoteKind::kUnknownName, "data block", key,
                        "no ODIM quantity; kept under its NEXRAD name"});
    }
    notes->push_back({NoteKind::kConverted, "data block", key,
                      "code 1 (range folded) kept in the samples below the valid range "
                      "(values start at code 2): no value, masked by the decoder and written "
                      "as missing"});
    if (c.padded) {
      notes->push_back({NoteKind::kConverted, "data block", key,
                        "padded to the longest moment of its gate geometry with the not-scanned "
                        "code 65535 (16-bit samples)"});
    }
    if (c.scale_differs) {
      notes->push_back({NoteKind::kNotCarried, "data block", key,
                        "scale or offset changes within a cut; the first radial's kept"});
    }
  }
  return Status::Ok();
}

}  // namespace

Status BuildCut(std::vector<Radial>* radials, std::optional<double> target, std::uint64_t* budget,
                std::vector<BuiltSweep>* out, Notes* notes) {
  if (radials->empty()) return Status::Ok();
  std::vector<Geometry> geos = Geometries(*radials);
  if (geos.empty()) geos.emplace_back();  // radials without moments are kept all the same
  if (geos.size() > 1) {
    notes->push_back({NoteKind::kConverted, "data block", "",
                      "moments of one cut with different gate geometries read as one sweep each "
                      "(index_in_task names the cut)"});
  }
  for (Geometry& g : geos) {
    BuiltSweep b;
    Status s = BuildGeometry(*radials, &g, target, budget, &b, notes);
    if (!s.ok()) return s;
    out->push_back(std::move(b));
  }
  return Status::Ok();
}

}  // namespace nexrad
}  // namespace formats
}  // namespace common_dto
