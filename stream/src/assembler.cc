// Reassembly of ray streams into sweeps and volumes.
#include "common_dto/stream/assembler.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/time_util.h>

#include <algorithm>
#include <any>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <type_traits>
#include <string_view>
#include <utility>
#include <vector>

#include "common_dto/model/uuid.h"
#include "common_dto/model/references.h"
#include "common_dto/stream/framing.h"
#include "prefetch.h"
#include "ray_parts.h"

namespace common_dto {
namespace stream {
namespace {

using google::protobuf::Timestamp;
using google::protobuf::util::TimeUtil;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataType;
using kyt::pb::common::Ray;
using kyt::pb::common::Sweep;
using kyt::pb::common::UUID;
using kyt::pb::stream::RayStreamMessage;
using kyt::pb::stream::VolumeHeader;

using Key = UuidKey;
using internal::ParameterDataParts;

Key KeyOf(const UUID& uuid) { return UuidKey::Of(uuid); }

// Fields of a newer schema that `message` holds at its own level.
const google::protobuf::UnknownFieldSet& Unknown(const google::protobuf::Message& message) {
  return message.GetReflection()->GetUnknownFields(message);
}

bool SameTime(const Timestamp& a, const Timestamp& b) {
  return a.seconds() == b.seconds() && a.nanos() == b.nanos();
}

std::string TypeName(int type) {
  const std::string& name = kyt::pb::common::DataType_Name(static_cast<DataType>(type));
  return name.empty() ? std::to_string(type) : name;
}

std::string StorageName(int type) {
  const std::string& name =
      DataBuffer::StorageType_Name(static_cast<DataBuffer::StorageType>(type));
  return name.empty() ? std::to_string(type) : name;
}

std::string EndianName(int endian) {
  const std::string& name =
      DataBuffer::Endianness_Name(static_cast<DataBuffer::Endianness>(endian));
  return name.empty() ? std::to_string(endian) : name;
}

// A bounded memory of closed identifiers, oldest forgotten first.
class Remembered {
 public:
  explicit Remembered(std::size_t capacity) : capacity_(capacity) {}
  void Add(const Key& key) {
    if (capacity_ == 0 || !set_.insert(key).second) return;
    order_.push_back(key);
    if (order_.size() > capacity_) {
      set_.erase(order_.front());
      order_.pop_front();
    }
  }
  bool Contains(const Key& key) const { return set_.count(key) != 0; }

 private:
  std::size_t capacity_;
  std::set<Key> set_;
  std::deque<Key> order_;
};

// A ray's decoded samples of one moment, held apart from the moment's run.
// Without AssemblerOptions::keep_samples `bytes` stays empty.
struct Piece {
  std::string bytes;
  std::size_t size = 0;
};

struct RayState {
  bool has_header = false;
  bool has_end = false;
  Ray ray;
  std::optional<Timestamp> end;
  // Moment name -> decoded samples, for those not in the moment's run (see
  // MomentState).
  std::map<std::string, Piece, std::less<>> samples;
};

struct MomentState {
  int endian = 0;
  int storage = 0;
  int data_type = 0;
  bool type_conflict = false;
  // The samples of the rays that arrived in ascending ray index, appended to
  // one buffer. While all rays arrive in order and are of one length this is
  // the sweep's buffer, taken over as it is when the sweep closes.
  std::string run;
  // (ray index, end offset in `run`) of each ray in `run`, ascending.
  std::vector<std::pair<std::int32_t, std::size_t>> run_rays;
  // Rays whose samples came out of order or did not fit the run's room:
  // kept in RayState::samples.
  std::size_t scattered = 0;
  // Unknown fields of the moment's first DataBuffer, kept in its sweep
  // buffer; null when it has none.
  std::unique_ptr<google::protobuf::UnknownFieldSet> unknown;

  bool InRun(std::int32_t index) const {
    // Rays mostly come in order: past the run's end, or its last.
    if (run_rays.empty() || index > run_rays.back().first) return false;
    if (index == run_rays.back().first) return true;
    return std::binary_search(run_rays.begin(), run_rays.end(),
                              std::make_pair(index, std::size_t{0}),
                              [](const auto& a, const auto& b) { return a.first < b.first; });
  }
};

// Keeps the nodes of closed sweeps' ray maps for the next sweeps, so that
// a steady stream allocates none per ray once a sweep has closed. At most
// kMaxKept nodes are kept.
class NodePool {
 public:
  NodePool() = default;
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;
  ~NodePool() {
    for (void* node : free_) ::operator delete(node);
  }

  void* Get(std::size_t size) {
    if (size != node_size_ || free_.empty()) return ::operator new(size);
    void* node = free_.back();
    free_.pop_back();
    return node;
  }
  void Put(void* node, std::size_t size) {
    if (node_size_ == 0) node_size_ = size;
    if (size != node_size_ || free_.size() >= kMaxKept) {
      ::operator delete(node);
      return;
    }
    free_.push_back(node);
  }

