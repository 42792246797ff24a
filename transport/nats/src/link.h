// A connection to NATS with its JetStream context, and turning the C
// client's errors into Status. Internal to the NATS transport library.
#pragma once

#include <google/protobuf/message_lite.h>
#include <nats/nats.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common_dto/model/status.h"
#include "common_dto/nats/connection.h"

namespace common_dto {
namespace nats {
namespace internal {

// Ownership of the C client's objects: one handle type, released by the
// client's own function for each.
template <auto Release>
struct Releaser {
  template <typename T>
  void operator()(T* object) const {
    Release(object);
  }
};
template <typename T, auto Release>
using Handle = std::unique_ptr<T, Releaser<Release>>;

void CloseConnection(natsConnection* nc);
// Removes a subscription's consumer on the server, then the subscription.
void Unsubscribe(natsSubscription* sub);

using MsgHandle = Handle<natsMsg, natsMsg_Destroy>;
using SubscriptionHandle = Handle<natsSubscription, natsSubscription_Destroy>;
// An ephemeral consumer, removed with its subscription.
using EphemeralHandle = Handle<natsSubscription, Unsubscribe>;
using JsHandle = Handle<jsCtx, jsCtx_Destroy>;
using ConnectionHandle = Handle<natsConnection, CloseConnection>;
using KvHandle = Handle<kvStore, kvStore_Destroy>;

class Link {
 public:
  // Connects with `options`; `js_options` (may be null) configures the
  // JetStream context (asynchronous publishing).
  static Status Open(const ConnectionOptions& options, jsOptions* js_options,
                     std::unique_ptr<Link>* out);

  natsConnection* connection() const { return nc_.get(); }
  jsCtx* jetstream() const { return js_.get(); }
  std::int64_t request_timeout_ms() const { return request_timeout_ms_; }

  // How often the connection was re-established (to this or another
  // server); consumers made before may be gone.
  std::uint64_t reconnects() const { return reconnects_.load(std::memory_order_acquire); }

  // Binds the stream, creating it first when asked (StreamOptions::create).
  // `max_message_size`, when given, receives the stream's largest message
  // (negative: no limit of its own).
  Status BindStream(const StreamOptions& options, std::int32_t* max_message_size = nullptr);

 private:
  Link() = default;
  static void OnReconnected(natsConnection*, void* closure);
  std::atomic<std::uint64_t> reconnects_{0};
  // Declared first so that it goes last.
  ConnectionHandle nc_;
  JsHandle js_;
  std::int64_t request_timeout_ms_ = 5000;
};

// `what` failed with `s`: a Status with the code the failure calls for and
// the client's description of it (the server's reason included, such as
// "Authorization Violation"). `jerr` is the JetStream error code, if any.
Status NatsError(natsStatus s, std::string_view what, jsErrCode jerr = static_cast<jsErrCode>(0));

// The JetStream error text of a failed request ("stream not found", ...).
std::string LastErrorText(natsStatus s);

// `message` serialized with map entries in key order: equal messages give
// equal bytes whichever process wrote them. False when it is too large.
bool SerializeCanonical(const google::protobuf::MessageLite& message, std::string* out);

}  // namespace internal
}  // namespace nats
}  // namespace common_dto
