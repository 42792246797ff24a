// Instruments: Instrument, its station identifiers, and the radar and lidar
// properties and calibration it carries. Wire bytes and round trips.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "instrument.pb.h"
#include "wire_testing.h"

namespace {

using common_dto_test::Hex;
using common_dto_test::LogCapture;
using common_dto_test::Unhex;
using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using google::protobuf::Message;
using google::protobuf::MessageFactory;
using google::protobuf::UnknownField;
using google::protobuf::UnknownFieldSet;
using google::protobuf::util::MessageDifferencer;
using kyt::pb::common::Instrument;
using kyt::pb::common::LidarCalib;
using kyt::pb::common::RadarCalib;
using kyt::pb::common::WmoId;

constexpr char kD15[] = "00 00 00 00 00 00 f8 3f";  // double 1.5, little-endian
constexpr char kF15[] = "00 00 c0 3f";              // float 1.5, little-endian

const std::vector<std::string> kFiles = {"instrument.proto",
                                         "wmo_id.proto",
                                         "opera_id.proto",
                                         "radar_properties.proto",
                                         "radar_id.proto",
                                         "radar_calib.proto",
                                         "georeference_correction.proto",
                                         "lidar_properties.proto",
                                         "lidar_calib.proto"};

// Every message the files declare, nested ones after their parent.
std::vector<const Descriptor*> AllMessages() {
  std::vector<const Descriptor*> out;
  std::vector<const Descriptor*> pending;
  for (const std::string& name : kFiles) {
    const FileDescriptor* file = DescriptorPool::generated_pool()->FindFileByName(name);
    for (int i = file ? file->message_type_count() - 1 : -1; i >= 0; --i) {
      pending.push_back(file->message_type(i));
    }
    while (!pending.empty()) {
      const Descriptor* type = pending.back();
      pending.pop_back();
      out.push_back(type);
      for (int i = type->nested_type_count() - 1; i >= 0; --i)
        pending.push_back(type->nested_type(i));
    }
  }
  return out;
}

std::vector<const FieldDescriptor*> AllFields() {
  std::vector<const FieldDescriptor*> out;
  for (const Descriptor* type : AllMessages()) {
    for (int i = 0; i < type->field_count(); ++i) out.push_back(type->field(i));
  }
  return out;
}

std::unique_ptr<Message> NewMessage(const Descriptor* type) {
  return std::unique_ptr<Message>(MessageFactory::generated_factory()->GetPrototype(type)->New());
}

// All field numbers here are below 16, so a tag is one byte.
std::string Tag(int number, int wire_type) {
  return std::string(1, static_cast<char>((number << 3) | wire_type));
}

// A length-delimited record; payloads here stay below 128 bytes.
std::string Delimited(int number, const std::string& payload) {
  return Tag(number, 2) + static_cast<char>(payload.size()) + payload;
}

// "number/wire type" of each top-level record, in wire order.
std::string Layout(const std::string& bytes) {
  UnknownFieldSet set;
  if (!set.ParseFromString(bytes)) return "<malformed>";
  static const std::map<UnknownField::Type, int> kWireType = {
      {UnknownField::TYPE_VARINT, 0},
      {UnknownField::TYPE_FIXED64, 1},
      {UnknownField::TYPE_LENGTH_DELIMITED, 2},
      {UnknownField::TYPE_FIXED32, 5}};
  std::string out;
  for (int i = 0; i < set.field_count(); ++i) {
    if (!out.empty()) out += ' ';
    out += std::to_string(set.field(i).number()) + "/" +
           std::to_string(kWireType.at(set.field(i).type()));
  }
  return out;
}

TEST(InstrumentsWire, FloatsTakeFourBytesAndDoublesEight) {
  const std::string d = kD15, f = kF15;
  Instrument instrument;
  instrument.set_tower_height(30);
  EXPECT_EQ(Hex(instrument.SerializeAsString()), "11 00 00 00 00 00 00 3e 40");

  // Each floating-point field alone: its own width when written; a value of
  // the other width does not set it, and is kept and written back as it came.
  int doubles = 0, floats = 0;
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != FieldDescriptor::TYPE_DOUBLE &&
        field->type() != FieldDescriptor::TYPE_FLOAT) {
      continue;
    }
    const bool is_double = field->type() == FieldDescriptor::TYPE_DOUBLE;
    ++(is_double ? doubles : floats);
    auto message = NewMessage(field->containing_type());
    const auto* reflection = message->GetReflection();
    if (is_double) {
      reflection->SetDouble(message.get(), field, 1.5);
    } else {
      reflection->SetFloat(message.get(), field, 1.5f);
    }
    EXPECT_EQ(Hex(message->SerializeAsString()),
              Hex(Tag(field->number(), is_double ? 1 : 5)) + " " + (is_double ? d : f))
        << field->full_name();

