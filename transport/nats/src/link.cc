#include "link.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <climits>
#include <vector>

namespace common_dto {
namespace nats {
namespace internal {
namespace {

ErrorCode CodeOf(natsStatus s, jsErrCode jerr) {
  if (jerr == JSStreamNotFoundErr || jerr == JSConsumerNotFoundErr) return ErrorCode::kInvalidArgument;
  if (jerr == JSNotEnabledErr || jerr == JSNotEnabledForAccountErr) return ErrorCode::kUnavailable;
  switch (s) {
    case NATS_CONNECTION_AUTH_FAILED:
    case NATS_NOT_PERMITTED:
      return ErrorCode::kDenied;
    case NATS_MAX_PAYLOAD:
      return ErrorCode::kTooLarge;
    case NATS_INVALID_ARG:
    case NATS_INVALID_SUBJECT:
    case NATS_ADDRESS_MISSING:
    case NATS_NOT_FOUND:
    case NATS_SECURE_CONNECTION_WANTED:
    case NATS_SECURE_CONNECTION_REQUIRED:
      return ErrorCode::kInvalidArgument;
    case NATS_NO_MEMORY:
    case NATS_SYS_ERROR:
      return ErrorCode::kIo;
    default:
      return ErrorCode::kUnavailable;
  }
}

// Applies one option setter, keeping the first failure.
void Apply(natsStatus* first, natsStatus s) {
  if (*first == NATS_OK) *first = s;
}

natsStatus Configure(natsOptions* o, const ConnectionOptions& c) {
  natsStatus s = NATS_OK;
  std::vector<const char*> urls;
  for (const std::string& url : c.servers) urls.push_back(url.c_str());
  const char* local = "nats://127.0.0.1:4222";
  if (urls.empty()) urls.push_back(local);
  Apply(&s, natsOptions_SetServers(o, urls.data(), static_cast<int>(urls.size())));
  Apply(&s, natsOptions_SetNoRandomize(o, true));
  if (!c.user.empty()) Apply(&s, natsOptions_SetUserInfo(o, c.user.c_str(), c.password.c_str()));
  if (!c.token.empty()) Apply(&s, natsOptions_SetToken(o, c.token.c_str()));
  if (!c.credentials_file.empty()) {
    Apply(&s, natsOptions_SetUserCredentialsFromFiles(o, c.credentials_file.c_str(), nullptr));
  }
  if (c.tls) Apply(&s, natsOptions_SetSecure(o, true));
  if (!c.tls_ca_file.empty()) Apply(&s, natsOptions_LoadCATrustedCertificates(o, c.tls_ca_file.c_str()));
  if (!c.tls_cert_file.empty()) {
    Apply(&s, natsOptions_LoadCertificatesChain(o, c.tls_cert_file.c_str(), c.tls_key_file.c_str()));
  }
  if (c.tls_skip_verify) Apply(&s, natsOptions_SkipServerVerification(o, true));
  if (!c.name.empty()) Apply(&s, natsOptions_SetName(o, c.name.c_str()));
  Apply(&s, natsOptions_SetTimeout(o, c.connect_timeout.count()));
  Apply(&s, natsOptions_SetAllowReconnect(o, c.reconnect));
  Apply(&s, natsOptions_SetMaxReconnect(o, c.max_reconnect));
  Apply(&s, natsOptions_SetReconnectWait(o, c.reconnect_wait.count()));
  Apply(&s, natsOptions_SetReconnectBufSize(o, c.reconnect_buffer_bytes));
  if (c.retry_on_failed_connect) {
    Apply(&s, natsOptions_SetRetryOnFailedConnect(o, true, nullptr, nullptr));
  }
  return s;
}

Status CheckAuthentication(const ConnectionOptions& c) {
  const int ways = (c.user.empty() ? 0 : 1) + (c.token.empty() ? 0 : 1) +
                   (c.credentials_file.empty() ? 0 : 1);
  if (ways > 1) {
    return Status(ErrorCode::kInvalidArgument,
                  "give one of user and password, token or credentials file, not several");
  }
  if (c.tls_cert_file.empty() != c.tls_key_file.empty()) {
    return Status(ErrorCode::kInvalidArgument, "a TLS client certificate needs its key, and a key its certificate");
  }
  return Status::Ok();
}

}  // namespace

std::string LastErrorText(natsStatus s) {
  natsStatus last = NATS_OK;
  const char* text = nats_GetLastError(&last);
  if (text != nullptr && *text != '\0') return text;
  return natsStatus_GetText(s);
}

Status NatsError(natsStatus s, std::string_view what, jsErrCode jerr) {
  std::string text = std::string(what) + ": " + LastErrorText(s);
  if (jerr != 0) text += " (JetStream error " + std::to_string(static_cast<int>(jerr)) + ")";
  return Status(CodeOf(s, jerr), std::move(text));
}

Status Link::Open(const ConnectionOptions& options, jsOptions* js_options, std::unique_ptr<Link>* out) {
  if (Status st = CheckAuthentication(options); !st.ok()) return st;
  natsOptions* o = nullptr;
  natsStatus s = natsOptions_Create(&o);
  if (s == NATS_OK) s = Configure(o, options);
  if (s != NATS_OK) {
    natsOptions_Destroy(o);
    return NatsError(s, "connection options");
  }
  std::unique_ptr<Link> link(new Link());
  link->request_timeout_ms_ = options.request_timeout.count();
  natsConnection* nc = nullptr;
  s = natsOptions_SetReconnectedCB(o, &Link::OnReconnected, link.get());
  if (s == NATS_OK) s = natsConnection_Connect(&nc, o);
  link->nc_.reset(nc);
  natsOptions_Destroy(o);
  std::string servers;
  for (const std::string& url : options.servers) servers += (servers.empty() ? "" : ", ") + url;
  if (s != NATS_OK) {
    return NatsError(s, "cannot connect to " + (servers.empty() ? "nats://127.0.0.1:4222" : servers));
  }
  jsOptions defaults;
  if (js_options == nullptr) {
    jsOptions_Init(&defaults);
    js_options = &defaults;
  }
  js_options->Wait = options.request_timeout.count();
  jsCtx* js = nullptr;
  s = natsConnection_JetStream(&js, link->nc_.get(), js_options);
  link->js_.reset(js);
  if (s != NATS_OK) return NatsError(s, "JetStream context");
  *out = std::move(link);
  return Status::Ok();
}

void Link::OnReconnected(natsConnection*, void* closure) {
  static_cast<Link*>(closure)->reconnects_.fetch_add(1, std::memory_order_acq_rel);
}

void CloseConnection(natsConnection* nc) {
  natsConnection_Close(nc);
  natsConnection_Destroy(nc);
}

void Unsubscribe(natsSubscription* sub) {
  natsSubscription_Unsubscribe(sub);
  natsSubscription_Destroy(sub);
}

namespace {

bool Captures(const jsStreamConfig& config, const std::string& prefix) {
  for (int i = 0; i < config.SubjectsLen; ++i) {
    const std::string subject = config.Subjects[i];
    if (subject == ">" || subject == prefix + ".>") return true;
  }
  return false;
}

Status AddStream(jsCtx* js, const StreamOptions& options) {
  const std::string subject = options.subject_prefix + ".>";
  const char* subjects[] = {subject.c_str()};
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = options.name.c_str();
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Retention = js_LimitsPolicy;
  config.Storage = options.memory_storage ? js_MemoryStorage : js_FileStorage;
  config.Replicas = options.replicas;
  if (options.max_age.count() > 0) config.MaxAge = options.max_age.count() * 1'000'000'000LL;
  if (options.max_bytes > 0) config.MaxBytes = options.max_bytes;
  config.MaxMsgSize = options.max_message_size;
  config.Duplicates = options.duplicate_window.count() * 1'000'000'000LL;
  jsStreamInfo* info = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  natsStatus s = js_AddStream(&info, js, &config, nullptr, &jerr);
  if (info != nullptr) jsStreamInfo_Destroy(info);
  // Another client may have created it meanwhile; then bind to it.
  if (s != NATS_OK && jerr != JSStreamNameExistErr) {
    return NatsError(s, "cannot create stream " + options.name, jerr);
  }
  return Status::Ok();
}

}  // namespace

Status Link::BindStream(const StreamOptions& options, std::int32_t* max_message_size) {
  jsStreamInfo* info = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, js_.get(), options.name.c_str(), nullptr, &jerr);
  if (s == NATS_NOT_FOUND || jerr == JSStreamNotFoundErr) {
    if (!options.create) {
      return Status(ErrorCode::kInvalidArgument,
                    "stream " + options.name + " does not exist (create it, or ask for it to be created)");
    }
    if (Status st = AddStream(js_.get(), options); !st.ok()) return st;
    s = js_GetStreamInfo(&info, js_.get(), options.name.c_str(), nullptr, &jerr);
  }
  if (s != NATS_OK) return NatsError(s, "stream " + options.name, jerr);
  const bool captures = Captures(*info->Config, options.subject_prefix);
  if (max_message_size != nullptr) *max_message_size = info->Config->MaxMsgSize;
  jsStreamInfo_Destroy(info);
  if (!captures) {
    return Status(ErrorCode::kInvalidArgument, "stream " + options.name + " does not capture the subjects " +
                                                   options.subject_prefix + ".>");
  }
  return Status::Ok();
}

bool SerializeCanonical(const google::protobuf::MessageLite& message, std::string* out) {
  const std::size_t size = message.ByteSizeLong();
  if (size > static_cast<std::size_t>(INT_MAX)) return false;
  out->clear();
  google::protobuf::io::StringOutputStream stream(out);
  google::protobuf::io::CodedOutputStream coded(&stream);
  coded.SetSerializationDeterministic(true);
  message.SerializeWithCachedSizes(&coded);
  coded.Trim();
  return !coded.HadError();
}

}  // namespace internal
}  // namespace nats
}  // namespace common_dto
