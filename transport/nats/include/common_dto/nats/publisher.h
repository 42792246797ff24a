// Publishing ray streams to NATS JetStream.
//
// A Publisher takes a ray stream (kyt.pb.stream.RayStreamMessage one at a
// time, or whole volumes split on the fly) and sends it as subjects.h
// describes: volume and sweep headers and ends as messages of their own,
// each ray's RayHeader, ParameterData and RayEnd together in one message
// (or several consecutive rays, PublisherOptions), as length-delimited
// frames. To map rays to their volume it follows the stream: a SweepHeader
// must come after its VolumeHeader, ray-level messages and SweepEnd after
// their SweepHeader (as the Assembler requires too); a message that breaks
// this is refused with kProtocol and nothing is sent for it. A ray's
// messages are held until its RayEnd (or its sweep's end) and then sent.
//
// Publishing is asynchronous: a message is handed to the connection and the
// server's acknowledgements are collected in the background. At most
// `max_pending` NATS messages wait for their acknowledgement; publishing
// blocks while that many do (back-pressure, so memory stays bounded however
// fast the input comes). A message whose acknowledgement does not come in
// time, or that the server rejects with a passing reason, is published
// again, up to `retries` times, with its Nats-Msg-Id: when the first copy
// was stored after all, the server drops the repeat.
// Order: a message published again after a lost acknowledgement must still
// land where the Assembler accepts it. So a VolumeHeader is acknowledged
// before anything after it is sent, a sweep's rays go to the connection only
// once its SweepHeader is acknowledged, a SweepEnd only once every message
// before it is, and a VolumeEnd once everything before it is. In the normal
// course nothing waits for that: a SweepEnd is held back and sent as soon as
// its rays are acknowledged (at the latest with the VolumeEnd, by Flush() or
// by Close(); when more than 8 are held, the oldest is waited for), and
// PublishVolume() (and Publish() with PublisherOptions::lookahead) keeps up
// to max_pending ray messages (at most 32 MiB) back, so that each
// SweepHeader overtakes them and is acknowledged by the time
// its first ray goes out. Sweeps overlap in the stream: "... rays of sweep 1,
// SweepHeader 2, rays of sweep 1, rays of sweep 2, SweepEnd 1, rays of sweep
// 2 ...", which the Assembler accepts (it matches sweeps by UUID).
// Flush() sends the whole rays held back for batching and the SweepEnds held
// back, and waits for every acknowledgement, returning the first failure
// since the previous Flush();
// the publishing calls return such failures too as soon as they are known.
// Close() does the same for everything held, including rays still lacking
// their RayEnd, and ends the publisher. Failures never go unreported: a
// Publisher destroyed without Close() closes itself and writes the outcome
// to the standard error (debug builds stop there).
//
// Not thread-safe: use one Publisher per thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common_dto/model/status.h"
#include "common_dto/nats/connection.h"
#include "common_dto/nats/export.h"
#include "common_dto/stream/splitter.h"
#include "ray_stream_message.pb.h"
#include "volume.pb.h"

namespace common_dto {
namespace nats {

struct PublisherOptions {
  // Subject token of the instrument; empty: from each VolumeHeader.
  std::string instrument;
  // Consecutive rays of a sweep carried by one message: a message is sent
  // once it holds `rays_per_message` rays or at least `bytes_per_message`
  // bytes (0: no such bound), and always before it would exceed the
  // server's max_payload. A single ray above max_payload is cut into pieces.
  std::size_t rays_per_message = 1;
  std::size_t bytes_per_message = 0;
  // Unacknowledged NATS messages allowed at a time.
  std::size_t max_pending = 1024;
  // Keep up to max_pending ray messages (at most 32 MiB) back, so that each
  // SweepHeader overtakes the rays before it and no sweep waits for its
  // header's acknowledgement: for streams replayed as fast as they can be
  // read (files). Live streams leave it off, or a ray would wait for the
  // ones after it. PublishVolume() always does it.
  bool lookahead = false;
  // How long to wait for one acknowledgement before publishing again.
  std::chrono::milliseconds ack_timeout{5000};
  int retries = 3;
  // Volumes and sweeps whose subjects are remembered (open ones; a volume
  // is forgotten at its VolumeEnd). Exceeding them is a kLimit error.
  std::size_t max_open_volumes = 64;
  std::size_t max_open_sweeps = 4096;
};

struct PublisherStats {
  std::uint64_t messages = 0;      // ray stream messages taken
  std::uint64_t sent = 0;          // NATS messages sent (each piece counts)
  std::uint64_t pieces = 0;        // of them, pieces of a cut message
  std::uint64_t bytes = 0;         // payload bytes sent
  std::uint64_t acknowledged = 0;  // NATS messages stored by the server
  std::uint64_t duplicates = 0;    // acknowledged as repeats (already stored)
  std::uint64_t republished = 0;   // sent again after a failed acknowledgement
};

class COMMON_DTO_NATS_EXPORT Publisher {
 public:
  // Connects and creates or binds the stream. On failure *out is unchanged.
  static Status Open(const ConnectionOptions& connection, const StreamOptions& stream,
                     const PublisherOptions& options, std::unique_ptr<Publisher>* out);
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Takes one message. Errors: kProtocol (no payload, or a message whose
  // volume or sweep header was not published), kLimit, kInvalidUtf8,
  // kTooLarge (a max_payload too small for even a message's identity), and
  // any failure reported for earlier messages.
  Status Publish(const kyt::pb::stream::RayStreamMessage& message);

  // Publishes the stream of `volume` (stream::SplitVolume, the same bytes),
  // encoding each ray straight from the volume's buffers. Errors: those of
  // SplitVolume and of Publish(). `report` may be null.
  Status PublishVolume(const kyt::pb::common::Volume& volume, const stream::SplitOptions& options = {},
                       stream::SplitReport* report = nullptr);

  // Sends the whole rays held for batching and waits until every message
  // sent is acknowledged (or has failed for good).
  Status Flush();

  // Sends everything held, waits for every acknowledgement and returns the
  // first failure not yet returned. Later calls fail with kInvalidArgument.
  Status Close();

  PublisherStats stats() const;
  // The largest NATS message sent: the server's max_payload, or the
  // stream's largest message when that is smaller.
  std::int64_t max_payload() const;

 private:
  struct Impl;
  explicit Publisher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace nats
}  // namespace common_dto
