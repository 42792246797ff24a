// ODIM_H5 polar volumes and scans (EUMETNET OPERA information model on HDF5).
//
// Read: versions 2.0 to 2.4 (`Conventions` "ODIM_H5/V2_0" .. "ODIM_H5/V2_4"),
// objects PVOL and SCAN. A file without `Conventions` (older processing
// chains) is read as ODIM_H5 when it has /what/object and /dataset1, with a
// note. Other objects (COMP, IMAGE, RHI, XSEC, VP, ...) are recognised as
// ODIM_H5 and refused with kUnsupported naming the object. Written: 2.4,
// PVOL (or SCAN, WriteOptions::odim_scan).
//
// Where attributes are looked up
// ------------------------------
// A `what`, `where` or `how` attribute absent from its group is taken from
// the group of the same kind one level up: datasetN/dataM -> datasetN ->
// root (`where`: datasetN -> root), the innermost one holding (ODIM's
// inheritance; 2.0 files keep gain and offset in datasetN/what, many
// producers keep NI, PRFs, pulse width, rpm, wavelength and astart in
// /how). A sweep's radar settings (rpm, NI, highprf, lowprf, pulsewidth,
// wavelength) are per sweep in the model: they come from datasetN/how, else
// /how, else the first dataM/how holding them; a dataM/how value that
// differs is noted. qualityK groups inherit nothing.
//
// Mapping (file <-> model), units as in the file:
//
//   /Conventions             "ODIM_H5/V2_4"
//   /what/object             "PVOL" | "SCAN" (others: kUnsupported)
//   /what/version            "H5rad 2.4"
//   /what/date, time         Sweep.task_start of every sweep (UTC, seconds).
//                            Written from the earliest time the volume holds:
//                            the sweeps' task_start, else their start (of the
//                            input_timespan, else of their first ray). A
//                            volume holding no time at all gets no date and
//                            time (ODIM requires them; a made-up one would be
//                            believed) and a note; read without them, the
//                            task start stays unset, with a note.
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
//   /how/beamwH, beamwV      radar_properties.horz_beam_width_deg,
//                            vert_beam_width_deg (degrees); read from /how,
//                            else dataset1/how. ODIM 2.0's `beamwidth` is
//                            the width of both planes; a file giving only
//                            beamwH (or beamwV) leaves the other unset.
//                            Written only when set (> 0).
//   /how/wavelength          c / rf_frequency_mhz of the first pulse definition
//                            of the volume (cm); datasetN/how/wavelength for a
//                            sweep of another frequency. Read per sweep.
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
//                            and how/endepochs give the fractions). Written
//                            from the time span, else the rays' earliest
//                            start and latest end (latest start when the
//                            rays have no ends); a time not known is left
//                            out, with a note. Read: a dataset without
//                            startdate/starttime takes /what/date, time as
//                            its start (noted); one without an end has none.
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
//     how/scan_index         Sweep.index_in_task + 1 (written when a sweep of
//                            the volume has an index other than 0)
//     how/task               Sweep.task_name
//     how/rpm                SweepConfig.speed_deg_per_sec / 6
//     how/NI                 RayConfig.unamb_velocity_m_p_s (m/s)
//     how/highprf, lowprf    RayConfig.pulse_sequence.prf[0], prf[1] (Hz)
//     how/pulsewidth         pulse_definition[0].pulse_width_usec[0] (us)
//                            (rpm, NI, PRFs and pulse width are written only
//                            when set)
//     how/startazA, stopazA  Ray.az_range_deg: start, start + span (degrees).
//                            Without startazA, ray r starts at astart +
//                            r * 360 / nrays (how/astart, 0 when absent) and
//                            spans 360 / nrays.
//     how/startelA, stopelA  Ray.el_range_deg: start, start + span (written
//                            when a span is not 0)
//     how/elangles           Ray.el_range_deg.start_deg (read when startelA
//                            is absent)
//     how/startazT, stopazT  Ray.aq_start_time, aq_end_time (seconds since
//                            1970, to the microsecond; NaN for a ray without
//                            one). A file without them gets ray times derived
//                            from the sweep's start and end in the order of
//                            acquisition (from a1gate on), with one note.
//                            stopazT is written from aq_end_time, else the
//                            next ray's start in time, else (last ray) the
//                            sweep's end; left out when no ray has an end.
//     dataM (M = 1, 2 ...)   one moment, in name order (quality moments
//                            excepted, see qualityK)
//       what/quantity        the moment name (Sweep.sweep_moments key and
//                            DataDescriptor.short_name); a known quantity
//                            (DBZH, VRADH, ZDR, ... see quantities) gives
//                            the descriptor's type, polarization and unit;
//                            others are kept under their own name
//                            (CUSTOM_TYPE)
//       what/gain, offset    scale LINEAR: step, offset
//       what/nodata          linear_scale.not_scanned
//       what/undetect        linear_scale.under_threshold; a moment without
//                            a separate below-threshold code (under_threshold
//                            == not_scanned, e.g. one from CF/Radial) gets
//                            undetect = nodata, never 0
//       data                 the moment's samples, [nrays][nbins], in the
//                            buffer's storage type and byte order (8- and
//                            16-bit unsigned, 32- and 64-bit signed
//                            integers, 32- and 64-bit floats); gzip on
//                            request. CLASS "IMAGE", IMAGE_VERSION "1.2".
//     qualityK (K = 1, 2 ...) in datasetN and in datasetN/dataM: a moment of
//                            its own with DataDescriptor.is_quality_parameter
//                            set, how/task as DataDescriptor.description and
//                            the scale of its own what (no inheritance).
//                            Named <Q> for a dataset's group and <Q>_<moment>
//                            for a moment's (QIND_DBZH), Q being
//                            what/quantity, else "QUALITY<K>". Written back:
//                            a quality moment named <Q>_<M> where M is
//                            another moment of the sweep goes to M's dataM
//                            group as quantity Q, any other to the dataset
//                            under its whole name, in name order.
//
// Codes and scales the file does not give (never refused for that, a note
// says what was assumed):
//   * Float samples (FLOAT, DOUBLE): gain and offset absent are 1 and 0.
//     NaN is always "no data". A whole-number nodata/undetect is kept as
//     the code; any other (9.999e20, -9.99e33) cannot be a code: samples
//     equal to it are read as NaN. Without a whole-number code and with gain
//     1, offset 0 the moment has no scale (NaN its only missing value), and
//     is written with gain 1, offset 0, nodata and undetect NaN.
//   * Integer samples: gain and offset are required (kMalformed). Only
//     undetect: it is the one code (nodata = undetect); only nodata: no
//     separate below-threshold code (undetect = nodata); neither: every
//     sample is measured, and the codes are one no sample holds (-1 for
//     unsigned storage, the smallest 32-bit integer otherwise).
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