 private:
  static constexpr std::size_t kMaxKept = 16384;
  std::size_t node_size_ = 0;
  std::vector<void*> free_;
};

// Allocates single nodes from a NodePool.
template <typename T>
struct PoolAllocator {
  using value_type = T;
  NodePool* pool;
  explicit PoolAllocator(NodePool* p) : pool(p) {}
  template <typename U>
  PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}  // NOLINT: rebinding
  T* allocate(std::size_t n) {
    if (n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
    return static_cast<T*>(pool->Get(sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) {
    if (n != 1) {
      ::operator delete(p);
      return;
    }
    pool->Put(p, sizeof(T));
  }
  template <typename U>
  bool operator==(const PoolAllocator<U>& other) const { return pool == other.pool; }
  template <typename U>
  bool operator!=(const PoolAllocator<U>& other) const { return pool != other.pool; }
};

using RayMap = std::map<std::int32_t, RayState, std::less<>,
                        PoolAllocator<std::pair<const std::int32_t, RayState>>>;

struct VolumeState;

struct SweepState {
  explicit SweepState(NodePool* pool) : rays(PoolAllocator<RayMap::value_type>(pool)) {}

  Key key;
  std::string name;  // "sweep <uuid>"
  UUID uuid;
  VolumeState* volume = nullptr;
  std::size_t position = 0;
  kyt::pb::stream::SweepHeader header;
  bool has_end = false;
  std::optional<Timestamp> end;
  RayMap rays;
  std::map<std::string, MomentState, std::less<>> moments;
  // The number of rays expected, for reserving the moments' runs; 0 unknown.
  std::size_t expected_rays = 0;
  // Bytes reserved in those runs ahead of the first ray's samples.
  std::uint64_t reserved = 0;
  std::size_t complete_rays = 0;
  // What it holds, as counted against max_buffered_bytes: its header, rays,
  // ray headers, samples and padding (see Impl::CheckRoom).
  std::uint64_t bytes = 0;
  std::vector<std::string> warnings;
  std::any observed;  // The observer's slot.
};

struct VolumeState {
  Key key;
  std::string name;  // "volume <uuid>"
  std::shared_ptr<const VolumeHeader> header;
  std::chrono::steady_clock::time_point opened;
  std::size_t rays = 0;
  std::size_t next_position = 0;
  std::vector<Sweep> sweeps;  // kWholeVolumes: by position.
  std::set<Key> open_sweeps;
  // Its header and, in kWholeVolumes, its closed sweeps, as counted against
  // max_buffered_bytes.
  std::uint64_t held_bytes = 0;
  std::size_t sweeps_delivered = 0;
  std::size_t last_sweep_rays = 0;  // Ray count of its sweep closed last.
  std::vector<std::string> missing;
  std::vector<std::string> warnings;
  // Messages whose unknown fields had no place in the Volume, by kind.
  std::map<std::string, std::size_t> dropped_unknown;
  std::any observed;  // The observer's slot.
};

// The assembler's own bookkeeping for each volume, sweep and ray, beyond the
// bytes of the headers it keeps. It counts against max_buffered_bytes with
// them, so that floods of tiny sweeps or empty rays are bounded like floods
// of samples. (Estimates: map nodes, names, missing-item texts.)
constexpr std::uint64_t kVolumeCost = sizeof(VolumeState) + 256;
constexpr std::uint64_t kSweepCost = sizeof(SweepState) + sizeof(Sweep) + 256;
constexpr std::uint64_t kRayCost = sizeof(RayState) + 64;

// Names for error texts and warnings, built only when one is given.
std::string RayName(const SweepState& sweep, std::int32_t index) {
  return sweep.name + " ray " + std::to_string(index);
}
std::string MomentName(const SweepState& sweep, std::string_view moment) {
  return sweep.name + " moment '" + std::string(moment) + "'";
}
std::string RayMomentName(const SweepState& sweep, std::int32_t index, std::string_view moment) {
  return RayName(sweep, index) + " moment '" + std::string(moment) + "'";
}

bool SweepRayLimitReached(const AssemblerOptions& options, const SweepState& sweep) {
  return sweep.rays.size() >= options.max_rays_per_sweep;
}
bool VolumeRayLimitReached(const AssemblerOptions& options, const VolumeState& volume) {
  return options.max_rays_per_volume > 0 && volume.rays >= options.max_rays_per_volume;
}

// How many rays a new sweep will likely have: the count of the swept sector
// in its SweepConfig, else as many as its volume's sweep closed last.
std::size_t ExpectedRays(const AssemblerOptions& options, const VolumeState& volume,
                         const kyt::pb::stream::SweepHeader& header) {
  const auto* config =
      volume.header->has_volume_config() ? &volume.header->volume_config() : nullptr;
  std::size_t rays = volume.last_sweep_rays;
  if (const auto* sweep_config = ResolveSweepConfig(config, header.description().config())) {
    if (sweep_config->sector().count() > 0) {
      rays = static_cast<std::size_t>(sweep_config->sector().count());
    }
  }
  return std::min(rays, options.max_rays_per_sweep);
}

// Most reserved ahead for one moment's run.
constexpr std::uint64_t kMaxReserve = std::uint64_t{64} << 20;

// Makes `samples`, a moment's first ray, the start of its run, reserving
// room for the rays the sweep expects, at most `budget` bytes beyond the
// samples. Returns the bytes reserved beyond them.
std::uint64_t StartRun(const SweepState& sweep, std::string samples, std::uint64_t budget,
                       MomentState* moment) {
  moment->run = std::move(samples);
  const std::uint64_t size = moment->run.size();
  if (size == 0 || sweep.expected_rays < 2) return 0;
  const std::uint64_t most = std::numeric_limits<std::int32_t>::max();  // One buffer's limit.
  std::uint64_t room = size > most / sweep.expected_rays ? most : size * sweep.expected_rays;
  // The expected count is declared by the stream, so what it reserves is
  // bounded too; rays beyond the room are held apart (see RunTarget).
  room = std::min(room, size + std::min(budget, kMaxReserve));
  if (room <= size) return 0;
  moment->run.reserve(static_cast<std::size_t>(room));
  return room - size;
}

// One ray's samples of a moment, as BuildMoment gathers them: a slice of the
// moment's run or the ray's own piece.
struct RayPart {
  std::int32_t ray = 0;
  bool present = false;
  std::size_t size = 0;
  std::string_view samples;      // Empty without keep_samples.
  std::string* piece = nullptr;  // Freed once copied.
  bool last_in_run = false;      // The run is freed once this is copied.
};

// What a stream message names: its volume, sweep, ray and moment (each
// null or unset when it names none).
struct Container {
  const UUID* volume = nullptr;
  const UUID* sweep = nullptr;
  std::optional<std::int32_t> ray;
  const std::string* moment = nullptr;
};

Container ContainerOf(const RayStreamMessage& message) {
  Container c;
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader:
      c.volume = &message.volume_header().volume_uuid();
      break;
    case RayStreamMessage::kSweepHeader:
      c.volume = &message.sweep_header().volume_uuid();
      c.sweep = &message.sweep_header().sweep_uuid();
      break;
    case RayStreamMessage::kRayHeader:
      c.sweep = &message.ray_header().sweep_uuid();
      c.ray = message.ray_header().ray_index();
      break;
    case RayStreamMessage::kParameterData:
      c.sweep = &message.parameter_data().sweep_uuid();
      c.ray = message.parameter_data().ray_index();
      c.moment = &message.parameter_data().data_type().short_name();
      break;
    case RayStreamMessage::kRayEnd:
      c.sweep = &message.ray_end().sweep_uuid();
      c.ray = message.ray_end().ray_index();
      break;
    case RayStreamMessage::kSweepEnd:
      c.sweep = &message.sweep_end().sweep_uuid();
      break;
    case RayStreamMessage::kVolumeEnd:
      c.volume = &message.volume_end().volume_uuid();
      break;
    default:
      break;
  }
  return c;
}

// Sizes of a moment's parts: the longest and shortest, and the rays absent.
struct PartStats {
  std::size_t longest = 0;
  std::size_t shortest = std::numeric_limits<std::size_t>::max();
  std::int32_t longest_ray = 0;
  std::int32_t shortest_ray = 0;
  std::size_t absent = 0;
  std::int32_t absent_ray = 0;
  std::uint64_t present = 0;
};

// A ParameterData message by its parts (the parts point into it).
ParameterDataParts PartsOf(const kyt::pb::stream::ParameterData& data) {
  ParameterDataParts p;
  p.has_sweep_uuid = data.has_sweep_uuid();
  p.sweep_uuid = {data.sweep_uuid().least_significant_bits(),
                  data.sweep_uuid().most_significant_bits()};
  p.ray_index = data.ray_index();
  p.has_data_type = data.has_data_type();
  p.data_type = data.data_type().type();
  p.short_name = data.data_type().short_name();
  p.has_data = data.has_data();
  p.endian = data.data().endian();
  p.storage = data.data().type();
  p.compression = data.data().compression();
  p.uncompressed_size = data.data().uncompressed_size();
  p.samples = data.data().data();
  return p;
}

Key SweepKey(const internal::UuidParts& uuid) {
  return {static_cast<std::uint64_t>(uuid.msb), static_cast<std::uint64_t>(uuid.lsb)};
}

// The first byte of an envelope holding each ray-level payload (its tag).
constexpr std::uint8_t kRayHeaderTag = 3 << 3 | 2;
constexpr std::uint8_t kParameterDataTag = 4 << 3 | 2;
constexpr std::uint8_t kRayEndTag = 5 << 3 | 2;

}  // namespace

struct Assembler::Impl {
  explicit Impl(AssemblerOptions o)
      : options(std::move(o)),
        closed_volumes(options.remembered_closed),
        closed_sweeps(options.remembered_closed) {
    if (!options.clock) options.clock = [] { return std::chrono::steady_clock::now(); };
  }

  AssemblerOptions options;
  AssemblerObserver* observer = nullptr;
  NodePool ray_nodes;  // Outlives the sweeps.
  std::map<Key, std::unique_ptr<VolumeState>> volumes;
  std::map<Key, std::unique_ptr<SweepState>> sweeps;
  SweepState* last_sweep = nullptr;  // The one FindSweep() found last.
  Remembered closed_volumes;
  Remembered closed_sweeps;
  std::vector<AssembledVolume> done_volumes;
  std::vector<AssembledSweep> done_sweeps;
  std::uint64_t buffered = 0;
  // AddSerialized(): the messages it parses.
  RayStreamMessage incoming;
  // AddSerialized(): a RayHeader's ray, parsed here and then taken over,
  // and a RayEnd's time.
  Ray incoming_ray;
  Timestamp incoming_end;
  // AddSerialized(): the sweep UUID read last (most messages repeat it).
  internal::UuidMemo incoming_uuid;

  // ---- Accounting ------------------------------------------------------