    const std::string other = Tag(field->number(), is_double ? 5 : 1) + Unhex(is_double ? f : d);
    auto parsed = NewMessage(field->containing_type());
    ASSERT_TRUE(parsed->ParseFromString(other)) << field->full_name();
    EXPECT_EQ(parsed->ByteSizeLong(), other.size()) << field->full_name();
    EXPECT_EQ(reflection->GetUnknownFields(*parsed).field_count(), 1)
        << field->full_name() << " took a value of the wrong width";
    EXPECT_EQ(Hex(parsed->SerializeAsString()), Hex(other)) << field->full_name();
  }
  EXPECT_EQ(doubles, 17);
  EXPECT_EQ(floats, 14);

  // The kept value goes after the known fields, whatever its place on input.
  RadarCalib mixed;
  ASSERT_TRUE(mixed.ParseFromString(Unhex("41 " + d + " 09 " + d)));
  EXPECT_EQ(mixed.zcal_dbz(), 1.5);
  EXPECT_EQ(mixed.zero_c_isotherm_ew_tilt_m_p_km(), 0.0f);
  EXPECT_EQ(Hex(mixed.SerializeAsString()), "09 " + d + " 41 " + d);

  // A float keeps single precision only.
  RadarCalib calib;
  calib.set_zero_c_isotherm_ew_tilt_m_p_km(0.1f);
  EXPECT_EQ(Hex(calib.SerializeAsString()), "45 cd cc cc 3d");
  ASSERT_TRUE(calib.ParseFromString(calib.SerializeAsString()));
  EXPECT_NE(static_cast<double>(calib.zero_c_isotherm_ew_tilt_m_p_km()), 0.1);
}

TEST(InstrumentsWire, IntegersAndPresentSubMessages) {
  // Every uint32 field: the largest value is a five-byte varint and reads back.
  int uint32s = 0;
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != FieldDescriptor::TYPE_UINT32) continue;
    ++uint32s;
    auto message = NewMessage(field->containing_type());
    message->GetReflection()->SetUInt32(message.get(), field, 0xffffffffu);
    const std::string bytes = message->SerializeAsString();
    EXPECT_EQ(Hex(bytes), Hex(Tag(field->number(), 0)) + " ff ff ff ff 0f") << field->full_name();
    auto parsed = NewMessage(field->containing_type());
    ASSERT_TRUE(parsed->ParseFromString(bytes)) << field->full_name();
    EXPECT_EQ(parsed->GetReflection()->GetUInt32(*parsed, field), 0xffffffffu)
        << field->full_name();
  }
  EXPECT_EQ(uint32s, 8);
  WmoId wmo;
  wmo.set_sub_center_id(1);
  EXPECT_EQ(Hex(wmo.SerializeAsString()), "28 01");
  WmoId::WigosId wigos;  // series and issue number 0: not written
  wigos.set_issuer_id(246);
  wigos.set_local_id("A1");
  EXPECT_EQ(Hex(wigos.SerializeAsString()), "10 f6 01 22 02 41 31");

  // Negative int32 values are ten-byte varints; open enums keep any number.
  RadarCalib attenuation;
  attenuation.set_gas_atten_db_per_km(-1);
  EXPECT_EQ(Hex(attenuation.SerializeAsString()), "48 ff ff ff ff ff ff ff ff ff 01");
  LidarCalib lidar;
  lidar.set_instrumental_function_status(-2);
  EXPECT_EQ(Hex(lidar.SerializeAsString()), "48 fe ff ff ff ff ff ff ff ff 01");
  Instrument instrument;
  ASSERT_TRUE(instrument.ParseFromString(Unhex("38 07")));
  EXPECT_EQ(instrument.instrument_type(), 7);
  EXPECT_EQ(Hex(instrument.SerializeAsString()), "38 07");
  RadarCalib calib;
  ASSERT_TRUE(calib.ParseFromString(Unhex("32 02 30 07")));
  EXPECT_EQ(calib.calibration_configuration().test_signal_type(), 7);
  EXPECT_EQ(Hex(calib.SerializeAsString()), "32 02 30 07");

  // Every singular message field, oneof members included, is written when
  // present even if empty, and is present again after parsing.
  int sub_messages = 0;
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != FieldDescriptor::TYPE_MESSAGE || field->is_repeated()) continue;
    ++sub_messages;
    auto message = NewMessage(field->containing_type());
    message->GetReflection()->MutableMessage(message.get(), field);
    EXPECT_EQ(Hex(message->SerializeAsString()), Hex(Tag(field->number(), 2)) + " 00")
        << field->full_name();
    auto parsed = NewMessage(field->containing_type());
    ASSERT_TRUE(parsed->ParseFromString(message->SerializeAsString())) << field->full_name();
    EXPECT_TRUE(parsed->GetReflection()->HasField(*parsed, field)) << field->full_name();
  }
  EXPECT_EQ(sub_messages, 11);
}

