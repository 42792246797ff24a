// CF/Radial 1.4 and 2.1 (WMO FM 301) polar volumes on netCDF-4.
//
// Written as netCDF-4 files. 1.4 holds all rays along one `time` dimension
// and one `range` dimension (sweeps by start and end ray index); 2.1 holds a
// root group and one group per sweep (`sweep_0`, `sweep_1`, ...). Either is
// read whatever Format was asked for, CF/Radial 1.2 and 1.3 files too.
//
// Where values are looked up (one rule for 1.4 and 2.1): a variable in the
// sweep's group, else in the root group, else in the root's
// `instrument_parameters`, `radar_parameters` or `radar_calibration` group,
// else a global attribute of the root. A variable along `sweep` gives the
// sweep's element, one along `time` the element of the sweep's first ray. A
// value equal to the variable's _FillValue, or NaN, is no value.
//
// Mapping (file <-> model), units as in the file:
//
//   global Conventions       "CF/Radial instrument_parameters" (1.4),
//                            "Cf/Radial-2.1" (2.1); version "1.4" | "2.1"
//   instrument_name          Instrument.name
//   site_name                Instrument.opera_id.place
//   scan_name                Sweep.task_name of every sweep (written from sweep 0)
//   source                   Instrument.software_name
//   time_coverage_start/end  the first and last time of the volume (ray
//                            starts and ends, sweep starts and ends; whole
//                            seconds); written only when the volume has times
//   latitude, longitude      Instrument.location.lat_lon (degrees_north/east);
//                            mandatory
//   altitude                 Instrument.location.altitude_m (m)
//   radar_beam_width_h, _v   radar_properties horz/vert_beam_width_deg
//                            (degrees); each only when set. A file with only
//                            one gives only that one (producers mean it for
//                            both; consumers decide).
//   frequency                rf_frequency_mhz of the first pulse definition of
//                            every RayConfig (s-1 in the file)
//   sweep_number             Sweep.index_in_task
//   sweep_mode               SweepConfig.type: PPI "azimuth_surveillance"
//                            (read also "sector", "ppi"), RHI "rhi" ("manual_rhi",
//                            "elevation_surveillance"), POINTING "pointing"
//                            ("vertical_pointing"), MANUAL "manual_ppi",
//                            COPLANE "coplane", others UNKNOWN. Text that is
//                            not the type's own ("sector", "calibration",
//                            "sunscan") is kept in SweepConfig.procmode and
//                            written back as long as it names the same type.
//   fixed_angle              SweepDescription.fixed_angle_deg (degrees); read
//                            also from 2.1's root sweep_fixed_angle
//   sweep_start_ray_index,   (1.4) the rows of each sweep along `time`
//   sweep_end_ray_index
//   ray_n_gates,             (1.x, read) ragged rays along `n_points`: each
//   ray_start_index          sweep gets its longest ray's gate count, shorter
//                            rays padded with the moment's fill value (a note
//                            says so). Written files are never ragged: 1.4
//                            pads sweeps with fewer gates (below), which
//                            readers without CF/Radial logic (xarray) take
//                            as they are.
//   sweep_group_name,        (2.1, root) the group of each sweep and its
//   sweep_fixed_angle        fixed angle
//   ray_angle_res            SweepConfig.ray_angle_res and every ray's
//                            az_range_deg.span_deg (degrees); written from
//                            the rays' span, else SweepConfig.ray_angle_res,
//                            left out (NaN in 1.4's table) when neither
//   time                     Ray.aq_start_time. Read: any CF time unit
//                            (seconds ... days) since any UDUNITS reference
//                            time ("2020-03-12", "2020-3-2 0:0:0",
//                            "2020-03-12T10:00:00.5Z", "... UTC", "... +01:00");
//                            a NaN or _FillValue time leaves the ray without.
//                            The sweep's input_timespan is its first and last
//                            ray start. Written: "seconds since <first time
//                            of the volume>"; rays without times get them
//                            from their sweep's start and end (DeriveRayTimes,
//                            noted), else are written NaN (_FillValue NaN,
//                            noted); the units then count from 1970 only when
//                            the volume holds no time at all.
//   range                    range_m[0]: centre of gate g = start + g * step
//                            (m); attributes meters_to_center_of_first_gate,
//                            meters_between_gates
//   azimuth, elevation       centre of Ray.az_range_deg / el_range_deg:
//                            start + span / 2 (degrees); read as starts with
//                            the azimuth span from ray_angle_res
//   instrument_parameters    per ray (meta_group "instrument_parameters"),
//                            one value per sweep in the model; written only
//                            for sweeps that have one (others' rows NaN, the
//                            _FillValue), absent when none has:
//     nyquist_velocity       RayConfig.unamb_velocity_m_p_s (m/s)
//     prt                    1 / RayConfig.pulse_sequence.prf[0] (seconds)
//     prt_ratio              prf[1] / prf[0] (ODIM's lowprf / highprf)
//     pulse_width            pulse_definition[0].pulse_width_usec[0] (s)
//     scan_rate              SweepConfig.speed_deg_per_sec (degrees/s)
//   <moment>(time, range)    Sweep.sweep_moments[<moment>], samples bit for
//                            bit in their storage type and byte order
//                            (signed 8- and 16-bit files are widened to
//                            INT32; 1.4 fields whose sweeps differ: values,
//                            below); the variable name is the moment name
//     units                  DataDescriptor.data_unit (custom_data_unit)
//     standard_name          read: kept in DataDescriptor.legend when it is
//                            not the quantity table's name for the moment
//                            (e.g. "equivalent_reflectivity_factor"), and
//                            gives the type of a name not in the table;
//                            written: the legend when it is a standard name
//                            (lower-case words joined by '_'), else the
//                            table's (DBZH radar_equivalent_reflectivity_factor_h)
//     long_name              DataDescriptor.description
//     scale_factor,          scale LINEAR: step, offset (not written for
//     add_offset             floats with step 1 and offset 0)
//     _FillValue,            the missing gates, as in formats.h: read, the
//     missing_value          first whole-number marker (_FillValue first) is
//                            the LINEAR scale's not_scanned and
//                            under_threshold (a float or unpacked integer
//                            moment gets step 1 offset 0); samples holding
//                            another whole-number marker become that code;
//                            float samples holding a marker that is not a
//                            whole number (9.999e20, -9.99e33) become NaN.
//                            A packed integer moment without markers takes
//                            netCDF's default fill. All noted. Written:
//                            _FillValue = not_scanned of a LINEAR scale,
//                            NaN for a float moment without one; none for
//                            a code the storage type cannot hold.
//     _Undetect              under_threshold when it differs from
//                            not_scanned (ODIM's undetect; CF has no such
//                            code, the name is xradar's): read back by this
//                            library, plain values to other CF readers. Of
//                            a float moment without a whole-number fill
//                            (NaN), a whole-number _Undetect is read as its
//                            one code (not_scanned and under_threshold, as
//                            for an ODIM float moment with only undetect);
//                            float samples equal to an _Undetect that is no
//                            whole number are read as NaN (noted).
//
// In 1.4 every sweep shares `range`: sweeps with fewer gates are padded with
// the fill value (a note says so) and read back with the longest gate count;
// sweeps with different range starts or steps cannot be written (kUnsupported:
// write 2.1). A moment missing from a sweep of a 1.4 file reads back filled.
//
// A 1.4 variable holds a field for all sweeps, so one storage type and one
// packing. A field whose sweeps agree on storage type and LINEAR scale (step,
// offset, not_scanned, under_threshold and the code written for missing
// gates) is written as above. Any other (ODIM gains and offsets that change
// by dataset, a NEXRAD moment 8-bit in one cut and 16-bit in another, a
// scale in some sweeps only) is written unpacked, noted: physical values
// offset + step * code of each sweep as NC_FLOAT (NC_DOUBLE when a sweep
// stores DOUBLE or INT64 samples, or its scale reaches beyond float), no
// scale_factor or add_offset; gates without a value (not_scanned, codes out
// of the valid range, padding) NaN, the _FillValue; below-threshold gates
// their sweep's value offset + step * under_threshold, which goes to
// _Undetect when every sweep's is the same and no measured gate holds it
// (else no _Undetect, noted). Read back, such a field is FLOAT or DOUBLE
// with the physical values; the comparison that names what was not carried
// compares its values, not its codes.
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