  // Refuses to hold `bytes` more for `name` when that would pass
  // max_buffered_bytes. Everything the assembler keeps for open volumes is
  // counted: headers (serialized size plus bookkeeping), samples, padding,
  // and in kWholeVolumes the closed sweeps of open volumes, at the size
  // they were counted with while open.
  // `name` names what would hold them: a string, or a function returning
  // one (built only for the error).
  template <typename Name>
  Status CheckRoom(const Name& name, std::uint64_t bytes) const {
    if (buffered + bytes <= options.max_buffered_bytes) return Status::Ok();
    std::string what;
    if constexpr (std::is_invocable_v<Name>) {
      what = name();
    } else {
      what = name;
    }
    return Status(ErrorCode::kLimit, what + ": holding " + std::to_string(bytes) +
                         " more bytes would exceed the limit of " +
                         std::to_string(options.max_buffered_bytes) + " buffered bytes");
  }

  // ---- Lookup ----------------------------------------------------------

  Status FindSweep(const UUID& uuid, const char* what, SweepState** out) {
    return FindSweep(KeyOf(uuid), what, out);
  }
  Status FindSweep(Key key, const char* what, SweepState** out) {
    if (last_sweep != nullptr && last_sweep->key == key) {
      *out = last_sweep;
      return Status::Ok();
    }
    auto it = sweeps.find(key);
    if (it != sweeps.end()) {
      *out = last_sweep = it->second.get();
      return Status::Ok();
    }
    const std::string name = "sweep " + FormatUuid(key);
    if (closed_sweeps.Contains(key)) {
      return Status(ErrorCode::kProtocol, std::string(what) + " for " + name + ", which is already closed");
    }
    return Status(ErrorCode::kProtocol, std::string(what) + " for unknown " + name + " (no SweepHeader)");
  }

  // Ray `index` of `sweep`, or rays.end(). Rays mostly come in order, so
  // the last one is looked at first.
  static RayMap::iterator FindRay(SweepState* sweep, std::int32_t index) {
    if (!sweep->rays.empty()) {
      const auto last = std::prev(sweep->rays.end());
      if (last->first == index) return last;
      if (last->first < index) return sweep->rays.end();
    }
    return sweep->rays.find(index);
  }

  // Finds or opens ray `index` of `sweep`, enforcing the ray limits and
  // making sure there is room for `extra` bytes more (which the caller
  // counts once it holds them). Opening a ray beyond max_rays_per_volume
  // closes the volume, and with it `sweep`.
  Status GetRay(SweepState* sweep, std::int32_t index, RayState** out, std::uint64_t extra = 0) {
    auto it = FindRay(sweep, index);
    if (it != sweep->rays.end()) {
      Status status = CheckRoom([&] { return RayName(*sweep, index); }, extra);
      if (!status.ok()) return status;
      *out = &it->second;
      return Status::Ok();
    }
    if (SweepRayLimitReached(options, *sweep)) {
      return Status(ErrorCode::kLimit, RayName(*sweep, index) + ": more than " +
                           std::to_string(options.max_rays_per_sweep) + " rays in one sweep");
    }
    VolumeState* volume = sweep->volume;
    if (VolumeRayLimitReached(options, *volume)) {
      const std::string what =
          "closed at the ray limit of " + std::to_string(options.max_rays_per_volume) + " rays";
      const std::string name = volume->name;
      const std::string refused = RayName(*sweep, index);
      const Status closed = CloseVolume(volume, nullptr, what);
      return Status(ErrorCode::kLimit, name + " " + what + "; " + refused + " refused" +
                                           (closed.ok() ? "" : "; closing it: " + closed.message()));
    }
    Status status = CheckRoom([&] { return RayName(*sweep, index); }, kRayCost + extra);
    if (!status.ok()) return status;
    ++volume->rays;
    sweep->bytes += kRayCost;
    buffered += kRayCost;
    // In order, the new ray goes last; the hint saves the search.
    const bool last = sweep->rays.empty() || std::prev(sweep->rays.end())->first < index;
    *out = &(last ? sweep->rays.try_emplace(sweep->rays.end(), index)
                  : sweep->rays.try_emplace(index).first)
                ->second;
    return Status::Ok();
  }

  // ---- Observation -----------------------------------------------------

  static ObservedVolume View(VolumeState* volume) {
    return ObservedVolume{*volume->header, volume->observed};
  }
  static ObservedSweep View(SweepState* sweep) {
    return ObservedSweep{sweep->header, sweep->position, View(sweep->volume), sweep->observed};
  }

  // ---- Messages --------------------------------------------------------

  Status OnVolumeHeader(const VolumeHeader& header, VolumeHeader* owned) {
    const Key key = KeyOf(header.volume_uuid());
    const std::string name = "volume " + FormatUuid(header.volume_uuid());
    if (volumes.count(key) != 0) return Status(ErrorCode::kProtocol, name + ": duplicate VolumeHeader");
    if (closed_volumes.Contains(key)) {
      return Status(ErrorCode::kProtocol, name + ": VolumeHeader for a volume already closed");
    }
    if (volumes.size() >= options.max_open_volumes) {
      return Status(ErrorCode::kLimit, name + ": more than " + std::to_string(options.max_open_volumes) +
                           " open volumes");
    }
    const std::uint64_t cost = kVolumeCost + header.ByteSizeLong();
    Status status = CheckRoom(name, cost);
    if (!status.ok()) return status;
    auto state = std::make_unique<VolumeState>();
    state->key = key;
    state->name = name;
    state->held_bytes = cost;
    buffered += cost;
    state->header = owned != nullptr ? std::make_shared<const VolumeHeader>(std::move(*owned))
                                     : std::make_shared<const VolumeHeader>(header);
    state->opened = options.clock();
    VolumeState* opened = volumes.emplace(key, std::move(state)).first->second.get();
    if (observer != nullptr) observer->VolumeStarted(View(opened));
    return Status::Ok();
  }

  Status OnSweepHeader(const kyt::pb::stream::SweepHeader& header,
                       kyt::pb::stream::SweepHeader* owned) {
    const Key key = KeyOf(header.sweep_uuid());
    const std::string name = "sweep " + FormatUuid(header.sweep_uuid());
    if (sweeps.count(key) != 0) return Status(ErrorCode::kProtocol, name + ": duplicate SweepHeader");
    if (closed_sweeps.Contains(key)) {
      return Status(ErrorCode::kProtocol, name + ": SweepHeader for a sweep already closed");
    }
    const Key volume_key = KeyOf(header.volume_uuid());
    auto it = volumes.find(volume_key);
    if (it == volumes.end()) {
      const std::string volume = "volume " + FormatUuid(header.volume_uuid());
      return Status(ErrorCode::kProtocol, name + ": SweepHeader names " +
                           (closed_volumes.Contains(volume_key)
                                ? volume + ", which is already closed"
                                : "unknown " + volume + " (no VolumeHeader)"));
    }
    if (sweeps.size() >= options.max_open_sweeps) {
      return Status(ErrorCode::kLimit, name + ": more than " + std::to_string(options.max_open_sweeps) +
                           " open sweeps");
    }
    const std::uint64_t cost = kSweepCost + header.ByteSizeLong();
    Status status = CheckRoom(name, cost);
    if (!status.ok()) return status;
    VolumeState* volume = it->second.get();
    auto state = std::make_unique<SweepState>(&ray_nodes);
    state->key = key;
    state->name = name;
    state->bytes = cost;
    buffered += cost;
    state->uuid = header.sweep_uuid();
    state->volume = volume;
    state->position = volume->next_position++;
    state->header = owned != nullptr ? std::move(*owned) : header;
    state->expected_rays = ExpectedRays(options, *volume, state->header);
    if (options.delivery == DeliveryMode::kWholeVolumes) volume->sweeps.emplace_back();
    volume->open_sweeps.insert(key);
    SweepState* opened = sweeps.emplace(key, std::move(state)).first->second.get();
    if (observer != nullptr) observer->SweepStarted(View(opened));
    return Status::Ok();
  }

  Status OnRayHeader(const kyt::pb::stream::RayHeader& header, kyt::pb::stream::RayHeader* owned) {
    return OnRayHeader(KeyOf(header.sweep_uuid()), header.ray_index(), header.ray(),
                       owned != nullptr ? owned->mutable_ray() : nullptr);
  }

