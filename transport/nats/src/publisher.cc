#include "common_dto/nats/publisher.h"

#include <google/protobuf/io/zero_copy_stream.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common_dto/model/uuid.h"
#include "common_dto/nats/subjects.h"
#include "common_dto/stream/framing.h"
#include "link.h"

namespace common_dto {
namespace nats {

using internal::Link;
using internal::MsgHandle;
using internal::NatsError;
using kyt::pb::stream::RayStreamMessage;

namespace {

constexpr char kMsgIdHeader[] = "Nats-Msg-Id";

// A publish whose acknowledgement failed, handed back by the client.
struct Failure {
  MsgHandle msg;
  natsStatus status = NATS_OK;
  jsErrCode js_error = static_cast<jsErrCode>(0);
  std::string text;
};

// Room the protocol needs besides the payload: the header block with the
// message id (NATS counts headers against max_payload).
std::size_t HeaderBytes(std::size_t id_size) { return 12 + sizeof kMsgIdHeader + 2 + id_size + 4; }
// Tag of RayStreamMessage.ray_header (field 3, length-delimited).
constexpr char kRayHeaderTag = 0x1a;
// Acknowledged messages released together.
constexpr std::size_t kReleaseCount = 32;
constexpr std::size_t kReleaseBytes = 1 << 20;
// Longest suffix PieceIdentity() adds.
constexpr std::size_t kPieceSuffix = 1 + 20 + 2 + 20;
// Number of a message that nothing waits for.
constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
// Whole-volume publishing keeps ray messages back by up to this many bytes
// (and max_pending messages), so that a SweepHeader overtakes them.
constexpr std::size_t kLookaheadBytes = 32 << 20;
// SweepEnds held back before one is waited for: each keeps its sweep open
// in the receivers' Assemblers.
constexpr std::size_t kMaxHeldEnds = 8;

// Hands `msg` to the client, which owns it from then on when it succeeds.
natsStatus PublishAsync(jsCtx* js, MsgHandle* msg) {
  natsMsg* raw = msg->release();
  const natsStatus s = js_PublishMsgAsync(js, &raw, nullptr);
  msg->reset(raw);  // null once taken
  return s;
}

// Where the stream library writes frames for the publisher: a growing
// buffer handed out whole, without the zeroing a std::string's resize does
// on every request for room (a ray's frames come in several).
class Staging : public google::protobuf::io::ZeroCopyOutputStream {
 public:
  bool Next(void** data, int* size) override {
    if (used_ == capacity_) {
      const std::size_t capacity = std::max<std::size_t>(capacity_ * 2, 64 << 10);
      std::unique_ptr<char[]> grown(new char[capacity]);
      if (used_ > 0) std::memcpy(grown.get(), buffer_.get(), used_);
      buffer_ = std::move(grown);
      capacity_ = capacity;
    }
    *data = buffer_.get() + used_;
    *size = static_cast<int>(std::min<std::size_t>(capacity_ - used_, 1 << 30));
    used_ += static_cast<std::size_t>(*size);
    return true;
  }
  void BackUp(int count) override { used_ -= static_cast<std::size_t>(count); }
  std::int64_t ByteCount() const override { return static_cast<std::int64_t>(written_ + used_); }

  std::string_view view() const { return {buffer_.get(), used_}; }
  void Clear() {
    written_ += used_;
    used_ = 0;
  }

 private:
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0, used_ = 0;
  std::uint64_t written_ = 0;
};

}  // namespace

// A SweepEnd waiting to be sent: once every message up to `after` (its
// sweep's last) is stored, or by the VolumeEnd, Flush() or Close().
struct HeldEnd {
  std::string subject, id, frame;
  std::uint64_t after = 0;
};

// A message made and numbered, not yet handed to the client; `needs` is
// the number of the message that must be stored first (its sweep's header).
struct Outgoing {
  MsgHandle msg;
  std::uint64_t number = 0;
  std::uint64_t needs = kNone;
  std::size_t bytes = 0;
};

// The rays of one open sweep not yet sent: whole rays first, then the
// frames of a ray still waiting for its RayEnd.
struct OpenSweep {
  UuidKey volume;
  std::string uuid;  // as FormatUuid() writes it
  std::string subject;
  std::string batch;
  std::size_t complete = 0;  // bytes of `batch` holding whole rays
  std::size_t rays = 0;      // whole rays in `batch`
  std::int64_t first = 0;    // ray index of the first whole ray
  std::int64_t last = 0;     // ray index of the last whole ray
  std::int64_t tail_first = 0, tail_last = 0;  // of the frames after them
  std::uint64_t header = kNone;                 // number of its SweepHeader's (last) message
};

struct Publisher::Impl {
  std::unique_ptr<Link> link;
  PublisherOptions options;
  std::string prefix;
  std::int64_t max_payload = 0;
  bool closed = false;

