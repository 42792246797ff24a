// Connecting to NATS servers with JetStream, and the stream that holds the
// ray stream messages.
//
// A Publisher and a Subscriber each open their own connection from
// ConnectionOptions, then create or bind the JetStream stream described by
// StreamOptions. Every failure comes back as a Status:
//   kUnavailable      no server reachable, connection lost for good, no
//                     answer in time, JetStream not enabled
//   kDenied           authentication refused (the server's reason is in the
//                     message) or a permission missing
//   kInvalidArgument  options that contradict each other, a stream that does
//                     not exist (bind) or whose subjects do not cover the
//                     prefix
//   kTooLarge         a message above the server's max_payload
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common_dto/nats/export.h"

namespace common_dto {
namespace nats {

struct ConnectionOptions {
  // Server URLs ("nats://host:4222", "tls://host:4222"); several for a
  // cluster, tried in the given order. Empty: nats://127.0.0.1:4222.
  std::vector<std::string> servers;

  // At most one way of authenticating besides TLS client certificates.
  std::string user;
  std::string password;
  std::string token;
  std::string credentials_file;  // a .creds file (user JWT and NKey seed)

  // TLS: required when `tls` is set or a URL has the tls:// scheme.
  bool tls = false;
  std::string tls_ca_file;    // trusted certificates (PEM)
  std::string tls_cert_file;  // client certificate chain (PEM), with
  std::string tls_key_file;   // its private key
  bool tls_skip_verify = false;

  // Name of the client as the server's monitoring shows it.
  std::string name = "common-dto";

  std::chrono::milliseconds connect_timeout{2000};
  // After a connection is lost: reconnect to any of the servers (and those
  // the cluster announces), `max_reconnect` attempts per server (-1: without
  // end), `reconnect_wait` apart. Publishes made meanwhile are buffered up
  // to reconnect_buffer_bytes.
  bool reconnect = true;
  int max_reconnect = 60;
  std::chrono::milliseconds reconnect_wait{500};
  int reconnect_buffer_bytes = 32 << 20;
  // Keep trying the first connection in the background instead of failing
  // when no server is up yet.
  bool retry_on_failed_connect = false;

  // How long a JetStream request (stream and consumer management, fetches)
  // waits for its answer.
  std::chrono::milliseconds request_timeout{5000};
};

struct StreamOptions {
  // The JetStream stream (a name without '.', '*', '>' or spaces).
  std::string name = "RAYS";
  // First token(s) of every subject (subjects.h). The stream must capture
  // <subject_prefix>.>.
  std::string subject_prefix = "rays";

  // Create the stream when it does not exist (with the settings below), or
  // only bind to an existing one. An existing stream is never changed.
  bool create = false;
  int replicas = 1;             // copies in a cluster (1, 3 or 5)
  bool memory_storage = false;  // default: file storage, which survives restarts
  // Retention: messages older than max_age, or the oldest beyond max_bytes,
  // are removed. Zero / negative: no limit.
  std::chrono::seconds max_age{0};
  std::int64_t max_bytes = -1;
  // Largest message the stream accepts; negative: the server's max_payload.
  std::int32_t max_message_size = -1;
  // Window in which a repeated Nats-Msg-Id is dropped.
  std::chrono::seconds duplicate_window{120};
};

}  // namespace nats
}  // namespace common_dto