  // A RayHeader by its parts; `owned`, when given, is `record` and may be
  // taken over.
  Status OnRayHeader(Key sweep_key, std::int32_t index, const Ray& record, Ray* owned) {
    SweepState* sweep = nullptr;
    Status status = FindSweep(sweep_key, "RayHeader", &sweep);
    if (!status.ok()) return status;
    auto existing = sweep->rays.find(index);
    if (existing != sweep->rays.end() && existing->second.has_header) {
      return Status(ErrorCode::kProtocol, RayName(*sweep, index) + ": duplicate RayHeader");
    }
    // Room for the ray is checked with its bookkeeping, so that a refused
    // header leaves no empty ray behind.
    const std::uint64_t size = record.ByteSizeLong();
    RayState* ray = nullptr;
    status = GetRay(sweep, index, &ray, size);
    if (!status.ok()) return status;
    ray->has_header = true;
    sweep->bytes += size;
    buffered += size;
    if (owned != nullptr) {
      ray->ray = std::move(*owned);
    } else {
      ray->ray = record;
    }
    if (observer != nullptr) observer->RayStarted(View(sweep), index, ray->ray);
    return RayProgress(sweep, ray);
  }

  Status OnRayEnd(const kyt::pb::stream::RayEnd& end) {
    return OnRayEnd(KeyOf(end.sweep_uuid()), end.ray_index(), end.has_end() ? &end.end() : nullptr);
  }

  Status OnRayEnd(Key sweep_key, std::int32_t index, const Timestamp* end) {
    SweepState* sweep = nullptr;
    Status status = FindSweep(sweep_key, "RayEnd", &sweep);
    if (!status.ok()) return status;
    RayState* ray = nullptr;
    status = GetRay(sweep, index, &ray);
    if (!status.ok()) return status;
    if (ray->has_end) return Status(ErrorCode::kProtocol, RayName(*sweep, index) + ": duplicate RayEnd");
    ray->has_end = true;
    if (end != nullptr) ray->end = *end;
    return RayProgress(sweep, ray);
  }

  // Refuses a ParameterData before anything of it is stored or decoded: a
  // duplicate, a moment beyond the limit, samples whose layout differs from
  // the moment's other rays.
  Status CheckParameterData(const SweepState& sweep, const ParameterDataParts& data,
                            const RayState* existing_ray, const MomentState* moment) {
    const std::string_view name = data.short_name;
    const std::int32_t index = data.ray_index;
    if ((moment != nullptr && moment->InRun(index)) ||
        (existing_ray != nullptr && !existing_ray->samples.empty() &&
         existing_ray->samples.count(name) != 0)) {
      return Status(ErrorCode::kProtocol,
                    RayMomentName(sweep, index, name) + ": duplicate ParameterData");
    }
    if (moment == nullptr) {
      if (sweep.moments.size() >= options.max_moments_per_sweep) {
        return Status(ErrorCode::kLimit, RayMomentName(sweep, index, name) + ": more than " +
                                             std::to_string(options.max_moments_per_sweep) +
                                             " moments in one sweep");
      }
    } else if (moment->endian != data.endian || moment->storage != data.storage) {
      return Status(ErrorCode::kInvalidArgument,
                    RayMomentName(sweep, index, name) + ": samples are " +
                        EndianName(data.endian) + " " + StorageName(data.storage) +
                        " but the moment's other rays are " + EndianName(moment->endian) +
                        " " + StorageName(moment->storage));
    }
    return Status::Ok();
  }

  // The decoded size a buffer declares; 0 when it does not say (an LZ4
  // frame without uncompressed_size).
  static std::uint64_t DeclaredSize(const ParameterDataParts& data) {
    if (data.compression != DataBuffer::LZ4) return data.samples.size();
    return data.uncompressed_size > 0 ? static_cast<std::uint64_t>(data.uncompressed_size) : 0;
  }

  // Decodes a ParameterData's samples onto the end of *target (taking plain
  // samples over from *owned when *target is empty). Returns the decoded
  // size in *size; on error *target is unchanged.
  Status DecodeSamples(const ParameterDataParts& data, std::string* owned, std::string* target,
                       std::size_t* size) {
    const std::size_t base = target->size();
    const bool plain = data.compression == DataBuffer::NONE ||
                       data.compression == DataBuffer::UNKNOWN_COMPRESSION;
    if (base == 0 && plain && owned != nullptr && data.samples.size() <= options.max_buffer_size) {
      target->swap(*owned);
    } else {
      Status status = AppendUncompressed(data.compression, data.uncompressed_size, data.samples,
                                         target, options.max_buffer_size);
      if (!status.ok()) return status;
    }
    *size = target->size() - base;
    const int width = SampleWidth(data.storage);
    if (width > 0 && *size % static_cast<std::size_t>(width) != 0) {
      target->resize(base);
      return Status(ErrorCode::kInvalidArgument,
                    std::to_string(*size) + " bytes are not a whole number of " +
                        StorageName(data.storage) + " samples");
    }
    return Status::Ok();
  }

  // Where a ray's samples go: onto the end of the moment's run when the ray
  // follows the run's last ray and the run has room reserved for them (so
  // that the run never grows by copying itself), else into a piece of the
  // ray's own. Null for the first ray of a moment, which starts the run.
  std::string* RunTarget(MomentState* moment, std::int32_t index,
                         const ParameterDataParts& data) const {
    if (moment == nullptr || !options.keep_samples) return nullptr;
    if (!moment->run_rays.empty() && index < moment->run_rays.back().first) return nullptr;
    const std::uint64_t declared = DeclaredSize(data);
    if (declared == 0 && data.compression == DataBuffer::LZ4) return nullptr;
    if (moment->run.capacity() - moment->run.size() < declared) return nullptr;
    return &moment->run;
  }

  // A ParameterData by its parts. `buffer` is the message's DataBuffer when
  // it came as a message (for its unknown fields), `owned` its samples when
  // they may be taken over.
  Status OnParameterData(const ParameterDataParts& data, const DataBuffer* buffer,
                         std::string* owned) {
    SweepState* sweep = nullptr;
    Status status = FindSweep(SweepKey(data.sweep_uuid), "ParameterData", &sweep);
    if (!status.ok()) return status;
    const std::string_view name = data.short_name;
    const std::int32_t index = data.ray_index;
    const auto ray_it = FindRay(sweep, index);
    RayState* const existing_ray = ray_it == sweep->rays.end() ? nullptr : &ray_it->second;
    const auto moment = sweep->moments.find(name);
    MomentState* const existing = moment == sweep->moments.end() ? nullptr : &moment->second;
    status = CheckParameterData(*sweep, data, existing_ray, existing);
    if (!status.ok()) return status;
    // A new ray's bookkeeping is counted with its samples.
    const bool new_ray = existing_ray == nullptr;
    const std::uint64_t ray_cost = new_ray ? kRayCost : 0;
    auto where = [&] { return RayMomentName(*sweep, index, name); };
    status = CheckRoom(where, DeclaredSize(data) + ray_cost);
    if (!status.ok()) return status;

    std::string piece;
    std::string* run = RunTarget(existing, index, data);
    std::string* target = run != nullptr ? run : &piece;
    const std::size_t base = target->size();
    std::size_t size = 0;
    status = DecodeSamples(data, owned, target, &size);
    if (!status.ok()) return status.Wrap(where() + ": ");
    if (run != nullptr) {
      // Room for the ray after next, while the next one arrives (see
      // prefetch.h): the run's rays mostly have one size.
      const std::size_t ahead = run->size() + size;
      if (ahead + size <= run->capacity()) internal::Prefetch(run->data() + ahead, size, /*for_write=*/true);
    }
    // Without keep_samples only the size is kept.
    const std::size_t held = options.keep_samples ? size : 0;
    if (!options.keep_samples) std::string().swap(piece);
    status = CheckRoom(where, held + ray_cost);
    // A new ray beyond a limit is refused, which may close the volume and the
    // sweep with it: its samples must be off the run by then.
    if (!status.ok() || (new_ray && (SweepRayLimitReached(options, *sweep) ||
                                     VolumeRayLimitReached(options, *sweep->volume)))) {
      target->resize(base);
      if (!status.ok()) return status;
    }
    RayState* ray = existing_ray;
    if (ray == nullptr) {
      status = GetRay(sweep, index, &ray);
      if (!status.ok()) return status;
    }
    StoreSamples(sweep, data, buffer, existing, ray, run != nullptr, std::move(piece), size);
    buffered += held;
    sweep->bytes += held;
    if (observer != nullptr) {
      observer->MomentTaken(View(sweep), ObservedMoment{index, name, data.endian, data.storage,
                                                        data.compression, size});
    }
    return RayProgress(sweep, nullptr);
  }

