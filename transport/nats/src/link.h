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

class Link {
 public:
  // Connects with `options`; `js_options` (may be null) configures the
  // JetStream context (asynchronous publishing).
  static Status Open(const ConnectionOptions& options, jsOptions* js_options,
                     std::unique_ptr<Link>* out);
  ~Link();

  natsConnection* connection() const { return nc_; }
  jsCtx* jetstream() const { return js_; }
  std::int64_t request_timeout_ms() const { return request_timeout_ms_; }

  // How often the connection was re-established (to this or another
  // server); consumers made before may be gone.
  std::uint64_t reconnects() const { return reconnects_.load(std::memory_order_acquire); }

  // Binds the stream, creating it first when asked (StreamOptions::create).
  Status BindStream(const StreamOptions& options);

 private:
  Link() = default;
  static void OnReconnected(natsConnection*, void* closure);
  std::atomic<std::uint64_t> reconnects_{0};
  natsConnection* nc_ = nullptr;
  jsCtx* js_ = nullptr;
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