  // Routing: where each open volume's messages go, and each open sweep.
  std::unordered_map<UuidKey, std::string, UuidKeyHash> volumes;
  std::unordered_map<UuidKey, OpenSweep, UuidKeyHash> sweeps;
  std::deque<HeldEnd> held_ends;

  // Every message gets the next number when it is made. Order in the stream
  // rests on them: a message waits until the one it `needs` is stored, and a
  // SweepEnd until every number up to its sweep's last is.
  std::uint64_t next_number = 0;
  // Whole-volume publishing: ray messages waiting to be handed over.
  bool lookahead = false;
  std::deque<Outgoing> ahead;
  std::size_t ahead_bytes = 0;

  // Written by the client's acknowledgement thread.
  std::mutex mu;
  std::vector<Failure> failures;
  std::unordered_map<std::string, int> attempts;  // msg id -> times republished
  std::atomic<bool> has_failures{false};
  // Under `mu`: the messages the client holds with their numbers, in the
  // order handed over (acknowledgements come nearly in that order; one
  // answered is nulled, and dropped once at the front), and which numbers
  // from `stored_below` on are stored (all below it are).
  std::deque<std::pair<natsMsg*, std::uint64_t>> posted;
  std::deque<bool> stored;
  std::atomic<std::uint64_t> stored_below{0};
  std::condition_variable changed;  // a message stored, or failed
  std::atomic<std::uint64_t> acknowledged{0};
  std::atomic<std::uint64_t> duplicates{0};
  // Stored messages not yet released (the acknowledgement thread's alone).
  std::vector<MsgHandle> acked;
  std::size_t acked_bytes = 0;

  Status error;  // first failure not yet returned
  PublisherStats counts;

  // Frames are written here by the stream library, one message or one ray
  // at a time, and taken away at once.
  Staging staging;
  stream::DelimitedWriter writer = stream::DelimitedWriter::ToZeroCopyStream(&staging);
  RayStreamMessage first_frame;  // scratch for PublishVolume

  static void OnAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* err, void* closure);
  Status Route(const RayStreamMessage& message, OpenSweep** sweep);
  Status Take(const RayStreamMessage& message, std::string_view frames, bool ends_ray);
  Status TakeWhole(const RayStreamMessage& message, std::string_view frame);
  Status AddRay(OpenSweep& sweep, std::string_view frames, std::int64_t ray, bool ends_ray);
  Status SendRays(OpenSweep& sweep);
  Status SendHeld(OpenSweep& sweep);
  Status SendWhole(const std::string& subject, const std::string& id, std::string_view payload,
                   std::uint64_t needs = kNone);
  Status SendOne(const std::string& subject, const std::string& id, std::string_view payload, std::uint64_t needs);
  Status Post(Outgoing out);
  Status PostAhead(bool all);
  bool IsStored(std::uint64_t number);
  void MarkStored(natsMsg* msg);
  void MarkNumber(std::uint64_t number);
  Status WaitStored(std::uint64_t number);
  Status SendReadyEnds();
  Status Settle();
  Status SendEnds();
  Status SettleAll();
  void AwaitAcks();
  void Retry();
  void Record(Status status) {
    if (error.ok()) error = std::move(status);
  }
  Status TakeError() { return std::exchange(error, Status::Ok()); }
  Status Usable() {
    if (closed) return Status(ErrorCode::kInvalidArgument, "the publisher is closed");
    if (has_failures.load(std::memory_order_acquire)) Retry();
    return TakeError();
  }
};

void Publisher::Impl::OnAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* err, void* closure) {
  auto* impl = static_cast<Impl*>(closure);
  MsgHandle owned(msg);
  if (err == nullptr) {
    {
      std::lock_guard<std::mutex> lock(impl->mu);
      impl->MarkStored(msg);
    }
    impl->changed.notify_all();
    impl->acknowledged.fetch_add(1, std::memory_order_relaxed);
    if (ack != nullptr && ack->Duplicate) impl->duplicates.fetch_add(1, std::memory_order_relaxed);
    // Released a few at a time: the client hands each released message to
    // its collector thread, waking it for every one that comes alone.
    impl->acked_bytes += static_cast<std::size_t>(natsMsg_GetDataLength(owned.get()));
    impl->acked.push_back(std::move(owned));
    if (impl->acked.size() >= kReleaseCount || impl->acked_bytes >= kReleaseBytes) {
      impl->acked.clear();
      impl->acked_bytes = 0;
    }
    return;
  }
  // Republishing here could wait for acknowledgements that only this thread
  // delivers: hand the message to the publishing thread instead.
  std::lock_guard<std::mutex> lock(impl->mu);
  impl->failures.push_back({std::move(owned), err->Err, err->ErrCode,
                            err->ErrText != nullptr ? err->ErrText : natsStatus_GetText(err->Err)});
  impl->has_failures.store(true, std::memory_order_release);
  impl->changed.notify_all();
}

