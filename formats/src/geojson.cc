// GeoEventList, MeasurementsList and RainAccumulationList products as
// GeoJSON (RFC 7946) FeatureCollections: one Feature per event, measurement
// or rain measurement (a Point at its series' position).
//
// Events: an ellipse is a Point at its centre with its axes and azimuth as
// properties; a feature is a Point, LineString or Polygon (MultiLineString
// or a Polygon with holes for several coordinate lists; a polygon ring that
// is not closed is closed with its first point). Measurements: a Point when
// the collection has axes named lat/latitude and lon/longitude with one
// position per measurement, else no geometry; every axis with one position
// per measurement gives a property.
#include <cmath>
#include <cstdio>
#include <string>

#include "products_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

namespace pb = kyt::pb::common;

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Number(double v) {
  if (!std::isfinite(v)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string Position(const pb::LatLon& p) {
  return "[" + Number(p.longitude_deg()) + "," + Number(p.latitude_deg()) + "]";
}

std::string Line(const pb::GeoFeature::Coordinates& c, bool ring) {
  std::string out = "[";
  for (int i = 0; i < c.collection_size(); ++i) out += (i ? "," : "") + Position(c.collection(i));
  const bool open =
      c.collection_size() > 0 &&
      (c.collection(0).latitude_deg() != c.collection(c.collection_size() - 1).latitude_deg() ||
       c.collection(0).longitude_deg() != c.collection(c.collection_size() - 1).longitude_deg());
  if (ring && open) out += "," + Position(c.collection(0));
  return out + "]";
}

std::string Geometry(const pb::GeoFeature& f) {
  const bool polygon = f.type() == pb::GeoFeature::GF_POLYGON;
  if (f.has_point_coordinate()) {
    return "{\"type\":\"Point\",\"coordinates\":" + Position(f.point_coordinate()) + "}";
  }
  if (f.has_object_coordinates()) {
    if (polygon)
      return "{\"type\":\"Polygon\",\"coordinates\":[" + Line(f.object_coordinates(), true) + "]}";
    return "{\"type\":\"LineString\",\"coordinates\":" + Line(f.object_coordinates(), false) + "}";
  }
  if (f.has_objects_coordinates()) {
    std::string lines;
    for (int i = 0; i < f.objects_coordinates().collection_size(); ++i) {
      lines += (i ? "," : "") + Line(f.objects_coordinates().collection(i), polygon);
    }
    return std::string("{\"type\":\"") + (polygon ? "Polygon" : "MultiLineString") +
           "\",\"coordinates\":[" + lines + "]}";
  }
  return "null";
}

void Add(std::string* props, const std::string& key, const std::string& json) {
  *props += (props->size() > 1 ? "," : "") + Quote(key) + ":" + json;
}

std::string Feature(const std::string& geometry, std::string props) {
  return "{\"type\":\"Feature\",\"geometry\":" + geometry + ",\"properties\":" + props + "}}";
}

std::string EventFeature(const pb::GeoEvent& e) {
  std::string props = "{";
  std::string geometry = "null";
  if (e.has_ellipsoid()) {
    const pb::Ellipsoid& el = e.ellipsoid();
    if (el.location().has_lat_lon()) {
      geometry = "{\"type\":\"Point\",\"coordinates\":" + Position(el.location().lat_lon()) + "}";
    }
    Add(&props, "ellipse_major_m", Number(el.ellipse_major_m()));
    Add(&props, "ellipse_minor_m", Number(el.ellipse_minor_m()));
    Add(&props, "ellipse_azimuth_deg", Number(el.ellipse_azimuth_deg()));
    if (el.location().altitude_m() != 0)
      Add(&props, "altitude_m", Number(el.location().altitude_m()));
  } else if (e.has_geo_feature()) {
    geometry = Geometry(e.geo_feature());
    for (const auto& [k, v] : e.geo_feature().properties()) Add(&props, k, Quote(v));
  }
  if (e.duration().has_start())
    Add(&props, "start", Quote(FormatIso(e.duration().start().seconds())));
  if (e.duration().has_end()) Add(&props, "end", Quote(FormatIso(e.duration().end().seconds())));
  if (e.intensity() != 0) Add(&props, "intensity", Number(e.intensity()));
  if (e.area_sq_m() != 0) Add(&props, "area_sq_m", Number(e.area_sq_m()));
  if (!e.text_label().empty()) Add(&props, "text_label", Quote(e.text_label()));
  return Feature(geometry, props);
}

const pb::Coordinate* Axis(const pb::MeasurementCollection& c, const char* a, const char* b,
                           int count) {
  for (const pb::Coordinate& axis : c.coordinates()) {
    if ((axis.names() == a || axis.names() == b) && axis.positions_size() == count) return &axis;
  }
  return nullptr;
}

void MeasurementFeatures(const pb::MeasurementsList& list, std::vector<std::string>* features) {
  for (const pb::MeasurementCollection& c : list.results()) {
    for (const pb::MeasurementArray& array : c.values()) {
      const int n = array.values_size();
      const pb::Coordinate* lat = Axis(c, "lat", "latitude", n);
      const pb::Coordinate* lon = Axis(c, "lon", "longitude", n);
      for (int i = 0; i < n; ++i) {
        std::string props = "{";
        const pb::Measurement& m = array.values(i);
        Add(&props, "quantity", Quote(array.data_descriptor().short_name()));
        Add(&props, "value", Number(m.value()));
        if (m.standard_deviation() != 0)
          Add(&props, "standard_deviation", Number(m.standard_deviation()));
        if (m.count() != 0) Add(&props, "count", std::to_string(m.count()));
        for (const pb::Coordinate& axis : c.coordinates()) {
          if (axis.positions_size() == n) Add(&props, axis.names(), Number(axis.positions(i)));
        }
        for (const auto& [k, v] : c.properties()) Add(&props, k, Quote(v));
        for (const auto& [k, v] : array.properties()) Add(&props, k, Quote(v));
        if (!list.psp_name().empty()) Add(&props, "psp_name", Quote(list.psp_name()));
        const std::string geometry = lat && lon ? "{\"type\":\"Point\",\"coordinates\":[" +
                                                      Number(lon->positions(i)) + "," +
                                                      Number(lat->positions(i)) + "]}"
                                                : "null";
        features->push_back(Feature(geometry, props));
      }
    }
  }
}

void RainFeatures(const pb::RainAccumulationList& list, std::vector<std::string>* features) {
  for (const pb::RainAccumulationSeries& series : list.results()) {
    const std::string geometry =
        series.has_lat_lon()
            ? "{\"type\":\"Point\",\"coordinates\":" + Position(series.lat_lon()) + "}"
            : "null";
    for (const pb::RainMeasurement& m : series.measurements()) {
      std::string props = "{";
      if (!series.name().empty()) Add(&props, "name", Quote(series.name()));
      if (m.input_timespan().has_start())
        Add(&props, "start", Quote(FormatIso(m.input_timespan().start().seconds())));
      if (m.input_timespan().has_end())
        Add(&props, "end", Quote(FormatIso(m.input_timespan().end().seconds())));
      Add(&props, "rain_mm", Number(m.rain_mm()));
      if (m.quality() != 0) Add(&props, "quality", Number(m.quality()));
      if (m.area_km() != 0) Add(&props, "area_km", Number(m.area_km()));
      for (const auto& [k, v] : series.properties()) Add(&props, k, Quote(v));
      features->push_back(Feature(geometry, props));
    }
  }
}

}  // namespace

Status WriteGeoJson(const std::string& path, const pb::Product& product, Notes* notes) {
  std::vector<std::string> features;
  if (product.has_events()) {
    for (const pb::GeoEvent& e : product.events().geo_event_list())
      features.push_back(EventFeature(e));
  } else if (product.has_vectors()) {
    MeasurementFeatures(product.vectors(), &features);
    if (product.vectors().psp_values_size() > 0)
      notes->push_back(Note{NoteKind::kNotCarried, "vectors.psp_values", "", ""});
  } else if (product.has_rain()) {
    RainFeatures(product.rain(), &features);
  } else {
    return Status(
        ErrorCode::kUnsupported,
        "GeoJSON takes event, measurement and rain products; this product holds none of them");
  }
  std::string text = "{\"type\":\"FeatureCollection\",\"features\":[";
  for (std::size_t i = 0; i < features.size(); ++i) text += (i ? ",\n" : "\n") + features[i];
  text += "\n]}\n";
  return WriteBeside(path, [&](const std::string& temp) {
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != nullptr && std::fclose(f) != 0) return Status(ErrorCode::kIo, "cannot write " + path);
    return ok ? Status::Ok() : Status(ErrorCode::kIo, "cannot write " + path);
  });
}

}  // namespace formats
}  // namespace common_dto