TEST(InstrumentsWire, GateIndexIsPackedAndAcceptsUnpackedInput) {
  LidarCalib calib;
  EXPECT_EQ(calib.SerializeAsString(), "") << "an empty list writes nothing";
  for (int value : {1, 2, 300}) calib.add_gate_index(value);
  EXPECT_EQ(Hex(calib.SerializeAsString()), "52 04 01 02 ac 02");

  LidarCalib unpacked;
  ASSERT_TRUE(unpacked.ParseFromString(Unhex("50 01 50 02 50 ac 02")));
  EXPECT_TRUE(MessageDifferencer::Equals(unpacked, calib));
  EXPECT_EQ(Hex(unpacked.SerializeAsString()), "52 04 01 02 ac 02");

  LidarCalib mixed;  // both forms in one input append in wire order
  ASSERT_TRUE(mixed.ParseFromString(Unhex("52 02 01 02 50 ac 02")));
  EXPECT_TRUE(MessageDifferencer::Equals(mixed, calib));

  calib.Clear();
  calib.add_gate_index(-1);
  EXPECT_EQ(Hex(calib.SerializeAsString()), "52 0a ff ff ff ff ff ff ff ff ff 01");
}

TEST(InstrumentsWire, InstrumentPropertiesOneof) {
  Instrument instrument;
  instrument.mutable_radar_properties();
  EXPECT_EQ(Hex(instrument.SerializeAsString()), "52 00");
  Instrument parsed;
  ASSERT_TRUE(parsed.ParseFromString(Unhex("52 00")));
  EXPECT_EQ(parsed.InstrumentProperties_case(), Instrument::kRadarProperties);

  instrument.mutable_radar_properties()->set_horz_beam_width_deg(1.5);
  instrument.mutable_lidar_properties();
  EXPECT_EQ(instrument.InstrumentProperties_case(), Instrument::kLidarProperties);
  EXPECT_FALSE(instrument.has_radar_properties()) << "setting lidar must discard radar";
  EXPECT_EQ(Hex(instrument.SerializeAsString()), "5a 00");
  instrument.clear_InstrumentProperties();
  EXPECT_EQ(instrument.InstrumentProperties_case(), Instrument::INSTRUMENTPROPERTIES_NOT_SET);
  EXPECT_EQ(instrument.SerializeAsString(), "");

  // The last member on the wire wins.
  ASSERT_TRUE(parsed.ParseFromString(Unhex(std::string("52 09 09 ") + kD15 + " 5a 00")));
  EXPECT_EQ(parsed.InstrumentProperties_case(), Instrument::kLidarProperties);
  EXPECT_EQ(Hex(parsed.SerializeAsString()), "5a 00");
  ASSERT_TRUE(parsed.ParseFromString(Unhex("5a 00 52 00")));
  EXPECT_EQ(parsed.InstrumentProperties_case(), Instrument::kRadarProperties);

  // Merging a message with the other member switches the case.
  Instrument source;
  source.mutable_lidar_properties()->mutable_lidar_calib();
  parsed.MergeFrom(source);
  EXPECT_EQ(parsed.InstrumentProperties_case(), Instrument::kLidarProperties);
  EXPECT_TRUE(parsed.lidar_properties().has_lidar_calib());

  // The kind of instrument is independent of the properties carried.
  const std::vector<std::pair<Instrument::InstrumentType, std::string>> cases = {
      {Instrument::INSTR_LIDAR, "38 02 52 00"},
      {Instrument::INSTR_RADAR, "38 01 5a 00"},
      {Instrument::INSTR_RADAR, "38 01"},
      {Instrument::INSTR_SODAR, "38 03 52 00"},
  };
  for (const auto& [kind, hex] : cases) {
    ASSERT_TRUE(parsed.ParseFromString(Unhex(hex))) << hex;
    EXPECT_EQ(parsed.instrument_type(), kind) << hex;
    EXPECT_EQ(Hex(parsed.SerializeAsString()), hex);
  }
}