// Under `mu`: `msg`, handed to the client, is stored or failed for good.
void Publisher::Impl::MarkStored(natsMsg* msg) {
  auto it = std::find_if(posted.begin(), posted.end(), [msg](const auto& p) { return p.first == msg; });
  if (it == posted.end()) return;
  it->first = nullptr;
  MarkNumber(it->second);
  while (!posted.empty() && posted.front().first == nullptr) posted.pop_front();
}

// Under `mu`.
void Publisher::Impl::MarkNumber(std::uint64_t number) {
  const std::uint64_t below = stored_below.load(std::memory_order_relaxed);
  stored[number - below] = true;
  std::uint64_t advanced = below;
  while (!stored.empty() && stored.front()) {
    stored.pop_front();
    ++advanced;
  }
  stored_below.store(advanced, std::memory_order_release);
}

bool Publisher::Impl::IsStored(std::uint64_t number) {
  if (number == kNone || number < stored_below.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> lock(mu);
  const std::uint64_t below = stored_below.load(std::memory_order_relaxed);
  return number < below || stored[number - below];
}

// Waits until message `number` is stored, republishing what fails. When
// no acknowledgement comes for ack_timeout, everything outstanding is
// settled (Settle()), after which every message is stored or failed for good.
Status Publisher::Impl::WaitStored(std::uint64_t number) {
  while (!IsStored(number)) {
    if (has_failures.load(std::memory_order_acquire)) Retry();
    if (!error.ok()) return TakeError();
    std::unique_lock<std::mutex> lock(mu);
    const bool moved = changed.wait_for(lock, options.ack_timeout, [&] {
      const std::uint64_t below = stored_below.load(std::memory_order_relaxed);
      return number < below || stored[number - below] || has_failures.load(std::memory_order_relaxed);
    });
    lock.unlock();
    if (!moved) return Settle();
  }
  return TakeError();
}

// Checks that `message` has its place (its volume or sweep open) and, for
// ray-level messages and SweepEnd, finds their sweep.
Status Publisher::Impl::Route(const RayStreamMessage& message, OpenSweep** sweep) {
  Location where;
  switch (message.payload_case()) {
    case RayStreamMessage::PAYLOAD_NOT_SET:
      return Status(ErrorCode::kProtocol, "message without payload");
    case RayStreamMessage::kVolumeHeader: {
      const UuidKey key = UuidKey::Of(message.volume_header().volume_uuid());
      if (!volumes.count(key) && volumes.size() >= options.max_open_volumes) {
        return Status(ErrorCode::kLimit, "more than " + std::to_string(options.max_open_volumes) +
                                             " volumes open at once");
      }
      return Status::Ok();
    }
    case RayStreamMessage::kSweepHeader: {
      const auto& header = message.sweep_header();
      where.volume_uuid = FormatUuid(header.volume_uuid());
      if (!volumes.count(UuidKey::Of(header.volume_uuid()))) {
        return Status(ErrorCode::kProtocol, "sweep header for volume " + where.volume_uuid +
                                                " before its volume header", where);
      }
      const UuidKey key = UuidKey::Of(header.sweep_uuid());
      if (!sweeps.count(key) && sweeps.size() >= options.max_open_sweeps) {
        return Status(ErrorCode::kLimit, "more than " + std::to_string(options.max_open_sweeps) +
                                             " sweeps open at once");
      }
      return Status::Ok();
    }
    case RayStreamMessage::kVolumeEnd: {
      where.volume_uuid = FormatUuid(message.volume_end().volume_uuid());
      if (!volumes.count(UuidKey::Of(message.volume_end().volume_uuid()))) {
        return Status(ErrorCode::kProtocol, "volume end for volume " + where.volume_uuid +
                                                " without its volume header", where);
      }
      return Status::Ok();
    }
    default: {
      // The remaining kinds name their sweep.
      const RayStreamMessage::PayloadCase c = message.payload_case();
      const auto& uuid = c == RayStreamMessage::kRayHeader       ? message.ray_header().sweep_uuid()
                         : c == RayStreamMessage::kParameterData ? message.parameter_data().sweep_uuid()
                         : c == RayStreamMessage::kRayEnd        ? message.ray_end().sweep_uuid()
                                                                 : message.sweep_end().sweep_uuid();
      auto it = sweeps.find(UuidKey::Of(uuid));
      if (it == sweeps.end()) {
        where.sweep_uuid = FormatUuid(uuid);
        return Status(ErrorCode::kProtocol, std::string(c == RayStreamMessage::kSweepEnd ? "sweep end" : "ray") +
                                                " message for sweep " + where.sweep_uuid + " without its sweep header",
                      where);
      }
      *sweep = &it->second;
      return Status::Ok();
    }
  }
}

std::int64_t RayIndexOf(const RayStreamMessage& message) {
  switch (message.payload_case()) {
    case RayStreamMessage::kRayHeader: return message.ray_header().ray_index();
    case RayStreamMessage::kParameterData: return message.parameter_data().ray_index();
    case RayStreamMessage::kRayEnd: return message.ray_end().ray_index();
    default: return 0;
  }
}

// `frames` start with `message` framed as the stream holds it; for a
// ray-level message they may hold the rest of its ray, up to its RayEnd
// (`ends_ray`).
Status Publisher::Impl::Take(const RayStreamMessage& message, std::string_view frames, bool ends_ray) {
  OpenSweep* sweep = nullptr;
  if (Status st = Route(message, &sweep); !st.ok()) return st;
  if (sweep == nullptr || message.has_sweep_end()) return TakeWhole(message, frames);
  return AddRay(*sweep, frames, RayIndexOf(message), ends_ray);
}

// Headers and ends, routed already. Headers are stored before anything
// after them is sent; ends wait for everything before them to be stored, so
// a message published again after a lost acknowledgement still lands where
// the Assembler accepts it (inside its sweep, before the end markers). A
// SweepEnd is held until the next SweepHeader is stored and sent right after
// it, so one wait serves both (sweeps may interleave in the stream: the
// Assembler matches them by UUID); the VolumeEnd follows its sweeps' ends.
Status Publisher::Impl::TakeWhole(const RayStreamMessage& message, std::string_view frame) {
  const std::string id = MessageIdentity(message);
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader: {
      const auto& header = message.volume_header();
      const UuidKey key = UuidKey::Of(header.volume_uuid());
      const std::string instrument =
          options.instrument.empty() ? InstrumentToken(header.instrument().name()) : options.instrument;
      const std::string& base = volumes[key] = prefix + "." + instrument + "." + FormatUuid(key);
      if (Status st = SendWhole(base + ".volume", id, frame); !st.ok()) return st;
      return WaitStored(next_number - 1);
    }
    case RayStreamMessage::kSweepHeader: {
      const auto& header = message.sweep_header();
      const UuidKey volume = UuidKey::Of(header.volume_uuid());
      OpenSweep& sweep = sweeps[UuidKey::Of(header.sweep_uuid())];
      if (sweep.subject.empty()) {
        sweep.volume = volume;
        sweep.uuid = FormatUuid(header.sweep_uuid());
        sweep.subject = volumes[volume] + ".rays";
      }
      // Its rays wait for it when they are handed to the client; in
      // whole-volume publishing it overtakes the rays kept back before it.
      Status st = SendWhole(volumes[volume] + ".sweep", id, frame);
      sweep.header = next_number - 1;
      return st;
    }
    case RayStreamMessage::kSweepEnd: {
      const UuidKey key = UuidKey::Of(message.sweep_end().sweep_uuid());
      OpenSweep& sweep = sweeps.at(key);
      if (Status st = SendHeld(sweep); !st.ok()) return st;
      held_ends.push_back({volumes[sweep.volume] + ".sweepend", id, std::string(frame), next_number - 1});
      sweeps.erase(key);
      if (held_ends.size() > kMaxHeldEnds) {
        // Too many sweeps left open: wait for the oldest one's rays.
        if (Status st = PostAhead(/*all=*/true); !st.ok()) return st;
        if (Status st = WaitStored(held_ends.front().after); !st.ok()) return st;
      }
      return SendReadyEnds();
    }
    default: {  // VolumeEnd
      const UuidKey key = UuidKey::Of(message.volume_end().volume_uuid());
      for (auto& [uuid, sweep] : sweeps) {
        if (sweep.volume != key) continue;
        if (Status st = SendHeld(sweep); !st.ok()) return st;
      }
      Status st = PostAhead(/*all=*/true);
      if (st.ok()) st = SettleAll();
      if (st.ok()) st = SendWhole(volumes[key] + ".volumeend", id, frame);
      if (!st.ok()) return st;
      volumes.erase(key);
      for (auto it = sweeps.begin(); it != sweeps.end();) {
        it = it->second.volume == key ? sweeps.erase(it) : std::next(it);
      }
      return Status::Ok();
    }
  }
}

