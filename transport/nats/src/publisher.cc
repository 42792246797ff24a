#include "common_dto/nats/publisher.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common_dto/model/utf8.h"
#include "common_dto/model/uuid.h"
#include "common_dto/nats/subjects.h"
#include "link.h"

namespace common_dto {
namespace nats {

using internal::Link;
using internal::NatsError;
using kyt::pb::stream::RayStreamMessage;

namespace {

constexpr char kMsgIdHeader[] = "Nats-Msg-Id";

// A publish whose acknowledgement failed, handed back by the client.
struct Failure {
  natsMsg* msg = nullptr;
  natsStatus status = NATS_OK;
  jsErrCode js_error = static_cast<jsErrCode>(0);
  std::string text;
};

// Room the protocol needs besides the payload: the header block with the
// message id (NATS counts headers against max_payload).
std::size_t HeaderBytes(const std::string& id) { return 12 + sizeof kMsgIdHeader + 2 + id.size() + 4; }

}  // namespace

struct Publisher::Impl {
  std::unique_ptr<Link> link;
  PublisherOptions options;
  std::string prefix;
  std::int64_t max_payload = 0;

  // Routing: where each open volume's messages go, and each open sweep's volume.
  std::unordered_map<UuidKey, std::string, UuidKeyHash> volumes;
  std::unordered_map<UuidKey, UuidKey, UuidKeyHash> sweeps;

  // Written by the client's acknowledgement thread.
  std::mutex mu;
  std::vector<Failure> failures;
  std::unordered_map<std::string, int> attempts;  // msg id -> times republished
  std::atomic<bool> has_failures{false};
  std::atomic<std::uint64_t> acknowledged{0};
  std::atomic<std::uint64_t> duplicates{0};

  Status error;  // first failure not yet returned
  std::uint64_t messages = 0;
  std::uint64_t bytes = 0;
  std::uint64_t republished = 0;
  std::string buffer;