TEST(InstrumentsWire, InvalidUtf8InAnyTextFieldFailsTheParse) {
  const std::set<std::string> expected = {"kyt.pb.common.Instrument.name",
                                          "kyt.pb.common.Instrument.manufacturer",
                                          "kyt.pb.common.Instrument.model",
                                          "kyt.pb.common.Instrument.software_name",
                                          "kyt.pb.common.WmoId.center_name",
                                          "kyt.pb.common.WmoId.sub_center_name",
                                          "kyt.pb.common.WmoId.WigosId.local_id",
                                          "kyt.pb.common.OperaId.radar_site",
                                          "kyt.pb.common.OperaId.place",
                                          "kyt.pb.common.OperaId.node",
                                          "kyt.pb.common.OperaId.comment",
                                          "kyt.pb.common.RadarId.type",
                                          "kyt.pb.common.RadarId.id"};

  // Where each message sits inside an Instrument.
  std::map<const Descriptor*, const FieldDescriptor*> holder_of;
  std::vector<const Descriptor*> pending = {Instrument::descriptor()};
  while (!pending.empty()) {
    const Descriptor* type = pending.back();
    pending.pop_back();
    for (int i = 0; i < type->field_count(); ++i) {
      const Descriptor* child = type->field(i)->message_type();
      if (child != nullptr && holder_of.emplace(child, type->field(i)).second) {
        pending.push_back(child);
      }
    }
  }
  // The text field holding `value`, wrapped in its enclosing messages.
  auto in_instrument = [&holder_of](const FieldDescriptor* field, const std::string& value) {
    std::string bytes = Delimited(field->number(), value);
    for (const Descriptor* type = field->containing_type(); type != Instrument::descriptor();) {
      const FieldDescriptor* holder = holder_of.at(type);
      bytes = Delimited(holder->number(), bytes);
      type = holder->containing_type();
    }
    return bytes;
  };

  std::set<std::string> seen;
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != FieldDescriptor::TYPE_STRING) continue;
    seen.insert(field->full_name());
    Instrument instrument;
    EXPECT_TRUE(instrument.ParseFromString(in_instrument(field, "\xc3\xa4 ok")))
        << field->full_name();
    LogCapture log;
    EXPECT_FALSE(instrument.ParseFromString(in_instrument(field, "bad \xc3\x28")))
        << field->full_name();
    EXPECT_NE(log.text().find(field->full_name()), std::string::npos)
        << field->full_name() << " not named in: " << log.text();
  }
  EXPECT_EQ(seen, expected);
}