  // Records a ray's decoded samples (already on the run when `on_run`) with
  // its moment, which the moment's first ray creates.
  // `existing` is the moment, null when this ray starts it.
  void StoreSamples(SweepState* sweep, const ParameterDataParts& data, const DataBuffer* buffer,
                    MomentState* existing, RayState* ray, bool on_run, std::string piece,
                    std::size_t size) {
    const std::string_view name = data.short_name;
    const std::int32_t index = data.ray_index;
    const bool starts_run = existing == nullptr;
    if (starts_run) {
      MomentState state;
      state.endian = data.endian;
      state.storage = data.storage;
      state.data_type = data.data_type;
      if (buffer != nullptr && !Unknown(*buffer).empty()) {
        state.unknown = std::make_unique<google::protobuf::UnknownFieldSet>();
        state.unknown->MergeFrom(Unknown(*buffer));
      }
      if (options.keep_samples) state.run_rays.reserve(sweep->expected_rays);
      existing = &sweep->moments.emplace(std::string(name), std::move(state)).first->second;
    } else if (existing->data_type != data.data_type && !existing->type_conflict) {
      existing->type_conflict = true;
      sweep->warnings.push_back(RayMomentName(*sweep, index, name) + ": data type " +
                                TypeName(data.data_type) + " differs from the " +
                                TypeName(existing->data_type) + " of the moment's other rays");
    }
    MomentState& state = *existing;
    if (starts_run && options.keep_samples) {
      // What is reserved ahead counts against max_buffered_bytes as if it
      // were held, so that memory stays within the limit however wrong the
      // expected ray counts are.
      std::uint64_t committed = buffered + size;
      for (const auto& open : sweeps) committed += open.second->reserved;
      const std::uint64_t budget =
          options.max_buffered_bytes - std::min(options.max_buffered_bytes, committed);
      sweep->reserved += StartRun(*sweep, std::move(piece), budget, &state);
    }
    if (starts_run || on_run || (!options.keep_samples && (state.run_rays.empty() ||
                                                           index > state.run_rays.back().first))) {
      // Without keep_samples the run is empty and its offsets count sizes.
      const std::size_t end =
          options.keep_samples
              ? state.run.size()
              : (state.run_rays.empty() ? 0 : state.run_rays.back().second) + size;
      state.run_rays.emplace_back(index, end);
    } else {
      ray->samples.emplace(std::string(name), Piece{std::move(piece), size});
      ++state.scattered;
    }
  }

  Status OnSweepEnd(const kyt::pb::stream::SweepEnd& end) {
    SweepState* sweep = nullptr;
    Status status = FindSweep(end.sweep_uuid(), "SweepEnd", &sweep);
    if (!status.ok()) return status;
    if (sweep->has_end) return Status(ErrorCode::kProtocol, sweep->name + ": duplicate SweepEnd");
    sweep->has_end = true;
    if (end.has_end()) sweep->end = end.end();
    return RayProgress(sweep, nullptr);
  }

  Status OnVolumeEnd(const kyt::pb::stream::VolumeEnd& end) {
    const Key key = KeyOf(end.volume_uuid());
    const std::string name = "volume " + FormatUuid(end.volume_uuid());
    auto it = volumes.find(key);
    if (it == volumes.end()) {
      return Status(ErrorCode::kProtocol, closed_volumes.Contains(key)
                               ? name + ": VolumeEnd for a volume already closed"
                               : name + ": VolumeEnd for an unknown volume (no VolumeHeader)");
    }
    return CloseVolume(it->second.get(), end.has_end() ? &end.end() : nullptr, std::string());
  }

  // Counts a newly complete ray and completes the sweep when it can.
  Status RayProgress(SweepState* sweep, RayState* changed) {
    if (changed != nullptr && changed->has_header && changed->has_end) ++sweep->complete_rays;
    if (sweep->has_end && sweep->complete_rays == sweep->rays.size()) {
      return CloseSweep(sweep, false);
    }
    return Status::Ok();
  }

  // ---- Building ---------------------------------------------------------

  // Each ray's samples of moment `name`, in ray order.
  static std::vector<RayPart> GatherParts(SweepState* sweep, const std::string& name,
                                          MomentState& moment) {
    std::vector<RayPart> parts;
    parts.reserve(sweep->rays.size());
    std::size_t next = 0;  // In moment.run_rays, which is a subsequence of sweep->rays.
    for (auto& entry : sweep->rays) {
      RayPart part;
      part.ray = entry.first;
      if (next < moment.run_rays.size() && moment.run_rays[next].first == entry.first) {
        const std::size_t begin = next == 0 ? 0 : moment.run_rays[next - 1].second;
        part.present = true;
        part.size = moment.run_rays[next].second - begin;
        if (begin < moment.run.size()) {
          part.samples = std::string_view(moment.run).substr(begin, part.size);
        }
        part.last_in_run = ++next == moment.run_rays.size();
      } else if (moment.scattered > 0) {
        auto it = entry.second.samples.find(name);
        if (it != entry.second.samples.end()) {
          part.present = true;
          part.size = it->second.size;
          part.samples = it->second.bytes;
          part.piece = &it->second.bytes;
        }
      }
      parts.push_back(part);
    }
    return parts;
  }

  static PartStats Measure(const std::vector<RayPart>& parts) {
    PartStats stats;
    for (const RayPart& part : parts) {
      if (!part.present) {
        if (stats.absent++ == 0) stats.absent_ray = part.ray;
        continue;
      }
      stats.present += part.size;
      if (part.size > stats.longest) {
        stats.longest = part.size;
        stats.longest_ray = part.ray;
      }
      if (part.size < stats.shortest) {
        stats.shortest = part.size;
        stats.shortest_ray = part.ray;
      }
    }
    return stats;
  }

  // The sample short and missing rays are filled with, and a warning for
  // each such ray; an error when there is no fill value or it does not fit.
  Status FillSample(const SweepState& sweep, const std::string& name, const MomentState& moment,
                    const kyt::pb::common::VolumeConfig* config, const Ray* first_ray,
                    const std::vector<RayPart>& parts, const PartStats& stats,
                    std::vector<std::string>* warnings, std::string* fill_sample) const {
    if (!options.fill.has_value()) {
      return Status(ErrorCode::kIncomplete,
                    MomentName(sweep, name) + ": " +
                        (stats.absent > 0
                             ? "ray " + std::to_string(stats.absent_ray) + " has no data for it"
                             : "ray " + std::to_string(stats.shortest_ray) + " has " +
                                   std::to_string(stats.shortest) + " bytes, ray " +
                                   std::to_string(stats.longest_ray) + " has " +
                                   std::to_string(stats.longest)) +
                        " and no fill value is set; the moment is left out");
    }
    double value = options.fill->value;
    if (options.fill->prefer_not_scanned) {
      const auto* descriptor =
          FindMomentDescriptor(config, sweep.header.description(), first_ray, name);
      if (descriptor != nullptr &&
          descriptor->scale().type() == kyt::pb::common::DataDescriptor::DataScale::LINEAR) {
        value = descriptor->scale().linear_scale().not_scanned();
      }
    }
    Status status = AppendFill(value, moment.storage, moment.endian, 1, fill_sample);
    if (!status.ok()) {
      return Status(status.code(), MomentName(sweep, name) + ": " + status.message() +
                                       "; the moment is left out");
    }
    const std::string value_text = std::to_string(value);
    const std::size_t width = fill_sample->size();
    const std::size_t samples = stats.longest / width;
    for (const RayPart& part : parts) {
      if (!part.present) {
        warnings->push_back(MomentName(sweep, name) + " ray " + std::to_string(part.ray) +
                            ": no data; filled with " + std::to_string(samples) + " samples of " +
                            value_text);
      } else if (part.size < stats.longest) {
        warnings->push_back(MomentName(sweep, name) + " ray " + std::to_string(part.ray) +
                            ": padded from " + std::to_string(part.size / width) + " to " +
                            std::to_string(samples) + " samples with " + value_text);
      }
    }
    return Status::Ok();
  }