// Sends the SweepEnds whose rays are stored, without waiting.
Status Publisher::Impl::SendReadyEnds() {
  while (!held_ends.empty() && held_ends.front().after < stored_below.load(std::memory_order_acquire)) {
    const HeldEnd end = std::move(held_ends.front());
    held_ends.pop_front();
    if (Status st = SendWhole(end.subject, end.id, end.frame); !st.ok()) return st;
  }
  return Status::Ok();
}

// Sends the SweepEnds held, everything before them being stored.
Status Publisher::Impl::SendEnds() {
  Status first;
  for (const HeldEnd& end : held_ends) {
    if (Status st = SendWhole(end.subject, end.id, end.frame); !st.ok() && first.ok()) first = std::move(st);
  }
  held_ends.clear();
  return first;
}

// Waits for everything sent, then sends the SweepEnds held and waits for
// them too.
Status Publisher::Impl::SettleAll() {
  Status st = Settle();
  if (!st.ok() || held_ends.empty()) return st;
  st = SendEnds();
  return st.ok() ? Settle() : st;
}

// Adds frames of ray `ray` to its sweep's batch and sends the batch when it
// is full. A ray that would not fit beside the rays before it lets them go
// first.
Status Publisher::Impl::AddRay(OpenSweep& sweep, std::string_view frames, std::int64_t ray, bool ends_ray) {
  if (sweep.batch.empty() && ends_ray && options.rays_per_message == 1) {
    return SendWhole(sweep.subject, RaysIdentity(sweep.uuid, ray, ray), frames, sweep.header);  // a whole ray alone
  }
  if (sweep.batch.size() == sweep.complete) sweep.tail_first = ray;
  sweep.batch.append(frames);
  sweep.tail_last = ray;
  if (!ends_ray) return Status::Ok();
  const std::size_t room = static_cast<std::size_t>(max_payload);
  const std::size_t id_bytes = HeaderBytes(80);
  if (sweep.rays > 0 && sweep.batch.size() + id_bytes > room) {
    if (Status st = SendRays(sweep); !st.ok()) return st;
  }
  if (sweep.rays == 0) sweep.first = sweep.tail_first;
  ++sweep.rays;
  sweep.last = ray;
  sweep.complete = sweep.batch.size();
  const bool full = sweep.rays >= options.rays_per_message ||
                    (options.bytes_per_message > 0 && sweep.complete >= options.bytes_per_message) ||
                    sweep.complete + id_bytes >= room;
  return full ? SendRays(sweep) : Status::Ok();
}