// Sets every field of `message` and its sub-messages to a distinct non-zero
// value (two elements in repeated fields). Of a oneof only `member` is set.
void Populate(Message* message, const FieldDescriptor* member, int* counter) {
  const auto* reflection = message->GetReflection();
  const Descriptor* type = message->GetDescriptor();
  for (int i = 0; i < type->field_count(); ++i) {
    const FieldDescriptor* field = type->field(i);
    if (field->containing_oneof() != nullptr && field != member) continue;
    for (int n = 0; n < (field->is_repeated() ? 2 : 1); ++n) {
      const int v = ++*counter;
      switch (field->cpp_type()) {
        case FieldDescriptor::CPPTYPE_DOUBLE:
          reflection->SetDouble(message, field, v + 0.5);
          break;
        case FieldDescriptor::CPPTYPE_FLOAT:
          reflection->SetFloat(message, field, static_cast<float>(v) + 0.25f);
          break;
        case FieldDescriptor::CPPTYPE_UINT32:
          reflection->SetUInt32(message, field, 1000u * static_cast<uint32_t>(v));
          break;
        case FieldDescriptor::CPPTYPE_INT32:
          if (field->is_repeated()) {
            reflection->AddInt32(message, field, 1000 * v);
          } else {
            reflection->SetInt32(message, field, -v);
          }
          break;
        case FieldDescriptor::CPPTYPE_STRING:
          reflection->SetString(message, field, "text \xc3\xa4 " + std::to_string(v));
          break;
        case FieldDescriptor::CPPTYPE_ENUM:
          reflection->SetEnumValue(message, field, 1 + v % 2);
          break;
        case FieldDescriptor::CPPTYPE_MESSAGE:
          Populate(field->is_repeated() ? reflection->AddMessage(message, field)
                                        : reflection->MutableMessage(message, field),
                   nullptr, counter);
          break;
        default:
          ADD_FAILURE() << "no value for " << field->full_name();
      }
    }
  }
}

TEST(InstrumentsWire, FullyPopulatedInstrumentRoundTrips) {
  int counter = 0;
  Instrument radar, lidar;
  Populate(&radar, Instrument::descriptor()->FindFieldByName("radar_properties"), &counter);
  Populate(&lidar, Instrument::descriptor()->FindFieldByName("lidar_properties"), &counter);

  for (const Instrument* original : {&radar, &lidar}) {
    const std::string bytes = original->SerializeAsString();
    Instrument parsed;
    ASSERT_TRUE(parsed.ParseFromString(bytes));
    EXPECT_TRUE(MessageDifferencer::Equals(parsed, *original)) << parsed.DebugString();
    EXPECT_EQ(Hex(parsed.SerializeAsString()), Hex(bytes));
  }

  // Every field written, in number order, each with its own wire type.
  const auto& properties = radar.radar_properties();
  EXPECT_EQ(Layout(radar.SerializeAsString()), "1/2 2/1 3/2 4/2 5/2 6/2 7/0 8/2 9/2 10/2");
  EXPECT_EQ(Layout(lidar.SerializeAsString()), "1/2 2/1 3/2 4/2 5/2 6/2 7/0 8/2 9/2 11/2");
  EXPECT_EQ(Layout(radar.wmo_id().SerializeAsString()), "1/2 2/0 3/2 5/0 6/2 7/0");
  EXPECT_EQ(Layout(radar.wmo_id().wigos_id().SerializeAsString()), "1/0 2/0 3/0 4/2");
  EXPECT_EQ(Layout(radar.opera_id().SerializeAsString()), "1/2 2/2 3/2 4/0 5/2 6/0");
  EXPECT_EQ(Layout(properties.SerializeAsString()), "1/1 2/1 3/2 4/2 4/2 5/2");
  EXPECT_EQ(Layout(properties.radar_calib().SerializeAsString()),
            "1/1 2/1 3/1 4/1 5/1 6/2 7/2 8/5 9/0");
  EXPECT_EQ(Layout(properties.radar_calib().calibration_configuration().SerializeAsString()),
            "1/5 2/5 3/5 4/5 5/5 6/0 7/5 8/5 9/5 10/5");
  EXPECT_EQ(Layout(properties.radar_calib().zero_sotherm().SerializeAsString()), "1/5 2/5 3/5 4/5");
  EXPECT_EQ(Layout(properties.georeference_correction().SerializeAsString()), "1/1");
  EXPECT_EQ(Layout(lidar.lidar_properties().lidar_calib().SerializeAsString()),
            "1/1 2/1 3/1 4/1 5/1 6/1 7/1 8/1 9/0 10/2");
}

}  // namespace