  // The moment's buffer: the run as it is when it holds every ray in order
  // and of one length, else the parts copied in order and padded. Each piece
  // and the run are freed as soon as they are copied, so that memory peaks
  // at the buffer plus one ray's samples.
  std::string Concatenate(std::vector<RayPart>& parts, MomentState& moment, const PartStats& stats,
                          std::uint64_t total, const std::string& fill_sample) const {
    std::string all;
    if (stats.shortest == stats.longest && stats.absent == 0 && moment.scattered == 0) {
      // Room reserved for rays that never came is given back.
      all = std::move(moment.run);
      if (options.output_compression == Compression::kNone &&
          all.capacity() - all.size() > all.size() / 8) {
        all.shrink_to_fit();
      }
      return all;
    }
    all.reserve(static_cast<std::size_t>(total));
    for (RayPart& part : parts) {
      all.append(part.samples);
      if (part.piece != nullptr) std::string().swap(*part.piece);
      if (part.last_in_run) std::string().swap(moment.run);
      for (std::size_t pad = part.size; pad < stats.longest; pad += fill_sample.size())
        all.append(fill_sample);
    }
    std::string().swap(moment.run);
    return all;
  }

  // Assembles one moment's buffer from the rays, or explains why it cannot.
  // Without keep_samples the buffer holds no data, only its declarations.
  Status BuildMoment(SweepState* sweep, const std::string& name, MomentState& moment,
                     const kyt::pb::common::VolumeConfig* config, const Ray* first_ray,
                     std::vector<std::string>* warnings, DataBuffer* out) {
    std::vector<RayPart> parts = GatherParts(sweep, name, moment);
    const PartStats stats = Measure(parts);
    std::string fill_sample;
    if (stats.shortest != stats.longest || stats.absent > 0) {
      Status status = FillSample(*sweep, name, moment, config, first_ray, parts, stats, warnings,
                                 &fill_sample);
      if (!status.ok()) return status;
    }
    const std::uint64_t total = static_cast<std::uint64_t>(stats.longest) * sweep->rays.size();
    if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      return Status(ErrorCode::kTooLarge, MomentName(*sweep, name) + ": " + std::to_string(total) +
                                              " bytes exceed the 2 GiB of one buffer; the moment "
                                              "is left out");
    }
    out->set_endian(static_cast<DataBuffer::Endianness>(moment.endian));
    out->set_type(static_cast<DataBuffer::StorageType>(moment.storage));
    if (moment.unknown != nullptr) {
      out->GetReflection()->MutableUnknownFields(out)->MergeFrom(*moment.unknown);
    }
    if (!options.keep_samples) {
      out->set_compression(DataBuffer::NONE);
      out->set_uncompressed_size(static_cast<std::int32_t>(total));
      return Status::Ok();
    }
    // Padding is held like samples: a few long rays among many empty ones
    // cannot inflate a sweep past the limit.
    if (const std::uint64_t padding = total - stats.present; padding > 0) {
      if (buffered + padding > options.max_buffered_bytes) {
        return Status(ErrorCode::kLimit, MomentName(*sweep, name) + ": padding its rays with " +
                                             std::to_string(padding) +
                                             " bytes would exceed the limit of " +
                                             std::to_string(options.max_buffered_bytes) +
                                             " buffered bytes; the moment is left out");
      }
      sweep->bytes += padding;
      buffered += padding;
    }
    std::string all = Concatenate(parts, moment, stats, total, fill_sample);
    Status status = SetSamples(std::move(all), options.output_compression, out);
    if (!status.ok()) return status.Wrap(MomentName(*sweep, name) + ": ");
    return Status::Ok();
  }

  // What closing a sweep found: items missing and warnings.
  struct Verdict {
    std::vector<std::string> missing;
    std::vector<std::string> warnings;
  };

  // The Sweep's own fields from its SweepHeader and SweepEnd.
  static Sweep SweepFields(const SweepState& state) {
    Sweep sweep;
    const auto& header = state.header;
    if (header.has_description()) *sweep.mutable_description() = header.description();
    sweep.set_index_in_task(header.index_in_task());
    if (header.has_start() || state.end.has_value()) {
      auto* span = sweep.mutable_input_timespan();
      if (header.has_start()) *span->mutable_start() = header.start();
      if (state.end.has_value()) *span->mutable_end() = *state.end;
    }
    return sweep;
  }

  // A warning when a moment's data type has no place in the volume (only a
  // descriptor records it) or differs from its descriptor's.
  static void CheckDataType(const SweepState& state, const std::string& name, int type,
                            const kyt::pb::common::DataDescriptor* descriptor,
                            std::vector<std::string>* warnings) {
    if (descriptor == nullptr && type != kyt::pb::common::CUSTOM_TYPE) {
      warnings->push_back(state.name + " moment '" + name + "': data type " + TypeName(type) +
                          " is not recorded in the volume (its configuration has no "
                          "descriptor for the moment)");
    } else if (descriptor != nullptr && descriptor->type() != type) {
      warnings->push_back(state.name + " moment '" + name + "': data type " + TypeName(type) +
                          " differs from the " + TypeName(descriptor->type()) +
                          " of its descriptor");
    }
  }

  // Builds every moment's buffer into `sweep`; a moment that cannot be
  // built is left out and listed. Returns the first such failure.
  Status AddMoments(SweepState* state, Sweep* sweep, Verdict* verdict) {
    const Ray* first_ray = nullptr;
    for (const auto& entry : state->rays) {
      if (entry.second.has_header) {
        first_ray = &entry.second.ray;
        break;
      }
    }
    const VolumeHeader& volume = *state->volume->header;
    const auto* config = volume.has_volume_config() ? &volume.volume_config() : nullptr;
    Status result;
    for (auto& [name, moment] : state->moments) {
      CheckDataType(*state, name, moment.data_type,
                    FindMomentDescriptor(config, state->header.description(), first_ray, name),
                    &verdict->warnings);
      DataBuffer buffer;
      Status status =
          BuildMoment(state, name, moment, config, first_ray, &verdict->warnings, &buffer);
      if (!status.ok()) {
        verdict->missing.push_back(status.message());
        // Whatever stopped the moment, the sweep closes incomplete.
        if (result.ok()) result = Status(ErrorCode::kIncomplete, status.message(), status.location());
        continue;
      }
      (*sweep->mutable_sweep_moments())[name] = std::move(buffer);
    }
    return result;
  }

  // The rays in ray-index order; a ray without RayHeader holds only its index.
  static void AddRays(SweepState* state, Sweep* sweep, Verdict* verdict) {
    sweep->mutable_rays()->Reserve(static_cast<int>(state->rays.size()));
    for (auto& [index, ray] : state->rays) {
      Ray* out = sweep->add_rays();
      if (ray.has_header) {
        *out = std::move(ray.ray);
      } else {
        out->set_index(index);
        verdict->missing.push_back(RayName(*state, index) + ": RayHeader");
      }
      if (!ray.has_end) verdict->missing.push_back(RayName(*state, index) + ": RayEnd");
      if (!ray.end.has_value()) continue;
      if (!out->has_aq_end_time()) {
        *out->mutable_aq_end_time() = *ray.end;
      } else if (!SameTime(out->aq_end_time(), *ray.end)) {
        verdict->warnings.push_back(RayName(*state, index) + ": RayEnd time " +
                                    TimeUtil::ToString(*ray.end) +
                                    " differs from the ray's aq_end_time " +
                                    TimeUtil::ToString(out->aq_end_time()) + "; aq_end_time kept");
      }
    }
  }