// Sends the whole rays of the batch.
Status Publisher::Impl::SendRays(OpenSweep& sweep) {
  if (sweep.rays == 0) return Status::Ok();
  const std::string id = RaysIdentity(sweep.uuid, sweep.first, sweep.last);
  Status st = SendWhole(sweep.subject, id, std::string_view(sweep.batch).substr(0, sweep.complete), sweep.header);
  sweep.batch.erase(0, sweep.complete);
  sweep.complete = 0;
  sweep.rays = 0;
  return st;
}

// Sends everything the sweep holds, a ray still lacking its RayEnd too.
Status Publisher::Impl::SendHeld(OpenSweep& sweep) {
  if (Status st = SendRays(sweep); !st.ok()) return st;
  if (sweep.batch.empty()) return Status::Ok();
  const std::string id = RaysIdentity(sweep.uuid, sweep.tail_first, sweep.tail_last);
  Status st = SendWhole(sweep.subject, id, sweep.batch, sweep.header);
  sweep.batch.clear();
  return st;
}

// Sends `payload` as one message, or cut into pieces when it does not fit.
Status Publisher::Impl::SendWhole(const std::string& subject, const std::string& id, std::string_view payload,
                                  std::uint64_t needs) {
  const std::size_t limit = static_cast<std::size_t>(max_payload);
  if (payload.size() + HeaderBytes(id.size()) <= limit) return SendOne(subject, id, payload, needs);
  const std::size_t overhead = HeaderBytes(id.size() + kPieceSuffix);
  if (overhead >= limit) {
    Location where;
    where.field = id;
    return Status(ErrorCode::kTooLarge, "message " + id + ": the largest message of " + std::to_string(limit) +
                                            " bytes leaves no room for its pieces", where);
  }
  const std::size_t room = limit - overhead;
  const std::size_t pieces = (payload.size() + room - 1) / room;
  for (std::size_t k = 0; k < pieces; ++k) {
    if (Status st = SendOne(subject, PieceIdentity(id, k + 1, pieces), payload.substr(k * room, room), needs);
        !st.ok()) {
      return st;
    }
    ++counts.pieces;
  }
  return Status::Ok();
}

