// CF/Radial 1.4 and 2.1 (WMO FM 301) polar volumes on netCDF-4.
//
// Written as netCDF-4 files. 1.4 holds all rays along one `time` dimension
// and one `range` dimension (sweeps by start and end ray index); 2.1 holds a
// root group and one group per sweep (`sweep_0`, `sweep_1`, ...). Either is
// read whatever Format was asked for; files with ragged gates
// (`ray_n_gates`) are refused (kUnsupported).
//
// Mapping (file <-> model), units as in the file:
//
//   global Conventions       "CF/Radial instrument_parameters" (1.4),
//                            "Cf/Radial-2.1" (2.1); version "1.4" | "2.1"
//   global instrument_name   Instrument.name
//   global site_name         Instrument.opera_id.place
//   global scan_name         Sweep.task_name of every sweep (written from sweep 0)
//   global source            Instrument.software_name
//   time_coverage_start/end  first and last ray start times (written; not read)
//   latitude, longitude      Instrument.location.lat_lon (degrees_north/east)
//   altitude                 Instrument.location.altitude_m (m)
//   radar_beam_width_h, _v   radar_properties horz/vert_beam_width_deg (degrees)
//   frequency                rf_frequency_mhz of the first pulse definition of
//                            every RayConfig (s-1 in the file)
//   sweep_number             Sweep.index_in_task
//   sweep_mode               SweepConfig.type: PPI "azimuth_surveillance"
//                            (read also "sector", "manual_ppi"), RHI "rhi",
//                            POINTING "pointing" ("vertical_pointing"),
//                            MANUAL "manual_ppi", COPLANE "coplane"
//   fixed_angle              SweepDescription.fixed_angle_deg (degrees)
//   sweep_start_ray_index,   (1.4) the rows of each sweep along `time`
//   sweep_end_ray_index
//   sweep_group_name,        (2.1, root) the group of each sweep and its
//   sweep_fixed_angle        fixed angle
//   ray_angle_res            SweepConfig.ray_angle_res and every ray's
//                            az_range_deg.span_deg (degrees)
//   time                     Ray.aq_start_time, seconds since the first ray
//                            of the volume (units "seconds since <UTC>")
//   range                    range_m[0]: centre of gate g = start + g * step
//                            (m); attributes meters_to_center_of_first_gate,
//                            meters_between_gates
//   azimuth, elevation       centre of Ray.az_range_deg / el_range_deg:
//                            start + span / 2 (degrees); read as starts with
//                            the azimuth span from ray_angle_res
//   nyquist_velocity         RayConfig.unamb_velocity_m_p_s per ray (m/s)
//   <moment>(time, range)    Sweep.sweep_moments[<moment>], samples bit for
//                            bit in their storage type and byte order
//                            (signed 8- and 16-bit files are widened to
//                            INT32); the variable name is the moment name
//     units                  DataDescriptor.data_unit (custom_data_unit)
//     standard_name          from the quantity table by name (e.g. DBZH
//                            radar_equivalent_reflectivity_factor_h); read:
//                            the type of a name not in the table
//     long_name              DataDescriptor.description
//     scale_factor,          scale LINEAR: step, offset
//     add_offset
//     _FillValue             linear_scale.not_scanned (packed moments)
//
// In 1.4 every sweep shares `range`: sweeps with fewer gates are padded with
// the fill value (a note says so) and read back with the longest gate count;
// sweeps with different range starts or steps cannot be written (kUnsupported:
// write 2.1). A moment missing from a sweep of a 1.4 file reads back filled.
#pragma once

#include <string>

#include "common_dto/formats/formats.h"

namespace common_dto {
namespace formats {

// ReadFile / WriteFile for CF/Radial; `major` is 1 (1.4) or 2 (2.1).
COMMON_DTO_FORMATS_EXPORT Status ReadCfRadial(const std::string& path, const ReadOptions& options,
                                              kyt::pb::common::Volume* volume, Notes* notes);
COMMON_DTO_FORMATS_EXPORT Status WriteCfRadial(const std::string& path, int major,
                                               const WriteOptions& options,
                                               const kyt::pb::common::Volume& volume,
                                               Notes* notes);

}  // namespace formats
}  // namespace common_dto
