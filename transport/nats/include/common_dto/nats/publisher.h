// Publishing ray streams to NATS JetStream.
//
// A Publisher sends each kyt.pb.stream.RayStreamMessage as one NATS message
// on the subject and with the Nats-Msg-Id that subjects.h describes,
// serialized deterministically (map entries in key order). To map
// ray-level messages to their volume it follows the stream: a SweepHeader
// must come after its VolumeHeader, ray-level messages and SweepEnd after
// their SweepHeader (as the Assembler requires too); a message that breaks
// this is refused with kProtocol and nothing is sent for it.
//
// Publishing is asynchronous: Publish() returns once the message is handed
// to the connection, and the server's acknowledgements are collected in the
// background. At most `max_pending` messages wait for their acknowledgement;
// Publish() blocks while that many do (back-pressure, so memory stays
// bounded however fast the input comes). A message whose acknowledgement
// does not come in time, or that the server rejects with a passing reason,
// is published again, up to `retries` times, with its Nats-Msg-Id: when the
// first copy was stored after all, the server drops the repeat.
// Order: a VolumeHeader or SweepHeader is acknowledged before anything
// after it is sent, and a SweepEnd or VolumeEnd is sent only once everything
// before it is acknowledged, so that republished messages still land inside
// their sweep, where the Assembler accepts them (a few round trips per
// sweep; rays are never waited for one by one).
// Flush() waits for every acknowledgement and returns the first failure
// since the previous Flush(); Publish() returns such failures too as soon as
// they are known. Failures never go unreported.
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
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace nats {

struct PublisherOptions {
  // Subject token of the instrument; empty: from each VolumeHeader.
  std::string instrument;
  // Unacknowledged publishes allowed at a time.
  std::size_t max_pending = 4096;
  // How long to wait for one acknowledgement before publishing again.
  std::chrono::milliseconds ack_timeout{5000};
  int retries = 3;
  // Volumes and sweeps whose subjects are remembered (open ones; a volume
  // is forgotten at its VolumeEnd). Exceeding them is a kLimit error.
  std::size_t max_open_volumes = 64;
  std::size_t max_open_sweeps = 4096;
};

struct PublisherStats {
  std::uint64_t messages = 0;      // handed to Publish() and sent
  std::uint64_t bytes = 0;         // payload bytes sent
  std::uint64_t acknowledged = 0;  // stored by the server
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

  // Sends one message. Errors: kProtocol (no payload, or a piece whose
  // volume or sweep header was not published), kLimit, kTooLarge (above
  // the server's max_payload, naming size and limit), kInvalidUtf8, and any
  // failure reported for earlier messages.
  Status Publish(const kyt::pb::stream::RayStreamMessage& message);

  // Waits until every message sent is acknowledged (or has failed for
  // good), at most `timeout` per attempt.
  Status Flush();

  PublisherStats stats() const;
  // The server's largest message size.
  std::int64_t max_payload() const;

 private:
  struct Impl;
  explicit Publisher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace nats
}  // namespace common_dto
