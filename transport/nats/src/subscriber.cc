#include "common_dto/nats/subscriber.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include "common_dto/model/uuid.h"
#include "common_dto/stream/framing.h"
#include "common_dto/nats/subjects.h"
#include "link.h"

namespace common_dto {
namespace nats {

using internal::EphemeralHandle;
using internal::KvHandle;
using internal::Link;
using internal::MsgHandle;
using internal::NatsError;
using internal::SubscriptionHandle;
using kyt::pb::stream::RayStreamMessage;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kNanosPerMilli = 1'000'000;
// A volume's consumer that delivered nothing for this long is made again, in
// case its server is gone.
constexpr std::chrono::seconds kQuietRecheck{3};
// What a volume's consumer may hold in the client: the bytes bound it; the
// count only guards against floods of tiny messages. Beyond either the
// client drops messages and the consumer is made again, which costs far
// more than the memory.
constexpr int kPendingBytes = 64 << 20;
constexpr int kPendingMessages = 1 << 16;
// How often a subscriber reading volumes looks for further ones.
constexpr std::chrono::milliseconds kClaimInterval{100};

// Releases a fetched batch whatever happens.
struct MsgList {
  natsMsgList list{};
  ~MsgList() { natsMsgList_Destroy(&list); }
};

// A delivered message's sequence in the stream, read from its reply
// subject: $JS.ACK.<stream>.<consumer>.<delivered>.<stream seq>.<consumer
// seq>.<time>.<pending>, or with <domain>.<account> after ACK and one more
// token at the end (as the client's natsMsg_GetMetaData reads it, without
// its allocations, once per message). 0 when there is none.
std::uint64_t StreamSequence(natsMsg* msg) {
  const char* reply = natsMsg_GetReply(msg);
  if (reply == nullptr) return 0;
  const std::string_view subject(reply);
  const std::size_t tokens = static_cast<std::size_t>(std::count(subject.begin(), subject.end(), '.')) + 1;
  if (subject.rfind("$JS.ACK.", 0) != 0 || (tokens != 9 && tokens < 11)) return 0;
  std::size_t at = 0;
  for (std::size_t dots = tokens == 9 ? 5 : 7; dots > 0; --dots) at = subject.find('.', at) + 1;
  std::uint64_t seq = 0;
  const char* end = subject.data() + subject.size();
  const auto [next, error] = std::from_chars(subject.data() + at, end, seq);
  return error == std::errc() && (next == end || *next == '.') ? seq : 0;
}

// Tag of RayStreamMessage.parameter_data (field 4, length-delimited).
constexpr char kParameterDataTag = 0x22;
// Most pieces a cut message may be made of.
constexpr std::size_t kMaxPieces = 1 << 16;

// The pieces of a cut message received so far.
struct Pieces {
  std::vector<std::string> parts;
  std::vector<std::uint64_t> seqs;
  std::vector<bool> have;
  std::size_t received = 0;
  std::size_t bytes = 0;
};

}  // namespace

// One volume being read: its claim, its private consumer and its assembler.
struct VolumeRead {
  MsgHandle claim;
  UuidKey key;
  std::string uuid;
  std::string subject;  // <prefix>.<instrument>.<uuid>.>
  EphemeralHandle sub;
  std::uint64_t sub_reconnects = 0;  // Link::reconnects() when `sub` was made
  Clock::time_point last_data;       // last message, or when `sub` was made
  std::uint64_t next_seq = 0;
  Clock::time_point last_notice;
  stream::Assembler assembler;
  // Identity hash -> where the first message under it lies in the stream:
  // a repeat is told from a different message by reading that one again
  // (rare: within the duplicate window the server drops repeats).
  struct Seen {
    std::uint64_t seq = 0;
    std::vector<std::uint64_t> pieces;  // of a cut message, in order
  };
  std::unordered_map<std::size_t, Seen> seen;
  // Cut messages being joined, by the whole message's identity.
  std::unordered_map<std::string, Pieces> pieces;
  std::size_t piece_bytes = 0;
  std::size_t skip_sweeps = 0;  // handed over before (progress record)