  static void OnAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* err, void* closure);
  Status Route(const RayStreamMessage& message, std::string* subject);
  Status Send(natsMsg** msg);
  Status SendNew(const std::string& subject, const std::string& id);
  void AwaitAcks();
  void Retry();
  void Record(Status status) {
    if (error.ok()) error = std::move(status);
  }
  Status TakeError() { return std::exchange(error, Status::Ok()); }
};

void Publisher::Impl::OnAck(jsCtx*, natsMsg* msg, jsPubAck* ack, jsPubAckErr* err, void* closure) {
  auto* impl = static_cast<Impl*>(closure);
  if (err == nullptr) {
    impl->acknowledged.fetch_add(1, std::memory_order_relaxed);
    if (ack != nullptr && ack->Duplicate) impl->duplicates.fetch_add(1, std::memory_order_relaxed);
    natsMsg_Destroy(msg);
    return;
  }
  // Republishing here could wait for acknowledgements that only this thread
  // delivers: hand the message to the publishing thread instead.
  std::lock_guard<std::mutex> lock(impl->mu);
  impl->failures.push_back(
      {msg, err->Err, err->ErrCode, err->ErrText != nullptr ? err->ErrText : natsStatus_GetText(err->Err)});
  impl->has_failures.store(true, std::memory_order_release);
}

Status Publisher::Impl::Route(const RayStreamMessage& message, std::string* subject) {
  auto sweep_volume = [&](const kyt::pb::common::UUID& sweep) -> const std::string* {
    auto s = sweeps.find(UuidKey::Of(sweep));
    if (s == sweeps.end()) return nullptr;
    auto v = volumes.find(s->second);
    return v == volumes.end() ? nullptr : &v->second;
  };
  const std::string_view kind = KindToken(message);
  const std::string* base = nullptr;
  Location where;
  switch (message.payload_case()) {
    case RayStreamMessage::PAYLOAD_NOT_SET:
      return Status(ErrorCode::kProtocol, "message without payload");
    case RayStreamMessage::kVolumeHeader: {
      const auto& header = message.volume_header();
      const UuidKey key = UuidKey::Of(header.volume_uuid());
      if (!volumes.count(key) && volumes.size() >= options.max_open_volumes) {
        return Status(ErrorCode::kLimit, "more than " + std::to_string(options.max_open_volumes) +
                                             " volumes open at once");
      }
      const std::string instrument =
          options.instrument.empty() ? InstrumentToken(header.instrument().name()) : options.instrument;
      base = &(volumes[key] = prefix + "." + instrument + "." + FormatUuid(key));
      break;
    }
    case RayStreamMessage::kSweepHeader: {
      const auto& header = message.sweep_header();
      auto v = volumes.find(UuidKey::Of(header.volume_uuid()));
      where.volume_uuid = FormatUuid(header.volume_uuid());
      if (v == volumes.end()) {
        return Status(ErrorCode::kProtocol, "sweep header for volume " + where.volume_uuid +
                                                " before its volume header", where);
      }
      const UuidKey key = UuidKey::Of(header.sweep_uuid());
      if (!sweeps.count(key) && sweeps.size() >= options.max_open_sweeps) {
        return Status(ErrorCode::kLimit, "more than " + std::to_string(options.max_open_sweeps) +
                                             " sweeps open at once");
      }
      sweeps[key] = v->first;
      base = &v->second;
      break;
    }
    case RayStreamMessage::kVolumeEnd: {
      auto v = volumes.find(UuidKey::Of(message.volume_end().volume_uuid()));
      where.volume_uuid = FormatUuid(message.volume_end().volume_uuid());
      if (v == volumes.end()) {
        return Status(ErrorCode::kProtocol, "volume end for volume " + where.volume_uuid +
                                                " without its volume header", where);
      }
      base = &v->second;
      break;
    }
    default: {
      // The remaining kinds name their sweep.
      const RayStreamMessage::PayloadCase c = message.payload_case();
      const auto& sweep = c == RayStreamMessage::kRayHeader       ? message.ray_header().sweep_uuid()
                          : c == RayStreamMessage::kParameterData ? message.parameter_data().sweep_uuid()
                          : c == RayStreamMessage::kRayEnd        ? message.ray_end().sweep_uuid()
                                                                  : message.sweep_end().sweep_uuid();
      base = sweep_volume(sweep);
      where.sweep_uuid = FormatUuid(sweep);
      if (base == nullptr) {
        return Status(ErrorCode::kProtocol, std::string(kind) + " message for sweep " + where.sweep_uuid +
                                                " without its sweep header", where);
      }
    }
  }
  *subject = *base + "." + std::string(kind);
  return Status::Ok();
}

Status Publisher::Impl::Send(natsMsg** msg) {
  natsStatus s = js_PublishMsgAsync(link->jetstream(), msg, nullptr);
  if (s != NATS_OK) return NatsError(s, "publish");
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
    failures.push_back({std::exchange(pending.Msgs[i], nullptr), NATS_TIMEOUT, static_cast<jsErrCode>(0),
                        "no acknowledgement within " + std::to_string(options.ack_timeout.count()) + " ms"});
  }
  has_failures.store(!failures.empty(), std::memory_order_release);
  natsMsgList_Destroy(&pending);
}

// Publishes the message serialized in `buffer`. While max_pending
// publishes are unacknowledged the client stalls; after ack_timeout the
// outstanding ones are taken back and republished, and this one tried again.
Status Publisher::Impl::SendNew(const std::string& subject, const std::string& id) {
  natsStatus s = NATS_OK;
  for (int attempt = 0;; ++attempt) {
    natsMsg* msg = nullptr;
    s = natsMsg_Create(&msg, subject.c_str(), nullptr, buffer.data(), static_cast<int>(buffer.size()));
    if (s == NATS_OK) s = natsMsgHeader_Set(msg, kMsgIdHeader, id.c_str());
    if (s == NATS_OK) s = js_PublishMsgAsync(link->jetstream(), &msg, nullptr);
    natsMsg_Destroy(msg);  // no effect once the client owns it
    if (s != NATS_TIMEOUT || attempt >= options.retries) break;
    AwaitAcks();
    if (has_failures.load(std::memory_order_acquire)) Retry();
  }
  if (s != NATS_OK) return NatsError(s, "publishing message " + id);
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
    const char* id = "";
    natsMsgHeader_Get(f.msg, kMsgIdHeader, &id);
    const bool passing = f.js_error == 0 && (f.status == NATS_TIMEOUT || f.status == NATS_NO_RESPONDERS ||
                                             f.status == NATS_CONNECTION_DISCONNECTED);
    int& count = attempts[id];
    if (passing && count < options.retries) {
      ++count;
      ++republished;
      Record(Send(&f.msg));
    } else {
      Location where;
      where.field = id;
      Record(Status(passing ? ErrorCode::kUnavailable : ErrorCode::kProtocol,
                    std::string("message ") + id + " on " + natsMsg_GetSubject(f.msg) +
                        " was not stored: " + f.text + (passing ? " (retries exhausted)" : ""),
                    where));
      attempts.erase(id);
    }
    natsMsg_Destroy(f.msg);
  }
}