  // Shows the sweep to the observer, then keeps it with its volume
  // (kWholeVolumes) or hands it back.
  void Deliver(SweepState* state, Sweep sweep, Verdict verdict) {
    VolumeState* volume = state->volume;
    AssembledSweep out;
    out.volume_uuid = volume->header->volume_uuid();
    out.volume_header = volume->header;
    out.sweep_uuid = state->uuid;
    out.position = state->position;
    out.sweep = std::move(sweep);
    out.complete = verdict.missing.empty();
    out.missing = std::move(verdict.missing);
    out.warnings = std::move(verdict.warnings);
    if (observer != nullptr) observer->SweepEnded(View(state), out);
    if (options.delivery == DeliveryMode::kWholeVolumes) {
      // Kept with the volume, and counted, until the volume is handed back.
      volume->held_bytes += state->bytes;
      volume->sweeps[state->position] = std::move(out.sweep);
      for (auto& m : out.missing) volume->missing.push_back(std::move(m));
      for (auto& w : out.warnings) volume->warnings.push_back(std::move(w));
      return;
    }
    if (!out.complete) volume->missing.push_back(state->name + ": incomplete");
    done_sweeps.push_back(std::move(out));
    ++volume->sweeps_delivered;
    buffered -= state->bytes;
  }

  // Turns the sweep's state into a Sweep and hands it on. `forced`: closed
  // before it completed (its volume closed).
  Status CloseSweep(SweepState* state, bool forced) {
    std::unique_ptr<SweepState> owner = std::move(sweeps[state->key]);
    if (last_sweep == state) last_sweep = nullptr;
    sweeps.erase(state->key);
    closed_sweeps.Add(state->key);
    state->volume->open_sweeps.erase(state->key);

    Verdict verdict;
    verdict.warnings = std::move(state->warnings);
    if (forced && !state->has_end) verdict.missing.push_back(state->name + ": SweepEnd");
    Sweep sweep = SweepFields(*state);
    Status result = AddMoments(state, &sweep, &verdict);
    AddRays(state, &sweep, &verdict);
    state->volume->last_sweep_rays = state->rays.size();
    Deliver(state, std::move(sweep), std::move(verdict));
    return result;
  }

  // Closes a volume and its open sweeps. `why` is empty when its VolumeEnd
  // came (with the time `end`, if any), else says why it closes without.
  Status CloseVolume(VolumeState* state, const Timestamp* end, const std::string& why) {
    Status result;
    // Open sweeps close in the order of their position.
    std::vector<SweepState*> open;
    for (const Key& key : state->open_sweeps) open.push_back(sweeps[key].get());
    std::sort(open.begin(), open.end(),
              [](const SweepState* a, const SweepState* b) { return a->position < b->position; });
    for (SweepState* sweep : open) {
      Status status = CloseSweep(sweep, true);
      if (result.ok() && !status.ok()) result = status;
    }

    std::unique_ptr<VolumeState> owner = std::move(volumes[state->key]);
    volumes.erase(state->key);
    closed_volumes.Add(state->key);
    buffered -= state->held_bytes;

    AssembledVolume out;
    const VolumeHeader& header = *state->header;
    if (header.has_volume_uuid()) *out.volume.mutable_uuid() = header.volume_uuid();
    if (header.has_instrument()) *out.volume.mutable_instrument() = header.instrument();
    if (header.has_volume_config()) *out.volume.mutable_volume_config() = header.volume_config();
    if (header.has_volume_config_uri()) out.config_uri = header.volume_config_uri();
    if (header.has_start()) out.start = header.start();
    if (end != nullptr) out.end = *end;
    out.volume.mutable_sweep()->Reserve(static_cast<int>(state->sweeps.size()));
    for (Sweep& sweep : state->sweeps) *out.volume.add_sweep() = std::move(sweep);
    out.missing = std::move(state->missing);
    if (!why.empty()) {
      out.missing.push_back(state->name + ": VolumeEnd (" + why + ")");
    }
    out.complete = out.missing.empty();
    out.warnings = std::move(state->warnings);
    for (const auto& [kind, count] : state->dropped_unknown) {
      out.unknown_left_out.push_back(std::to_string(count) + " " + kind + (count == 1 ? "" : "s"));
    }
    out.sweeps_delivered = state->sweeps_delivered;
    if (observer != nullptr) observer->VolumeEnded(View(state), out);
    done_volumes.push_back(std::move(out));
    return result;
  }

  // Closes a volume that did not end, outside any Add() that could return
  // the result. What closing cannot assemble is listed in the `missing` of
  // the volume or sweeps handed back, which is where callers learn of it.
  void CloseAsIncomplete(VolumeState* state, const std::string& why) {
    const Status closed = CloseVolume(state, nullptr, why);
    static_cast<void>(closed);
  }

  std::size_t CloseExpired() {
    if (options.max_volume_age.count() <= 0) return 0;
    const auto now = options.clock();
    std::vector<VolumeState*> expired;
    for (const auto& entry : volumes) {
      if (now - entry.second->opened > options.max_volume_age)
        expired.push_back(entry.second.get());
    }
    for (VolumeState* volume : expired) CloseAsIncomplete(volume, "closed by the age limit");
    return expired.size();
  }

  Status Add(const RayStreamMessage& message, RayStreamMessage* owned) {
    if (message.payload_case() == RayStreamMessage::PAYLOAD_NOT_SET &&
        !Unknown(message).empty()) {
      return Status(ErrorCode::kUnsupported,
                    "message of a kind this version does not know (only unknown fields); skipped");
    }
    // A VolumeHeader's volume exists only once it is taken (which may move
    // the header out of `owned`).
    const char* dropped = DroppedUnknown(message);
    const bool opens_volume = message.payload_case() == RayStreamMessage::kVolumeHeader;
    const Key volume_key = KeyOf(message.volume_header().volume_uuid());
    if (dropped != nullptr && !opens_volume) NoteDropped(message, dropped);
    Status status = Dispatch(message, owned);
    if (dropped != nullptr && opens_volume && status.ok()) {
      ++volumes[volume_key]->dropped_unknown[dropped];
    }
    if (status.ok()) return status;
    return status.Wrap("", LocationOf(message));
  }

  // The part of `message` whose unknown fields (fields of a newer schema)
  // have no place in the Volume, or null. Those of rays, descriptions,
  // instruments, configurations and a moment's first buffer are kept.
  static const char* DroppedUnknown(const RayStreamMessage& message) {
    if (!Unknown(message).empty()) return "RayStreamMessage";
    switch (message.payload_case()) {
      case RayStreamMessage::kVolumeHeader:
        return Unknown(message.volume_header()).empty() ? nullptr : "VolumeHeader";
      case RayStreamMessage::kSweepHeader:
        return Unknown(message.sweep_header()).empty() ? nullptr : "SweepHeader";
      case RayStreamMessage::kRayHeader:
        return Unknown(message.ray_header()).empty() ? nullptr : "RayHeader";
      case RayStreamMessage::kParameterData:
        return Unknown(message.parameter_data()).empty() &&
                       Unknown(message.parameter_data().data_type()).empty()
                   ? nullptr
                   : "ParameterData";
      case RayStreamMessage::kRayEnd:
        return Unknown(message.ray_end()).empty() ? nullptr : "RayEnd";
      case RayStreamMessage::kSweepEnd:
        return Unknown(message.sweep_end()).empty() ? nullptr : "SweepEnd";
      case RayStreamMessage::kVolumeEnd:
        return Unknown(message.volume_end()).empty() ? nullptr : "VolumeEnd";
      default:
        return nullptr;
    }
  }

  // Counts a message whose unknown fields are left out with the open volume
  // it belongs to (AssembledVolume::unknown_left_out).
  void NoteDropped(const RayStreamMessage& message, const char* kind) {
    const Container c = ContainerOf(message);
    VolumeState* volume = nullptr;
    if (c.volume != nullptr) {
      auto it = volumes.find(KeyOf(*c.volume));
      if (it != volumes.end()) volume = it->second.get();
    } else if (c.sweep != nullptr) {
      auto it = sweeps.find(KeyOf(*c.sweep));
      if (it != sweeps.end()) volume = it->second->volume;
    }
    if (volume != nullptr) ++volume->dropped_unknown[kind];
  }

  // Where a message belongs: its volume or sweep, ray and moment.
  static Location LocationOf(const RayStreamMessage& message) {
    const Container c = ContainerOf(message);
    Location location;
    if (c.volume != nullptr) location.volume_uuid = FormatUuid(*c.volume);
    if (c.sweep != nullptr) location.sweep_uuid = FormatUuid(*c.sweep);
    location.ray_index = c.ray;
    if (c.moment != nullptr) location.moment = *c.moment;
    return location;
  }