  explicit VolumeRead(const stream::AssemblerOptions& options) : assembler(options) {}
};

struct Subscriber::Impl {
  std::unique_ptr<Link> link;
  SubscriberOptions options;
  StreamOptions stream;
  SubscriptionHandle claims;  // destroyed without removing the durable consumer
  KvHandle progress;
  std::vector<std::unique_ptr<VolumeRead>> reads;
  // Volumes handed over lately: a late repeat of their claim is acknowledged.
  std::deque<UuidKey> handed_order;
  std::unordered_set<UuidKey, UuidKeyHash> handed;
  // Claims of volumes handed over whose acknowledgement did not go through.
  std::vector<MsgHandle> unacked;
  SubscriberStats stats;
  Clock::time_point last_claim;
  // The messages of one round of Read(), released after it.
  std::vector<MsgHandle> read_msgs;
  // For telling repeats: frames other than ParameterData re-encoded
  // deterministically (producers may write map entries in any order).
  RayStreamMessage scratch;
  std::string canonical;
  google::protobuf::io::StringOutputStream canonical_out{&canonical};
  stream::DelimitedWriter canonical_writer =
      stream::DelimitedWriter::ToZeroCopyStream(&canonical_out, {/*deterministic=*/true, /*check_utf8=*/false});

  ~Impl() { reads.clear(); }  // before the link