// Waits up to ack_timeout for the outstanding acknowledgements; the
// messages whose acknowledgement did not come are taken back from the
// client (a late acknowledgement is then ignored) and count as failed.
// (The client's own per-message timeout is not used: in libnats 3.4 it
// races with late acknowledgements.)
void Publisher::Impl::AwaitAcks() {
  jsPubOptions po;
  jsPubOptions_Init(&po);
  po.MaxWait = options.ack_timeout.count();
  if (js_PublishAsyncComplete(link->jetstream(), &po) != NATS_TIMEOUT) return;
  natsMsgList pending{};
  if (js_PublishAsyncGetPendingList(&pending, link->jetstream()) != NATS_OK) return;
  std::lock_guard<std::mutex> lock(mu);
  for (int i = 0; i < pending.Count; ++i) {
    failures.push_back({MsgHandle(std::exchange(pending.Msgs[i], nullptr)), NATS_TIMEOUT,
                        static_cast<jsErrCode>(0),
                        "no acknowledgement within " + std::to_string(options.ack_timeout.count()) + " ms"});
  }
  has_failures.store(!failures.empty(), std::memory_order_release);
  natsMsgList_Destroy(&pending);
}

// Makes and numbers one message, then hands it to the client, or keeps it
// back (a ray in whole-volume publishing) until the lookahead is full.
Status Publisher::Impl::SendOne(const std::string& subject, const std::string& id, std::string_view payload,
                                std::uint64_t needs) {
  natsMsg* raw = nullptr;
  natsStatus s = natsMsg_Create(&raw, subject.c_str(), nullptr, payload.data(), static_cast<int>(payload.size()));
  Outgoing out{MsgHandle(raw), 0, needs, payload.size()};
  if (s == NATS_OK) s = natsMsgHeader_Set(out.msg.get(), kMsgIdHeader, id.c_str());
  if (s != NATS_OK) return NatsError(s, "publishing message " + id);
  {
    std::lock_guard<std::mutex> lock(mu);
    out.number = next_number++;
    stored.push_back(false);
  }
  if (!lookahead || needs == kNone) return Post(std::move(out));
  ahead_bytes += out.bytes;
  ahead.push_back(std::move(out));
  return PostAhead(/*all=*/false);
}

// Hands the messages kept back to the client: all, or those beyond the
// lookahead.
Status Publisher::Impl::PostAhead(bool all) {
  while (!ahead.empty() && (all || ahead.size() > options.max_pending || ahead_bytes > kLookaheadBytes)) {
    Outgoing out = std::move(ahead.front());
    ahead.pop_front();
    ahead_bytes -= out.bytes;
    if (Status st = Post(std::move(out)); !st.ok()) return st;
  }
  return Status::Ok();
}

