// Receiving ray streams from NATS JetStream as whole volumes or sweeps.
//
// Sharing volumes
// ---------------
// A Subscriber belongs to a durable consumer (`durable`). That consumer
// delivers the volume headers only (subject <prefix>.<instrument>.*.volume,
// subjects.h): each one is a claim on a volume. The subscriber that fetches
// a claim reads the volume's messages (<prefix>.<instrument>.<uuid>.>) from
// the stream with a private, ephemeral consumer that starts at the header,
// in bounded batches, and feeds them to an Assembler. So
//   * every durable consumer gets every volume (fan-out), and subscribers
//     that share one durable consumer share its volumes, each volume going
//     whole to one of them;
//   * the consumer's limit on unacknowledged messages counts volumes being
//     read, not their messages (a volume may be thousands of them);
//   * memory is bounded by the volumes open (at most `max_volumes` are read
//     at a time), not by the backlog in the stream.
//
// Delivery
// --------
// A claim is acknowledged only after its volume was handed to the
// application (the handler returned success), with a confirmed
// acknowledgement. While a volume is being read, the claim is kept alive
// (in-progress notices every ack_wait / 3), so slow live volumes are not
// handed to another subscriber. A subscriber that dies before that leaves
// its claim unacknowledged: after ack_wait the server hands it to the next
// fetching subscriber of the durable consumer, which reads the whole volume
// again from the stream. Only a crash between the handler's return and the
// acknowledgement hands a volume over twice; a handler that writes a file
// named by the volume's UUID then writes the same file again.
// In sweep-by-sweep delivery the number of sweeps handed over is recorded in
// the JetStream key-value bucket "<stream>_progress" (key
// <durable>.<volume-uuid>) after each sweep, so a volume read again skips the
// sweeps already handed over.
//
// Each message's frames go to the Assembler as they lie in the message
// (Assembler::AddSerialized); the pieces of a cut message are joined first.
// The stream is delivered at least once: a message repeated in the stream
// (a publish retried after the duplicate window) that holds what was
// already received under its identity is skipped and counted; a different
// message under the same identity goes to the Assembler, which reports it
// as a duplicate (kProtocol). To tell them apart the subscriber reads the
// earlier message again from the stream (by its sequence: nothing of the
// messages' contents is kept) and compares the frames, those other than
// samples by their deterministic encoding, so a producer restarted with map
// entries in another order repeats, it does not differ. Problems of the
// stream do not stop the subscriber: they go to Handlers::on_problem and
// the volume is handed over as the Assembler makes it (possibly
// incomplete).
//
// Volumes must stay in the stream while they are read: streams created by
// StreamOptions::create use limits-based retention (age, bytes).
//
// Not thread-safe: use one Subscriber per thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common_dto/model/status.h"
#include "common_dto/nats/connection.h"
#include "common_dto/nats/export.h"
#include "common_dto/stream/assembler.h"

namespace common_dto {
namespace nats {

struct SubscriberOptions {
  // Name of the durable consumer (no '.', '*', '>' or spaces). Created when
  // missing, bound to when present.
  std::string durable;
  // Instrument token to receive (subjects.h); "*" for all.
  std::string instrument = "*";
  // Assembly: whole volumes or sweep by sweep, compression, fill, limits.
  stream::AssemblerOptions assembler;
  // Volumes read at a time.
  std::size_t max_volumes = 4;
  // NATS messages taken from a volume's consumer per round; the client
  // holds at most 64 MiB per volume read.
  int fetch_batch = 256;
  // How long a claimed volume stays with a subscriber that no longer
  // answers before it goes to another.
  std::chrono::milliseconds ack_wait{30000};
  // Claims handed out and not acknowledged, over all subscribers of the
  // durable consumer (set when the consumer is created).
  std::int64_t max_ack_pending = 1000;
};

struct SubscriberStats {
  std::uint64_t messages = 0;    // NATS messages received
  std::uint64_t bytes = 0;       // their payload bytes
  std::uint64_t repeats = 0;     // repeats skipped (messages and pieces)
  std::uint64_t volumes = 0;     // volumes handed over
  std::uint64_t sweeps = 0;      // sweeps handed over
  std::uint64_t reclaimed = 0;   // claims of volumes already handed over, acknowledged again
};

struct Handlers {
  // Whole volumes; in sweep-by-sweep delivery, each volume without sweeps
  // at its end. An error leaves the claim unacknowledged (the volume comes
  // again, to this or another subscriber) and is returned by Poll().
  std::function<Status(stream::AssembledVolume&&)> on_volume;
  // Sweep-by-sweep delivery: each sweep. An error is handled as above.
  std::function<Status(stream::AssembledSweep&&)> on_sweep;
  // Problems of the stream that do not stop it. May be empty.
  std::function<void(const Status&)> on_problem;
};

class COMMON_DTO_NATS_EXPORT Subscriber {
 public:
  // Connects, binds the stream (or creates it, StreamOptions::create) and
  // creates or binds the durable consumer. On failure *out is unchanged.
  static Status Open(const ConnectionOptions& connection, const StreamOptions& stream,
                     const SubscriberOptions& options, std::unique_ptr<Subscriber>* out);
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Fetches and assembles for up to `wait`, calling the handlers for what
  // completes; returns earlier once something was handed over. Errors:
  // a handler's error, kUnavailable when the connection is gone for good,
  // kDenied.
  Status Poll(std::chrono::milliseconds wait, const Handlers& handlers);

  // Volumes being read now.
  std::size_t open_volumes() const;
  SubscriberStats stats() const;

 private:
  struct Impl;
  explicit Subscriber(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace nats
}  // namespace common_dto
