// ODIM_H5 polar volumes and scans (EUMETNET OPERA information model on HDF5).
//
// Read: versions 2.0 to 2.4 (`Conventions` "ODIM_H5/V2_0" .. "ODIM_H5/V2_4"),
// objects PVOL and SCAN. Written: 2.4, PVOL (or SCAN, WriteOptions::
// odim_scan). `what` attributes missing from a dataM/what group are looked
// up in datasetN/what, then /what, as the information model allows.
//
// Mapping (file <-> model), units as in the file:
//
//   /Conventions             "ODIM_H5/V2_4"
//   /what/object             "PVOL" | "SCAN" (others: kUnsupported)
//   /what/version            "H5rad 2.4"
//   /what/date, time         Sweep.task_start of every sweep (UTC, seconds);
//                            written from sweep 0 (task_start, else its start)
//   /what/source             Instrument identifiers:
//                              WMO:nnnnn  wmo_id.station_id (5 digits)
//                              WIGOS:a-b-c-d  wmo_id.wigos_id series, issuer,
//                                         number, local_id
//                              ORG:n      wmo_id.center_id
//                              RAD:xx     opera_id.radar_site
//                              NOD:xxxxx  opera_id.node
//                              PLC:text   opera_id.place
//                              CTY:n      opera_id.country
//                              CMT:text   opera_id.comment
//   /where/lon, lat          Instrument.location.lat_lon (degrees)
//   /where/height            Instrument.location.altitude_m (m above sea level)
//   /how/beamwH (beamwidth)  radar_properties.horz_beam_width_deg (degrees)
//   /how/beamwV              radar_properties.vert_beam_width_deg (degrees)
//   /how/wavelength          c / rf_frequency_mhz of the first pulse definition
//                            of every RayConfig (cm)
//   /how/system              Instrument.model
//   /how/software            Instrument.software_name
//   /datasetN (N = 1, 2 ...) Volume.sweep[N-1]; it refers to
//                            VolumeConfig.sweep_config[N-1] (by index), its
//                            rays to VolumeConfig.ray_config[N-1], and
//                            VolumeConfig.sweep_descriptions[N-1] is its
//                            description.
//     what/product           "SCAN" (others: kUnsupported)
//     what/startdate, starttime, enddate, endtime
//                            Sweep.input_timespan (seconds; how/startepochs
//                            and how/endepochs give the fractions)
//     where/elangle          SweepDescription.fixed_angle_deg (degrees);
//                            SweepConfig.type PPI
//     where/nrays            number of Sweep.rays
//     where/nbins            gates per ray; SweepConfig and RayConfig
//                            range_scale.range_m[0].count
//     where/rstart           range_m[0].start - step / 2: the model's range
//                            axis starts at the centre of the first gate,
//                            ODIM's at its near edge (km in the file, m in
//                            the model)
//     where/rscale           range_m[0].step (m)
//     where/a1gate           Sweep.first_azimuth_gate_index: the row acquired
//                            first. Rows are never rotated: row r is ray r.
//     how/scan_index         Sweep.index_in_task + 1
//     how/task               Sweep.task_name
//     how/rpm                SweepConfig.speed_deg_per_sec / 6
//     how/NI                 RayConfig.unamb_velocity_m_p_s (m/s)
//     how/highprf, lowprf    RayConfig.pulse_sequence.prf[0], prf[1] (Hz)
//     how/pulsewidth         pulse_definition[0].pulse_width_usec[0] (us)
//     how/startazA, stopazA  Ray.az_range_deg: start, start + span (degrees)
//     how/startelA, stopelA  Ray.el_range_deg: start, start + span (written
//                            when a span is not 0)
//     how/elangles           Ray.el_range_deg.start_deg (read when startelA
//                            is absent)
//     how/startazT, stopazT  Ray.aq_start_time, aq_end_time (seconds since
//                            1970, to the microsecond)
//     dataM (M = 1, 2 ...)   one moment, in name order
//       what/quantity        the moment name (Sweep.sweep_moments key and
//                            DataDescriptor.short_name); a known quantity
//                            (DBZH, VRADH, ZDR, ... see quantities) gives
//                            the descriptor's type, polarization and unit;
//                            others are kept under their own name
//                            (CUSTOM_TYPE)
//       what/gain, offset    scale LINEAR: step, offset
//       what/nodata          linear_scale.not_scanned
//       what/undetect        linear_scale.under_threshold
//       data                 the moment's samples, [nrays][nbins], in the
//                            buffer's storage type and byte order (8- and
//                            16-bit unsigned, 32- and 64-bit signed
//                            integers, 32- and 64-bit floats); gzip on
//                            request. CLASS "IMAGE", IMAGE_VERSION "1.2".
//     qualityN               not converted (a note says so)
//
// A moment without a linear scale is written with gain 1, offset 0 and
// nodata and undetect at the storage type's largest value (NaN for floats).
#pragma once

#include <string>

#include "common_dto/formats/formats.h"

namespace common_dto {
namespace formats {

// ReadFile / WriteFile for Format::kOdim.
COMMON_DTO_FORMATS_EXPORT Status ReadOdim(const std::string& path, const ReadOptions& options,
                                          kyt::pb::common::Volume* volume, Notes* notes);
COMMON_DTO_FORMATS_EXPORT Status WriteOdim(const std::string& path, const WriteOptions& options,
                                           const kyt::pb::common::Volume& volume, Notes* notes);

}  // namespace formats
}  // namespace common_dto