Status Publisher::Open(const ConnectionOptions& connection, const StreamOptions& stream,
                       const PublisherOptions& options, std::unique_ptr<Publisher>* out) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->prefix = stream.subject_prefix;
  jsOptions js;
  jsOptions_Init(&js);
  js.PublishAsync.MaxPending = static_cast<int64_t>(options.max_pending);
  js.PublishAsync.AckHandler = &Impl::OnAck;
  js.PublishAsync.AckHandlerClosure = impl.get();
  js.PublishAsync.StallWait = options.ack_timeout.count();
  if (Status st = Link::Open(connection, &js, &impl->link); !st.ok()) return st;
  if (Status st = impl->link->BindStream(stream); !st.ok()) return st;
  impl->max_payload = natsConnection_GetMaxPayload(impl->link->connection());
  out->reset(new Publisher(std::move(impl)));
  return Status::Ok();
}

Publisher::Publisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Publisher::~Publisher() {
  // Acknowledgements may still arrive: let them, then drop what failed.
  jsPubOptions po;
  jsPubOptions_Init(&po);
  po.MaxWait = impl_->options.ack_timeout.count();
  js_PublishAsyncComplete(impl_->link->jetstream(), &po);
  impl_->link.reset();
  for (Failure& f : impl_->failures) natsMsg_Destroy(f.msg);
}

Status Publisher::Publish(const RayStreamMessage& message) {
  Impl& d = *impl_;
  if (d.has_failures.load(std::memory_order_acquire)) d.Retry();
  if (!d.error.ok()) return d.TakeError();
  std::string subject;
  if (Status st = d.Route(message, &subject); !st.ok()) return st;
  if (Status st = CheckUtf8(message); !st.ok()) return st;
  const std::string id = MessageIdentity(message);
  if (!internal::SerializeCanonical(message, &d.buffer)) {
    return Status(ErrorCode::kTooLarge, "message too large to serialize");
  }
  const std::size_t size = d.buffer.size() + HeaderBytes(id);
  if (static_cast<std::int64_t>(size) > d.max_payload) {
    Location where;
    where.field = id;
    return Status(ErrorCode::kTooLarge,
                  "message " + id + " is " + std::to_string(size) + " bytes, above the server's max_payload of " +
                      std::to_string(d.max_payload) + " bytes",
                  where);
  }
  // Ends wait for everything before them to be stored, and headers are
  // stored before anything after them is sent: a message published again
  // after a lost acknowledgement then still lands where the Assembler
  // accepts it (inside its sweep, before the end markers).
  const bool end = message.has_sweep_end() || message.has_volume_end();
  Status sent = end ? Flush() : Status::Ok();
  if (sent.ok()) sent = d.SendNew(subject, id);
  if (sent.ok() && (message.has_volume_header() || message.has_sweep_header())) sent = Flush();
  if (!sent.ok()) return sent;
  ++d.messages;
  d.bytes += d.buffer.size();
  if (message.has_volume_end()) {
    const UuidKey key = UuidKey::Of(message.volume_end().volume_uuid());
    d.volumes.erase(key);
    for (auto it = d.sweeps.begin(); it != d.sweeps.end();) {
      it = it->second == key ? d.sweeps.erase(it) : std::next(it);
    }
  }
  return Status::Ok();
}

Status Publisher::Flush() {
  Impl& d = *impl_;
  // Each round either republishes a failed message (at most `retries`
  // times each) or records it as lost for good.
  for (int round = 0; round <= d.options.retries + 1; ++round) {
    d.AwaitAcks();
    if (!d.has_failures.load(std::memory_order_acquire)) break;
    d.Retry();
  }
  return d.TakeError();
}

PublisherStats Publisher::stats() const {
  PublisherStats st;
  st.messages = impl_->messages;
  st.bytes = impl_->bytes;
  st.acknowledged = impl_->acknowledged.load();
  st.duplicates = impl_->duplicates.load();
  st.republished = impl_->republished;
  return st;
}

std::int64_t Publisher::max_payload() const { return impl_->max_payload; }

}  // namespace nats
}  // namespace common_dto