  Status BindConsumer();
  Status OpenProgress();
  Status Claim(int64_t wait_ms);
  void TakeClaim(MsgHandle msg);
  Status Subscribe(VolumeRead& read);
  Status Read(VolumeRead& read, int64_t wait_ms, const Handlers& handlers);
  void Feed(VolumeRead& read, natsMsg* msg, const Handlers& handlers);
  bool Join(VolumeRead& read, std::string_view id, std::size_t piece, std::size_t count, std::string_view bytes,
            std::uint64_t seq, std::string* joined, std::vector<std::uint64_t>* seqs, const Handlers& handlers);
  void Take(VolumeRead& read, std::string_view id, std::string_view bytes, std::uint64_t seq,
            std::vector<std::uint64_t> pieces, const Handlers& handlers);
  std::string Canonical(std::string_view bytes);
  bool SameAsBefore(const VolumeRead::Seen& before, std::string_view bytes);
  Status Deliver(VolumeRead& read, const Handlers& handlers, bool* finished);
  Status Finish(VolumeRead& read);
  std::string ProgressKey(const VolumeRead& read) const { return options.durable + "." + read.uuid; }
  void KeepClaims();
  void AckLater();
};

Status Subscriber::Impl::BindConsumer() {
  jsCtx* js = link->jetstream();
  const std::string subject = stream.subject_prefix + "." + options.instrument + ".*.volume";
  jsConsumerInfo* info = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  natsStatus s = js_GetConsumerInfo(&info, js, stream.name.c_str(), options.durable.c_str(), nullptr, &jerr);
  if (s == NATS_NOT_FOUND || jerr == JSConsumerNotFoundErr) {
    jsConsumerConfig config;
    jsConsumerConfig_Init(&config);
    config.Durable = options.durable.c_str();
    config.FilterSubject = subject.c_str();
    config.AckPolicy = js_AckExplicit;
    config.AckWait = options.ack_wait.count() * kNanosPerMilli;
    config.MaxAckPending = options.max_ack_pending;
    config.DeliverPolicy = js_DeliverAll;
    s = js_AddConsumer(&info, js, stream.name.c_str(), &config, nullptr, &jerr);
  }
  if (info != nullptr) jsConsumerInfo_Destroy(info);
  if (s != NATS_OK) return NatsError(s, "consumer " + options.durable + " of stream " + stream.name, jerr);
  jsSubOptions so;
  jsSubOptions_Init(&so);
  so.Stream = stream.name.c_str();
  so.Consumer = options.durable.c_str();
  natsSubscription* sub = nullptr;
  s = js_PullSubscribe(&sub, js, subject.c_str(), options.durable.c_str(), nullptr, &so, &jerr);
  claims.reset(sub);
  if (s != NATS_OK) return NatsError(s, "binding consumer " + options.durable, jerr);
  return Status::Ok();
}

Status Subscriber::Impl::OpenProgress() {
  const std::string bucket = stream.name + "_progress";
  kvStore* kv = nullptr;
  natsStatus s = js_KeyValue(&kv, link->jetstream(), bucket.c_str());
  if (s == NATS_NOT_FOUND) {
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = bucket.c_str();
    config.History = 1;
    config.Replicas = stream.replicas;
    config.TTL = std::int64_t{7} * 24 * 3600 * 1000 * kNanosPerMilli;  // a week
    s = js_CreateKeyValue(&kv, link->jetstream(), &config);
  }
  progress.reset(kv);
  if (s != NATS_OK) return NatsError(s, "progress bucket " + bucket);
  return Status::Ok();
}

// Fetches claims while fewer than max_volumes are being read.
Status Subscriber::Impl::Claim(int64_t wait_ms) {
  if (reads.size() >= options.max_volumes) return Status::Ok();
  // While volumes are being read, a look for more every so often: each
  // look is a round trip that holds their reading up.
  const Clock::time_point now = Clock::now();
  if (!reads.empty() && now - last_claim < kClaimInterval) return Status::Ok();
  last_claim = now;
  jsFetchRequest request;
  jsFetchRequest_Init(&request);
  // One at a time: a fetch waits until its batch is full (or expires), so a
  // larger batch would hold the first volume back while no other comes; and
  // a no_wait fetch that ends with fewer messages than asked for breaks
  // libnats 3.4. Further claims come in the following rounds.
  request.NoWait = wait_ms <= 0;
  request.Batch = 1;
  request.Expires = std::max<int64_t>(wait_ms, 1) * kNanosPerMilli;
  MsgList batch;
  natsStatus s = natsSubscription_FetchRequest(&batch.list, claims.get(), &request);
  if (s == NATS_TIMEOUT || s == NATS_NOT_FOUND) return Status::Ok();
  if (s != NATS_OK) {
    if (natsConnection_IsClosed(link->connection())) return NatsError(s, "fetching volume headers");
    return Status::Ok();  // reconnecting: try again next time
  }
  for (int i = 0; i < batch.list.Count; ++i) TakeClaim(MsgHandle(std::exchange(batch.list.Msgs[i], nullptr)));
  return Status::Ok();
}

void Subscriber::Impl::TakeClaim(MsgHandle msg) {
  // <prefix>.<instrument>.<uuid>.volume
  std::string subject = natsMsg_GetSubject(msg.get());
  const std::size_t kind_dot = subject.rfind('.');
  const std::size_t uuid_dot = kind_dot == std::string::npos ? kind_dot : subject.rfind('.', kind_dot - 1);
  kyt::pb::common::UUID uuid;
  if (uuid_dot == std::string::npos || !ParseUuid(subject.substr(uuid_dot + 1, kind_dot - uuid_dot - 1), &uuid)) {
    // Not a volume header of ours: never again (best effort; a failure only
    // brings it back here).
    (void)natsMsg_Term(msg.get(), nullptr);
    return;
  }
  const UuidKey key = UuidKey::Of(uuid);
  if (handed.count(key)) {
    // Best effort: an acknowledgement that fails brings the header back,
    // and it is reclaimed again here.
    (void)natsMsg_AckSync(msg.get(), nullptr, nullptr);
    ++stats.reclaimed;
    return;
  }
  for (auto& read : reads) {
    if (read->key == key) {  // delivered again while being read: keep the newest
      read->claim = std::move(msg);
      return;
    }
  }
  auto read = std::make_unique<VolumeRead>(options.assembler);
  read->next_seq = StreamSequence(msg.get());
  read->claim = std::move(msg);
  read->key = key;
  read->uuid = FormatUuid(key);
  read->subject = subject.substr(0, kind_dot) + ".>";
  read->last_notice = Clock::now();
  if (progress != nullptr) {
    kvEntry* entry = nullptr;
    if (kvStore_Get(&entry, progress.get(), ProgressKey(*read).c_str()) == NATS_OK) {
      read->skip_sweeps = std::strtoull(kvEntry_ValueString(entry), nullptr, 10);
      kvEntry_Destroy(entry);
    }
  }
  reads.push_back(std::move(read));
}

// The volume's private consumer: an ordered consumer (ephemeral, pushed
// with flow control, no acknowledgements; the client makes it again from the
// last sequence received when it detects a gap or missed heartbeats), from
// the next sequence not yet read. What waits in the client is bounded by
// the pending limits (beyond them the client drops, and the ordered
// consumer asks again from where it stands).
Status Subscriber::Impl::Subscribe(VolumeRead& read) {
  jsSubOptions so;
  jsSubOptions_Init(&so);
  so.Stream = stream.name.c_str();
  so.Ordered = true;
  so.Config.DeliverPolicy = js_DeliverByStartSequence;
  so.Config.OptStartSeq = read.next_seq;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  natsSubscription* sub = nullptr;
  natsStatus s = js_SubscribeSync(&sub, link->jetstream(), read.subject.c_str(), nullptr, &so, &jerr);
  read.sub.reset(sub);
  if (s == NATS_OK) {
    s = natsSubscription_SetPendingLimits(read.sub.get(), kPendingMessages, kPendingBytes);
  }
  if (s != NATS_OK) {
    read.sub.reset();
    return NatsError(s, "reading volume " + read.uuid, jerr);
  }
  return Status::Ok();
}

void Subscriber::Impl::Feed(VolumeRead& read, natsMsg* msg, const Handlers& handlers) {
  const std::uint64_t seq = StreamSequence(msg);
  if (seq != 0 && seq < read.next_seq) return;  // read before the consumer was made again
  if (seq != 0) read.next_seq = seq + 1;
  const std::string_view bytes(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  ++stats.messages;
  stats.bytes += bytes.size();
  const char* header = nullptr;
  if (natsMsgHeader_Get(msg, "Nats-Msg-Id", &header) != NATS_OK || header == nullptr) {
    if (handlers.on_problem) {
      Location where;
      where.volume_uuid = read.uuid;
      where.message_index = seq;
      handlers.on_problem(Status(ErrorCode::kProtocol, "stream message " + std::to_string(seq) + " of volume " +
                                                           read.uuid + " has no Nats-Msg-Id: not a ray stream message", where));
    }
    return;
  }
  std::string_view whole;
  std::size_t piece = 0, count = 0;
  if (!ParsePieceIdentity(header, &whole, &piece, &count)) return Take(read, header, bytes, seq, {}, handlers);
  std::string joined;
  std::vector<std::uint64_t> seqs;
  if (Join(read, whole, piece, count, bytes, seq, &joined, &seqs, handlers)) {
    Take(read, whole, joined, seq, std::move(seqs), handlers);
  }
}

// Keeps piece `piece` of `count` of the cut message `id`; true, with
// *joined holding the message, once every piece is there.
bool Subscriber::Impl::Join(VolumeRead& read, std::string_view id, std::size_t piece, std::size_t count,
                            std::string_view bytes, std::uint64_t seq, std::string* joined,
                            std::vector<std::uint64_t>* seqs, const Handlers& handlers) {
  auto problem = [&](ErrorCode code, const std::string& text) {
    if (!handlers.on_problem) return false;
    Location where;
    where.volume_uuid = read.uuid;
    where.field = std::string(id);
    handlers.on_problem(Status(code, "message " + std::string(id) + " of volume " + read.uuid + ": " + text, where));
    return false;
  };
  if (count > kMaxPieces) return problem(ErrorCode::kLimit, "cut into more than " + std::to_string(kMaxPieces) + " pieces");
  Pieces& cut = read.pieces[std::string(id)];
  if (cut.parts.empty()) {
    cut.parts.resize(count);
    cut.seqs.resize(count);
    cut.have.resize(count);
  }
  if (cut.parts.size() != count) return problem(ErrorCode::kProtocol, "pieces disagree on their number");
  if (cut.have[piece - 1]) {
    if (cut.parts[piece - 1] == bytes) {
      ++stats.repeats;
      return false;
    }
    return problem(ErrorCode::kProtocol, "piece " + std::to_string(piece) + " differs from the one received before");
  }
  if (read.piece_bytes + bytes.size() > options.assembler.max_buffered_bytes) {
    return problem(ErrorCode::kLimit, "pieces held exceed the assembler's max_buffered_bytes");
  }
  cut.parts[piece - 1].assign(bytes);
  cut.seqs[piece - 1] = seq;
  cut.have[piece - 1] = true;
  cut.bytes += bytes.size();
  read.piece_bytes += bytes.size();
  if (++cut.received < count) return false;
  joined->clear();
  joined->reserve(cut.bytes);
  for (const std::string& part : cut.parts) joined->append(part);
  *seqs = std::move(cut.seqs);
  read.piece_bytes -= cut.bytes;
  read.pieces.erase(std::string(id));
  return true;
}

// The frames of `bytes`, those other than ParameterData in their
// deterministic encoding, so that map entries written in another order
// compare equal.
std::string Subscriber::Impl::Canonical(std::string_view bytes) {
  std::string out;
  auto reader = stream::DelimitedReader::FromBytes(bytes);
  std::string_view frame;
  while (reader.ReadBytes(&frame)) {
    canonical.clear();
    const bool samples = !frame.empty() && frame[0] == kParameterDataTag;
    if (!samples && scratch.ParseFromArray(frame.data(), static_cast<int>(frame.size())) &&
        canonical_writer.Write(scratch).ok()) {
      out += canonical;
    } else {
      out.append(frame);
    }
  }
  return out;
}

// Whether `bytes` hold what the message(s) at `before` hold, read again
// from the stream. A message no longer there counts as different.
bool Subscriber::Impl::SameAsBefore(const VolumeRead::Seen& before, std::string_view bytes) {
  std::string earlier;
  const std::vector<std::uint64_t> single{before.seq};
  for (std::uint64_t seq : before.pieces.empty() ? single : before.pieces) {
    natsMsg* raw = nullptr;
    const natsStatus s = js_GetMsg(&raw, link->jetstream(), stream.name.c_str(), seq, nullptr, nullptr);
    MsgHandle msg(raw);
    if (s != NATS_OK) return false;
    earlier.append(natsMsg_GetData(msg.get()), static_cast<std::size_t>(natsMsg_GetDataLength(msg.get())));
  }
  return earlier == bytes || Canonical(earlier) == Canonical(bytes);
}

// A whole message `id` at `seq` (its pieces at `pieces`): skipped when it
// repeats what came under its identity before, else its frames go to the
// assembler where they lie.
void Subscriber::Impl::Take(VolumeRead& read, std::string_view id, std::string_view bytes, std::uint64_t seq,
                            std::vector<std::uint64_t> pieces, const Handlers& handlers) {
  auto [it, fresh] = read.seen.try_emplace(std::hash<std::string_view>()(id));
  if (fresh) {
    it->second.seq = seq;
    it->second.pieces = std::move(pieces);
  } else if (SameAsBefore(it->second, bytes)) {
    ++stats.repeats;
    return;
  }
  auto where = [&] {  // made only for a problem
    Location at;
    at.volume_uuid = read.uuid;
    at.message_index = seq;
    return at;
  };
  auto reader = stream::DelimitedReader::FromBytes(bytes);
  std::string_view frame;
  stream::ReadResult r;
  while ((r = reader.ReadBytes(&frame))) {
    Status st = read.assembler.AddSerialized(frame);
    if (!st.ok() && handlers.on_problem) handlers.on_problem(st.Wrap("", where()));
  }
  if (r.is_error() && handlers.on_problem) {
    handlers.on_problem(r.status().Wrap("message " + std::string(id) + " of volume " + read.uuid + ": ", where()));
  }
}

Status Subscriber::Impl::Read(VolumeRead& read, int64_t wait_ms, const Handlers& handlers) {
  const bool quiet = Clock::now() - read.last_data > kQuietRecheck;
  if (read.sub != nullptr && (read.sub_reconnects != link->reconnects() || quiet)) {
    // The server holding the consumer may be gone (after a reconnect, or a
    // cluster node lost): make it again (the old one, if alive, is removed
    // by the server once inactive).
    natsSubscription_Destroy(read.sub.release());
  }
  if (read.sub == nullptr) {
    read.sub_reconnects = link->reconnects();
    read.last_data = Clock::now();
    if (Status st = Subscribe(read); !st.ok()) {
      return natsConnection_IsClosed(link->connection()) ? st : Status::Ok();
    }
  }
  // Up to fetch_batch messages: the first waited for, the rest as queued.
  std::size_t got = 0;
  for (; got < static_cast<std::size_t>(options.fetch_batch); ++got) {
    natsMsg* msg = nullptr;
    natsStatus s = natsSubscription_NextMsg(&msg, read.sub.get(), got == 0 ? std::max<int64_t>(wait_ms, 1) : 0);
    if (s == NATS_TIMEOUT) break;
    if (s != NATS_OK) {
      if (natsConnection_IsClosed(link->connection())) return NatsError(s, "reading volume " + read.uuid);
      read.sub.reset();  // made again from next_seq on the next round
      break;
    }
    read_msgs.emplace_back(msg);
    Feed(read, msg, handlers);
  }
  // Released together: the client hands each released message to its
  // collector thread, waking it for every one that comes alone.
  read_msgs.clear();
  if (got > 0) read.last_data = Clock::now();
  read.assembler.CloseExpired();
  return Status::Ok();
}

// Hands over what the volume's assembler completed; *finished once the
// volume itself was handed over and its claim acknowledged.
Status Subscriber::Impl::Deliver(VolumeRead& read, const Handlers& handlers, bool* finished) {
  for (stream::AssembledSweep& sweep : read.assembler.TakeSweeps()) {
    if (sweep.position < read.skip_sweeps) continue;  // handed over before a restart
    const std::size_t count = sweep.position + 1;
    if (Status st = handlers.on_sweep ? handlers.on_sweep(std::move(sweep)) : Status::Ok(); !st.ok()) return st;
    ++stats.sweeps;
    read.skip_sweeps = count;
    if (progress != nullptr) {
      uint64_t revision = 0;
      natsStatus s = kvStore_PutString(&revision, progress.get(), ProgressKey(read).c_str(), std::to_string(count).c_str());
      if (s != NATS_OK) return NatsError(s, "recording progress of volume " + read.uuid);
    }
  }
  for (stream::AssembledVolume& volume : read.assembler.TakeVolumes()) {
    if (Status st = handlers.on_volume ? handlers.on_volume(std::move(volume)) : Status::Ok(); !st.ok()) return st;
    ++stats.volumes;
    *finished = true;
  }
  return *finished ? Finish(read) : Status::Ok();
}

Status Subscriber::Impl::Finish(VolumeRead& read) {
  // Remembered first: should the acknowledgement fail, a claim coming back
  // to this subscriber is acknowledged instead of read again.
  handed.insert(read.key);
  handed_order.push_back(read.key);
  if (handed_order.size() > options.assembler.remembered_closed) {
    handed.erase(handed_order.front());
    handed_order.pop_front();
  }
  if (natsMsg_AckSync(read.claim.get(), nullptr, nullptr) != NATS_OK) {
    // No answer (a cluster electing the consumer's leader): try again on
    // the next polls.
    unacked.push_back(std::move(read.claim));
  }
  // Best effort: a progress entry left behind only shows a finished volume
  // as still being read.
  if (progress != nullptr) (void)kvStore_Delete(progress.get(), ProgressKey(read).c_str());
  return Status::Ok();
}

void Subscriber::Impl::AckLater() {
  for (auto it = unacked.begin(); it != unacked.end();) {
    if (natsMsg_AckSync(it->get(), nullptr, nullptr) != NATS_OK) return;
    it = unacked.erase(it);
  }
}

void Subscriber::Impl::KeepClaims() {
  const Clock::time_point now = Clock::now();
  for (auto& read : reads) {
    if (now - read->last_notice < options.ack_wait / 3) continue;
    // Best effort: without the notice the claim may lapse after the ack
    // wait, and the volume is then read again, as after a crash.
    (void)natsMsg_InProgress(read->claim.get(), nullptr);
    read->last_notice = now;
  }
}

Status Subscriber::Open(const ConnectionOptions& connection, const StreamOptions& stream,
                        const SubscriberOptions& options, std::unique_ptr<Subscriber>* out) {
  if (options.durable.empty() || options.durable.find_first_of(".*> \t") != std::string::npos) {
    return Status(ErrorCode::kInvalidArgument, "durable consumer name '" + options.durable +
                                                   "' must be non-empty, without '.', '*', '>' or spaces");
  }
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->stream = stream;
  if (Status st = Link::Open(connection, nullptr, &impl->link); !st.ok()) return st;
  if (Status st = impl->link->BindStream(stream); !st.ok()) return st;
  if (Status st = impl->BindConsumer(); !st.ok()) return st;
  if (options.assembler.delivery == stream::DeliveryMode::kSweepBySweep) {
    if (Status st = impl->OpenProgress(); !st.ok()) return st;
  }
  out->reset(new Subscriber(std::move(impl)));
  return Status::Ok();
}

Subscriber::Subscriber(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Subscriber::~Subscriber() = default;

Status Subscriber::Poll(std::chrono::milliseconds wait, const Handlers& handlers) {
  Impl& d = *impl_;
  const Clock::time_point deadline = Clock::now() + wait;
  do {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int64_t slice = std::max<int64_t>(1, std::min<int64_t>(left, 200));
    if (Status st = d.Claim(d.reads.empty() ? slice : 0); !st.ok()) return st;
    bool handed = false;
    for (std::size_t i = 0; i < d.reads.size();) {
      VolumeRead& read = *d.reads[i];
      const int64_t fetch_wait = d.reads.size() == 1 ? slice : std::max<int64_t>(1, slice / 4);
      if (Status st = d.Read(read, fetch_wait, handlers); !st.ok()) return st;
      bool finished = false;
      if (Status st = d.Deliver(read, handlers, &finished); !st.ok()) {
        // Not handed over: give the claim back, to be read again from the start.
        // (Best effort: without the Nak the claim comes back after the ack wait.)
        (void)natsMsg_Nak(read.claim.get(), nullptr);
        d.reads.erase(d.reads.begin() + static_cast<std::ptrdiff_t>(i));
        return st;
      }
      if (finished) {
        d.reads.erase(d.reads.begin() + static_cast<std::ptrdiff_t>(i));
        handed = true;
      } else {
        ++i;
      }
    }
    d.KeepClaims();
    if (!d.unacked.empty()) d.AckLater();
    if (handed) return Status::Ok();
  } while (Clock::now() < deadline);
  return Status::Ok();
}

std::size_t Subscriber::open_volumes() const { return impl_->reads.size(); }
SubscriberStats Subscriber::stats() const { return impl_->stats; }

}  // namespace nats
}  // namespace common_dto