  // A serialized message: a ParameterData straight from its bytes, any
  // other message parsed onto the arena (which is reset each time, so that
  // steady streams allocate nothing here).
  Status AddSerialized(std::string_view bytes) {
    // The ray-level messages are read in place when they are in the form the
    // runtime writes; anything else is parsed.
    const std::uint8_t tag = bytes.empty() ? 0 : static_cast<std::uint8_t>(bytes[0]);
    if (tag == kParameterDataTag) {
      ParameterDataParts parts;
      if (internal::Decode(bytes, &incoming_uuid, &parts)) {
        CloseExpired();
        return Located(OnParameterData(parts, nullptr, nullptr), SweepKey(parts.sweep_uuid),
                       parts.ray_index, parts.short_name);
      }
    } else if (tag == kRayHeaderTag) {
      internal::RayHeaderView parts;
      if (internal::Decode(bytes, &incoming_uuid, &parts) && ParseRay(parts.ray)) {
        CloseExpired();
        return Located(OnRayHeader(SweepKey(parts.sweep_uuid), parts.ray_index, incoming_ray,
                                   &incoming_ray),
                       SweepKey(parts.sweep_uuid), parts.ray_index, {});
      }
    } else if (tag == kRayEndTag) {
      internal::RayEndParts parts;
      if (internal::Decode(bytes, &incoming_uuid, &parts)) {
        CloseExpired();
        incoming_end.set_seconds(parts.end_seconds);
        incoming_end.set_nanos(parts.end_nanos);
        return Located(OnRayEnd(SweepKey(parts.sweep_uuid), parts.ray_index,
                                parts.has_end ? &incoming_end : nullptr),
                       SweepKey(parts.sweep_uuid), parts.ray_index, {});
      }
    }
    return AddParsed(bytes);
  }

  // Parses a RayHeader's ray into incoming_ray with the nesting the ray has
  // inside its envelope, two levels down.
  bool ParseRay(std::string_view bytes) {
    // Nesting that deep takes two bytes a level; short rays cannot reach it.
    if (bytes.size() < 2 * 98) {
      return incoming_ray.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
    }
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                              static_cast<int>(bytes.size()));
    in.SetRecursionLimit(in.RecursionBudget() - 2);
    return incoming_ray.ParseFromCodedStream(&in) && in.ConsumedEntireMessage();
  }

  // An error of a message read in place, with where it belongs, as Add()
  // gives it.
  static Status Located(Status status, Key sweep, std::int32_t ray, std::string_view moment) {
    if (status.ok()) return status;
    Location location;
    location.sweep_uuid = FormatUuid(sweep);
    location.ray_index = ray;
    if (!moment.empty()) location.moment = std::string(moment);
    return status.Wrap("", location);
  }

  // Any other message, parsed, its parts then taken over.
  Status AddParsed(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        !incoming.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
      const Status problem = DiagnoseWire(RayStreamMessage::descriptor(), bytes);
      const std::string detail = problem.ok()
                                     ? "malformed wire data or invalid UTF-8 in a string field"
                                     : problem.message();
      return Status(problem.ok() ? ErrorCode::kUnparsable : problem.code(),
                    "unparsable kyt.pb.stream.RayStreamMessage (length " +
                        std::to_string(bytes.size()) + "): " + detail,
                    problem.location());
    }
    return Add(incoming, &incoming);
  }

  Status Dispatch(const RayStreamMessage& message, RayStreamMessage* owned) {
    CloseExpired();
    switch (message.payload_case()) {
      case RayStreamMessage::kVolumeHeader:
        return OnVolumeHeader(message.volume_header(),
                              owned != nullptr ? owned->mutable_volume_header() : nullptr);
      case RayStreamMessage::kSweepHeader:
        return OnSweepHeader(message.sweep_header(),
                             owned != nullptr ? owned->mutable_sweep_header() : nullptr);
      case RayStreamMessage::kRayHeader:
        return OnRayHeader(message.ray_header(),
                           owned != nullptr ? owned->mutable_ray_header() : nullptr);
      case RayStreamMessage::kParameterData:
        return OnParameterData(
            PartsOf(message.parameter_data()), &message.parameter_data().data(),
            owned != nullptr ? owned->mutable_parameter_data()->mutable_data()->mutable_data()
                             : nullptr);
      case RayStreamMessage::kRayEnd:
        return OnRayEnd(message.ray_end());
      case RayStreamMessage::kSweepEnd:
        return OnSweepEnd(message.sweep_end());
      case RayStreamMessage::kVolumeEnd:
        return OnVolumeEnd(message.volume_end());
      default:
        return Status(ErrorCode::kProtocol, "message without payload");
    }
  }
};

Assembler::Assembler(AssemblerOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}
Assembler::Assembler(Assembler&&) noexcept = default;
Assembler& Assembler::operator=(Assembler&&) noexcept = default;
Assembler::~Assembler() = default;

AssemblerObserver::~AssemblerObserver() = default;
void AssemblerObserver::VolumeStarted(const ObservedVolume&) {}
void AssemblerObserver::SweepStarted(const ObservedSweep&) {}
void AssemblerObserver::RayStarted(const ObservedSweep&, std::int32_t, const Ray&) {}
void AssemblerObserver::MomentTaken(const ObservedSweep&, const ObservedMoment&) {}
void AssemblerObserver::SweepEnded(const ObservedSweep&, const AssembledSweep&) {}
void AssemblerObserver::VolumeEnded(const ObservedVolume&, const AssembledVolume&) {}
void AssemblerObserver::Problem(const Status&) {}

namespace {

// `status`, after the observer has seen it when it is an error.
Status Observed(AssemblerObserver* observer, Status status) {
  if (observer != nullptr && !status.ok()) observer->Problem(status);
  return status;
}

}  // namespace

Status Assembler::Add(const RayStreamMessage& message) {
  return Observed(impl_->observer, impl_->Add(message, nullptr));
}
Status Assembler::Add(RayStreamMessage&& message) {
  return Observed(impl_->observer, impl_->Add(message, &message));
}
Status Assembler::AddSerialized(std::string_view message) {
  return Observed(impl_->observer, impl_->AddSerialized(message));
}
void Assembler::SetObserver(AssemblerObserver* observer) { impl_->observer = observer; }

std::size_t Assembler::CloseExpired() { return impl_->CloseExpired(); }

void Assembler::Finish() {
  while (!impl_->volumes.empty()) {
    impl_->CloseAsIncomplete(impl_->volumes.begin()->second.get(), "end of input");
  }
}

std::vector<AssembledVolume> Assembler::TakeVolumes() {
  std::vector<AssembledVolume> out;
  out.swap(impl_->done_volumes);
  return out;
}

std::vector<AssembledSweep> Assembler::TakeSweeps() {
  std::vector<AssembledSweep> out;
  out.swap(impl_->done_sweeps);
  return out;
}

const VolumeHeader* Assembler::FindOpenVolume(const UUID& volume_uuid) const {
  auto it = impl_->volumes.find(KeyOf(volume_uuid));
  return it == impl_->volumes.end() ? nullptr : it->second->header.get();
}

const kyt::pb::stream::SweepHeader* Assembler::FindOpenSweep(const UUID& sweep_uuid) const {
  auto it = impl_->sweeps.find(KeyOf(sweep_uuid));
  return it == impl_->sweeps.end() ? nullptr : &it->second->header;
}

const VolumeHeader* Assembler::FindVolumeOfSweep(const UUID& sweep_uuid) const {
  auto it = impl_->sweeps.find(KeyOf(sweep_uuid));
  return it == impl_->sweeps.end() ? nullptr : it->second->volume->header.get();
}

std::size_t Assembler::open_volumes() const { return impl_->volumes.size(); }
std::size_t Assembler::open_sweeps() const { return impl_->sweeps.size(); }
std::uint64_t Assembler::buffered_bytes() const { return impl_->buffered; }

}  // namespace stream
}  // namespace common_dto