// Hands a message to the client once the one it needs is stored. While
// max_pending publishes are unacknowledged the client stalls; after
// ack_timeout the outstanding ones are taken back and republished, and this
// one tried again.
Status Publisher::Impl::Post(Outgoing out) {
  if (Status st = WaitStored(out.needs); !st.ok()) {
    std::lock_guard<std::mutex> lock(mu);
    MarkNumber(out.number);  // not sent: nothing may wait for it
    return st;
  }
  natsMsg* const msg = out.msg.get();
  {
    std::lock_guard<std::mutex> lock(mu);
    posted.emplace_back(msg, out.number);
  }
  const std::size_t bytes = out.bytes;
  natsStatus s = NATS_OK;
  for (int attempt = 0;; ++attempt) {
    s = PublishAsync(link->jetstream(), &out.msg);
    if (s != NATS_TIMEOUT || attempt >= options.retries) break;
    AwaitAcks();
    if (has_failures.load(std::memory_order_acquire)) Retry();
  }
  if (s != NATS_OK) {
    std::lock_guard<std::mutex> lock(mu);
    MarkStored(msg);  // failed for good, reported below
    const char* header = "";
    natsMsgHeader_Get(msg, kMsgIdHeader, &header);
    return NatsError(s, std::string("publishing message ") + header);
  }
  ++counts.sent;
  counts.bytes += bytes;
  return Status::Ok();
}

// Republishes what failed with a passing reason; records the rest.
void Publisher::Impl::Retry() {
  std::vector<Failure> failed;
  {
    std::lock_guard<std::mutex> lock(mu);
    failed.swap(failures);
    has_failures.store(false, std::memory_order_release);
  }
  // Without a responder (no stream leader while a cluster elects one, a
  // server restarting) the answer comes at once: wait a little before trying again.
  for (const Failure& f : failed) {
    if (f.status != NATS_TIMEOUT) {
      std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(options.ack_timeout, std::chrono::milliseconds(250)));
      break;
    }
  }
  for (Failure& f : failed) {
    const char* header = "";
    natsMsgHeader_Get(f.msg.get(), kMsgIdHeader, &header);
    const std::string id = header;
    const std::string subject = natsMsg_GetSubject(f.msg.get());
    const bool passing = f.js_error == 0 && (f.status == NATS_TIMEOUT || f.status == NATS_NO_RESPONDERS ||
                                             f.status == NATS_CONNECTION_DISCONNECTED);
    int& count = attempts[id];
    if (passing && count < options.retries) {
      ++count;
      ++counts.republished;
      if (natsStatus s = PublishAsync(link->jetstream(), &f.msg); s != NATS_OK) {
        Record(NatsError(s, "publish"));
        std::lock_guard<std::mutex> lock(mu);
        MarkStored(f.msg.get());  // lost for good: nothing may wait for it
      }
      continue;
    }
    Location where;
    where.field = id;
    Record(Status(passing ? ErrorCode::kUnavailable : ErrorCode::kProtocol,
                  "message " + id + " on " + subject + " was not stored: " + f.text +
                      (passing ? " (retries exhausted)" : ""),
                  where));
    attempts.erase(id);
    std::lock_guard<std::mutex> lock(mu);
    MarkStored(f.msg.get());  // lost for good: nothing may wait for it
  }
}

// Waits for every acknowledgement, republishing what failed (at most
// `retries` times each) or recording it as lost for good.
Status Publisher::Impl::Settle() {
  for (int round = 0; round <= options.retries + 1; ++round) {
    AwaitAcks();
    if (!has_failures.load(std::memory_order_acquire)) break;
    Retry();
  }
  return TakeError();
}

Status Publisher::Open(const ConnectionOptions& connection, const StreamOptions& stream,
                       const PublisherOptions& options, std::unique_ptr<Publisher>* out) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->options.rays_per_message = std::max<std::size_t>(1, options.rays_per_message);
  impl->lookahead = options.lookahead;
  impl->prefix = stream.subject_prefix;
  jsOptions js;
  jsOptions_Init(&js);
  js.PublishAsync.MaxPending = static_cast<int64_t>(std::max<std::size_t>(1, options.max_pending));
  js.PublishAsync.AckHandler = &Impl::OnAck;
  js.PublishAsync.AckHandlerClosure = impl.get();
  js.PublishAsync.StallWait = options.ack_timeout.count();
  if (Status st = Link::Open(connection, &js, &impl->link); !st.ok()) return st;
  std::int32_t stream_limit = -1;
  if (Status st = impl->link->BindStream(stream, &stream_limit); !st.ok()) return st;
  impl->max_payload = natsConnection_GetMaxPayload(impl->link->connection());
  if (stream_limit > 0) impl->max_payload = std::min<std::int64_t>(impl->max_payload, stream_limit);
  out->reset(new Publisher(std::move(impl)));
  return Status::Ok();
}

Publisher::Publisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Publisher::~Publisher() {
  if (impl_->closed) return;
  const Status st = Close();
  std::fprintf(stderr, "common-dto: NATS publisher destroyed without Close(): %s\n",
               st.ok() ? "everything was stored" : st.message().c_str());
  assert(!"Publisher::Close() not called");
}

Status Publisher::Publish(const RayStreamMessage& message) {
  Impl& d = *impl_;
  if (Status st = d.Usable(); !st.ok()) return st;
  d.staging.Clear();
  if (Status st = d.writer.Write(message); !st.ok()) return st;  // refuses invalid UTF-8
  Status st = d.Take(message, d.staging.view(), message.has_ray_end());
  if (st.ok()) ++d.counts.messages;
  if (st.ok() && !d.held_ends.empty()) st = d.SendReadyEnds();
  return st;
}

Status Publisher::PublishVolume(const kyt::pb::common::Volume& volume, const stream::SplitOptions& options,
                                stream::SplitReport* report) {
  Impl& d = *impl_;
  if (Status st = d.Usable(); !st.ok()) return st;
  d.staging.Clear();
  // After each header, end and whole ray the staging buffer holds its
  // frames. The splitter numbers a sweep's rays by their position, so a
  // ray (its first frame a RayHeader) is placed by counting; headers and
  // ends are read.
  OpenSweep* sweep = nullptr;
  std::int64_t ray = 0;
  auto on_boundary = [&]() -> Status {
    if (d.has_failures.load(std::memory_order_acquire)) d.Retry();
    if (!d.error.ok()) return d.TakeError();
    auto reader = stream::DelimitedReader::FromBytes(d.staging.view());
    std::string_view first;
    if (stream::ReadResult r = reader.ReadBytes(&first); !r) return r.status();
    Status st;
    if (sweep != nullptr && !first.empty() && first[0] == kRayHeaderTag) {
      st = d.AddRay(*sweep, d.staging.view(), ray++, /*ends_ray=*/true);
    } else if (!d.first_frame.ParseFromArray(first.data(), static_cast<int>(first.size()))) {
      st = Status(ErrorCode::kUnparsable, "a message the splitter wrote does not parse");
    } else {
      st = d.Take(d.first_frame, d.staging.view(), /*ends_ray=*/true);
      sweep = nullptr;
      if (st.ok() && d.first_frame.has_sweep_header()) {
        sweep = &d.sweeps.at(UuidKey::Of(d.first_frame.sweep_header().sweep_uuid()));
        ray = 0;
      }
    }
    d.staging.Clear();
    if (st.ok() && !d.held_ends.empty()) st = d.SendReadyEnds();
    return st;
  };
  const std::uint64_t before = d.writer.messages_written();
  d.lookahead = true;
  Status st = stream::SplitVolume(volume, options, &d.writer, report, on_boundary);
  d.lookahead = d.options.lookahead;
  // What was kept back goes out whatever happened: it is stream as valid
  // as what went before.
  Status posted = d.PostAhead(/*all=*/true);
  if (st.ok()) st = std::move(posted);
  d.counts.messages += d.writer.messages_written() - before;
  return st;
}

Status Publisher::Flush() {
  Impl& d = *impl_;
  if (d.closed) return Status(ErrorCode::kInvalidArgument, "the publisher is closed");
  Status first;
  for (auto& [uuid, sweep] : d.sweeps) {
    if (Status st = d.SendRays(sweep); !st.ok() && first.ok()) first = std::move(st);
  }
  if (Status st = d.PostAhead(/*all=*/true); !st.ok() && first.ok()) first = std::move(st);
  Status settled = d.SettleAll();
  return first.ok() ? settled : first;
}

Status Publisher::Close() {
  Impl& d = *impl_;
  if (d.closed) return Status(ErrorCode::kInvalidArgument, "the publisher is closed");
  Status first;
  for (auto& [uuid, sweep] : d.sweeps) {
    if (Status st = d.SendHeld(sweep); !st.ok() && first.ok()) first = std::move(st);
  }
  if (Status st = d.PostAhead(/*all=*/true); !st.ok() && first.ok()) first = std::move(st);
  Status settled = d.SettleAll();
  d.closed = true;
  d.link.reset();  // acknowledgements after this are not waited for
  d.failures.clear();
  d.posted.clear();
  return first.ok() ? settled : first;
}

PublisherStats Publisher::stats() const {
  PublisherStats st = impl_->counts;
  st.acknowledged = impl_->acknowledged.load();
  st.duplicates = impl_->duplicates.load();
  return st;
}

std::int64_t Publisher::max_payload() const { return impl_->max_payload; }

}  // namespace nats
}  // namespace common_dto
