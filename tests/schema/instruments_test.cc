// Instruments: Instrument, its station identifiers, and the radar and lidar
// properties and calibration it carries. Descriptors, wire bytes, round trips.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/message.h>
#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

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
constexpr char kMaxU32[] = "ff ff ff ff 0f";

const Descriptor* FindMessage(const std::string& name) {
  return DescriptorPool::generated_pool()->FindMessageTypeByName("kyt.pb.common." + name);
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

// ---------------------------------------------------------------------------
// Descriptor tables.

constexpr auto kDouble = FieldDescriptor::TYPE_DOUBLE;
constexpr auto kFloat = FieldDescriptor::TYPE_FLOAT;
constexpr auto kInt32 = FieldDescriptor::TYPE_INT32;
constexpr auto kUint32 = FieldDescriptor::TYPE_UINT32;
constexpr auto kString = FieldDescriptor::TYPE_STRING;
constexpr auto kEnum = FieldDescriptor::TYPE_ENUM;
constexpr auto kMessage = FieldDescriptor::TYPE_MESSAGE;

// `kind`: "" singular, "repeated", "packed", or the name of the field's oneof.
struct FieldRow {
  const char* name;
  int number;
  FieldDescriptor::Type type;
  const char* kind;
  const char* type_name;  // message or enum type within kyt.pb.common, or ""
};

struct MessageRow {
  const char* name;  // within kyt.pb.common
  std::vector<FieldRow> fields;
};

const std::vector<MessageRow>& MessageTable() {
  static const std::vector<MessageRow> kTable = {
      {"Instrument",
       {{"location", 1, kMessage, "", "Location"},
        {"tower_height", 2, kDouble, "", ""},
        {"name", 3, kString, "", ""},
        {"manufacturer", 4, kString, "", ""},
        {"model", 5, kString, "", ""},
        {"software_name", 6, kString, "", ""},
        {"instrument_type", 7, kEnum, "", "Instrument.InstrumentType"},
        {"wmo_id", 8, kMessage, "", "WmoId"},
        {"opera_id", 9, kMessage, "", "OperaId"},
        {"radar_properties", 10, kMessage, "InstrumentProperties", "RadarProperties"},
        {"lidar_properties", 11, kMessage, "InstrumentProperties", "LidarProperties"}}},
      {"WmoId",
       {{"wigos_id", 1, kMessage, "", "WmoId.WigosId"},
        {"center_id", 2, kUint32, "", ""},
        {"center_name", 3, kString, "", ""},
        {"sub_center_id", 5, kUint32, "", ""},
        {"sub_center_name", 6, kString, "", ""},
        {"station_id", 7, kUint32, "", ""}}},
      {"WmoId.WigosId",
       {{"series_id", 1, kUint32, "", ""},
        {"issuer_id", 2, kUint32, "", ""},
        {"number_id", 3, kUint32, "", ""},
        {"local_id", 4, kString, "", ""}}},
      {"OperaId",
       {{"radar_site", 1, kString, "", ""},
        {"place", 2, kString, "", ""},
        {"node", 3, kString, "", ""},
        {"country", 4, kUint32, "", ""},
        {"comment", 5, kString, "", ""},
        {"station", 6, kUint32, "", ""}}},
      {"RadarProperties",
       {{"horz_beam_width_deg", 1, kDouble, "", ""},
        {"vert_beam_width_deg", 2, kDouble, "", ""},
        {"radar_calib", 3, kMessage, "", "RadarCalib"},
        {"radar_id", 4, kMessage, "repeated", "RadarId"},
        {"georeference_correction", 5, kMessage, "", "GeoreferenceCorrection"}}},
      {"RadarId", {{"type", 1, kString, "", ""}, {"id", 2, kString, "", ""}}},
      {"RadarCalib",
       {{"zcal_dbz", 1, kDouble, "", ""},
        {"h_spectral_noise_power_dbm_p_mhz", 2, kDouble, "", ""},
        {"v_spectral_noise_power_dbm_p_mhz", 3, kDouble, "", ""},
        {"zdr_offset_db", 4, kDouble, "", ""},
        {"ldr_offset_db", 5, kDouble, "", ""},
        {"calibration_configuration", 6, kMessage, "", "RadarCalib.CalibrationConfiguration"},
        {"zero_sotherm", 7, kMessage, "", "RadarCalib.ZeroIsotherm"},
        {"zero_c_isotherm_ew_tilt_m_p_km", 8, kFloat, "", ""},
        {"gas_atten_db_per_km", 9, kInt32, "", ""}}},
      {"RadarCalib.CalibrationConfiguration",
       {{"horizontal_3db_beam_width_deg", 1, kFloat, "", ""},
        {"vertical_3db_beam_width_deg", 2, kFloat, "", ""},
        {"antenna_gain_db", 3, kFloat, "", ""},
        {"horizontal_test_sig_loss_db", 4, kFloat, "", ""},
        {"vertical_test_sig_loss_db", 5, kFloat, "", ""},
        {"test_signal_type", 6, kEnum, "", "RadarCalib.CalibrationConfiguration.TestSignalType"},
        {"horizontal_tx_loss_h_db", 7, kFloat, "", ""},
        {"horizontal_tx_loss_hv_db", 8, kFloat, "", ""},
        {"vertical_tx_loss_v_db", 9, kFloat, "", ""},
        {"vertical_tx_loss_hv_db", 10, kFloat, "", ""}}},
      {"RadarCalib.ZeroIsotherm",
       {{"height_m", 1, kFloat, "", ""},
        {"thickness_m", 2, kFloat, "", ""},
        {"we_tilt_m_p_km", 3, kFloat, "", ""},
        {"sn_tilt_m_p_km", 4, kFloat, "", ""}}},
      {"GeoreferenceCorrection", {{"azimuth_correction", 1, kDouble, "", ""}}},
      {"LidarProperties", {{"lidar_calib", 1, kMessage, "", "LidarCalib"}}},
      {"LidarCalib",
       {{"default_instrumental_function_x_max", 1, kDouble, "", ""},
        {"default_instrumental_function_y_average", 2, kDouble, "", ""},
        {"default_instrumental_function_amplitude", 3, kDouble, "", ""},
        {"default_instrumental_function_half_height_width", 4, kDouble, "", ""},
        {"instrumental_function_x_max", 5, kDouble, "", ""},
        {"instrumental_function_y_average", 6, kDouble, "", ""},
        {"instrumental_function_amplitutde", 7, kDouble, "", ""},
        {"instrumental_function_half_height_width", 8, kDouble, "", ""},
        {"instrumental_function_status", 9, kInt32, "", ""},
        {"gate_index", 10, kInt32, "packed", ""}}},
  };
  return kTable;
}

// Every field of every message above, for the checks that apply to all of them.
std::vector<const FieldDescriptor*> AllFields() {
  std::vector<const FieldDescriptor*> fields;
  for (const MessageRow& row : MessageTable()) {
    const Descriptor* type = FindMessage(row.name);
    for (int i = 0; type != nullptr && i < type->field_count(); ++i) {
      fields.push_back(type->field(i));
    }
  }
  return fields;
}

TEST(InstrumentsSchema, FilesHoldExactlyTheseDeclarations) {
  struct FileRow {
    const char* name;
    std::vector<std::string> imports;
    const char* message;
  };
  const std::vector<FileRow> files = {
      {"instrument.proto",
       {"radar_properties.proto", "lidar_properties.proto", "geo_primitives.proto", "wmo_id.proto",
        "opera_id.proto"},
       "Instrument"},
      {"wmo_id.proto", {}, "WmoId"},
      {"opera_id.proto", {}, "OperaId"},
      {"radar_properties.proto",
       {"radar_id.proto", "radar_calib.proto", "georeference_correction.proto"},
       "RadarProperties"},
      {"radar_id.proto", {}, "RadarId"},
      {"radar_calib.proto", {}, "RadarCalib"},
      {"georeference_correction.proto", {}, "GeoreferenceCorrection"},
      {"lidar_properties.proto", {"lidar_calib.proto"}, "LidarProperties"},
      {"lidar_calib.proto", {}, "LidarCalib"},
  };
  std::set<std::string> declared;  // every message the files declare, nested included
  for (const FileRow& row : files) {
    const FileDescriptor* file = DescriptorPool::generated_pool()->FindFileByName(row.name);
    ASSERT_NE(file, nullptr) << row.name << " is not in the generated pool";
    EXPECT_EQ(file->package(), "kyt.pb.common") << row.name;
    EXPECT_EQ(file->syntax(), FileDescriptor::SYNTAX_PROTO3) << row.name;
    std::vector<std::string> imports;
    for (int i = 0; i < file->dependency_count(); ++i)
      imports.push_back(file->dependency(i)->name());
    EXPECT_EQ(imports, row.imports) << row.name;
    google::protobuf::FileOptions options = file->options();
    EXPECT_EQ(options.java_package(), "com.quandel.larch.protobuf.common") << row.name;
    options.clear_java_package();
    EXPECT_EQ(options.ByteSizeLong(), 0u) << row.name << " sets an option besides java_package";
    EXPECT_EQ(file->enum_type_count() + file->service_count() + file->extension_count(), 0)
        << row.name;
    ASSERT_EQ(file->message_type_count(), 1) << row.name;
    EXPECT_EQ(file->message_type(0)->name(), row.message) << row.name;
    std::vector<const Descriptor*> pending = {file->message_type(0)};
    while (!pending.empty()) {
      const Descriptor* type = pending.back();
      pending.pop_back();
      declared.insert(type->full_name());
      EXPECT_EQ(type->reserved_range_count() + type->reserved_name_count(), 0) << type->full_name();
      EXPECT_EQ(type->options().ByteSizeLong(), 0u) << type->full_name();
      for (int i = 0; i < type->nested_type_count(); ++i) pending.push_back(type->nested_type(i));
    }
  }
  std::set<std::string> tabled;
  for (const MessageRow& row : MessageTable())
    tabled.insert(std::string("kyt.pb.common.") + row.name);
  EXPECT_EQ(declared, tabled);
}

TEST(InstrumentsSchema, FieldsMatchTheTable) {
  for (const MessageRow& row : MessageTable()) {
    const Descriptor* type = FindMessage(row.name);
    ASSERT_NE(type, nullptr) << row.name;
    ASSERT_EQ(type->field_count(), static_cast<int>(row.fields.size())) << row.name;
    std::set<std::string> oneofs;
    for (int i = 0; i < type->field_count(); ++i) {
      const FieldDescriptor* field = type->field(i);
      const FieldRow& want = row.fields[static_cast<size_t>(i)];
      const std::string kind = want.kind;
      const std::string where = std::string(row.name) + " field #" + std::to_string(i);
      EXPECT_EQ(field->name(), want.name) << where;
      EXPECT_EQ(field->number(), want.number) << where << " " << want.name;
      EXPECT_EQ(field->type(), want.type) << where << " " << want.name;
      EXPECT_EQ(field->is_repeated(), kind == "repeated" || kind == "packed") << where;
      EXPECT_EQ(field->is_packed(), kind == "packed") << where;
      EXPECT_EQ(field->options().ByteSizeLong(), 0u) << where << " carries an explicit option";
      EXPECT_FALSE(field->has_optional_keyword()) << where;
      const bool in_oneof = !kind.empty() && kind != "repeated" && kind != "packed";
      if (in_oneof) oneofs.insert(kind);
      EXPECT_EQ(field->containing_oneof() ? field->containing_oneof()->name() : "",
                in_oneof ? kind : "")
          << where;
      std::string type_name;
      if (field->message_type() != nullptr) type_name = field->message_type()->full_name();
      if (field->enum_type() != nullptr) type_name = field->enum_type()->full_name();
      EXPECT_EQ(type_name, *want.type_name ? "kyt.pb.common." + std::string(want.type_name) : "")
          << where;
    }
    EXPECT_EQ(type->oneof_decl_count(), static_cast<int>(oneofs.size())) << row.name;
  }
}

TEST(InstrumentsSchema, EnumsMatchTheTable) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> enums = {
      {"kyt.pb.common.Instrument.InstrumentType",
       {"INSTR_UNSPECIFIED", "INSTR_RADAR", "INSTR_LIDAR", "INSTR_SODAR", "INSTR_WIND_PROFILER",
        "INSTR_WEATHER_STATION", "INSTR_LIGHTNING_DETECTOR"}},
      {"kyt.pb.common.RadarCalib.CalibrationConfiguration.TestSignalType",
       {"NONE", "SINE_WAVE", "NOISE_SOURCE"}},
  };
  for (const auto& [name, values] : enums) {
    const auto* type = DescriptorPool::generated_pool()->FindEnumTypeByName(name);
    ASSERT_NE(type, nullptr) << name;
    ASSERT_EQ(type->value_count(), static_cast<int>(values.size())) << name;
    for (int i = 0; i < type->value_count(); ++i) {
      EXPECT_EQ(type->value(i)->name(), values[static_cast<size_t>(i)]) << name;
      EXPECT_EQ(type->value(i)->number(), i) << name << "." << values[static_cast<size_t>(i)];
    }
  }
  EXPECT_FALSE(Instrument::InstrumentType_IsValid(7));
  EXPECT_TRUE(RadarCalib::CalibrationConfiguration::TestSignalType_IsValid(2));
  EXPECT_FALSE(RadarCalib::CalibrationConfiguration::TestSignalType_IsValid(7));
}

// ---------------------------------------------------------------------------
// Wire format.

TEST(InstrumentsWire, FloatsTakeFourBytesAndDoublesEight) {
  RadarCalib calib;
  calib.set_zcal_dbz(1.5);
  calib.set_h_spectral_noise_power_dbm_p_mhz(1.5);
  calib.set_v_spectral_noise_power_dbm_p_mhz(1.5);
  calib.set_zdr_offset_db(1.5);
  calib.set_ldr_offset_db(1.5);
  auto* config = calib.mutable_calibration_configuration();
  config->set_horizontal_3db_beam_width_deg(1.5f);
  config->set_vertical_3db_beam_width_deg(1.5f);
  config->set_antenna_gain_db(1.5f);
  config->set_horizontal_test_sig_loss_db(1.5f);
  config->set_vertical_test_sig_loss_db(1.5f);
  config->set_test_signal_type(RadarCalib::CalibrationConfiguration::SINE_WAVE);
  config->set_horizontal_tx_loss_h_db(1.5f);
  config->set_horizontal_tx_loss_hv_db(1.5f);
  config->set_vertical_tx_loss_v_db(1.5f);
  config->set_vertical_tx_loss_hv_db(1.5f);
  auto* isotherm = calib.mutable_zero_sotherm();
  isotherm->set_height_m(1.5f);
  isotherm->set_thickness_m(1.5f);
  isotherm->set_we_tilt_m_p_km(1.5f);
  isotherm->set_sn_tilt_m_p_km(1.5f);
  calib.set_zero_c_isotherm_ew_tilt_m_p_km(1.5f);
  calib.set_gas_atten_db_per_km(-1);
  const std::string d = kD15, f = kF15;
  EXPECT_EQ(Hex(calib.SerializeAsString()),
            "09 " + d + " 11 " + d + " 19 " + d + " 21 " + d + " 29 " + d +  //
                " 32 2f 0d " + f + " 15 " + f + " 1d " + f + " 25 " + f +    //
                " 2d " + f + " 30 01 3d " + f + " 45 " + f + " 4d " + f +    //
                " 55 " + f + " 3a 14 0d " + f + " 15 " + f + " 1d " + f +    //
                " 25 " + f + " 45 " + f + " 48 ff ff ff ff ff ff ff ff ff 01");

  Instrument instrument;
  instrument.set_tower_height(30);
  EXPECT_EQ(Hex(instrument.SerializeAsString()), "11 00 00 00 00 00 00 3e 40");

  // Every floating-point field: its own width when written; a value of the
  // other width does not set it, and is kept and written back as it came.
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != kDouble && field->type() != kFloat) continue;
    const bool is_double = field->type() == kDouble;
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
    EXPECT_FALSE(reflection->HasField(*parsed, field)) << field->full_name();
    EXPECT_EQ(reflection->GetUnknownFields(*parsed).field_count(), 1) << field->full_name();
    EXPECT_EQ(Hex(parsed->SerializeAsString()), Hex(other)) << field->full_name();
  }

  // The kept value goes after the known fields, whatever its place on input.
  RadarCalib mixed;
  ASSERT_TRUE(mixed.ParseFromString(Unhex("41 " + d + " 09 " + d)));
  EXPECT_EQ(mixed.zcal_dbz(), 1.5);
  EXPECT_EQ(mixed.zero_c_isotherm_ew_tilt_m_p_km(), 0.0f);
  EXPECT_EQ(Hex(mixed.SerializeAsString()), "09 " + d + " 41 " + d);

  // A float keeps single precision only.
  calib.Clear();
  calib.set_zero_c_isotherm_ew_tilt_m_p_km(0.1f);
  EXPECT_EQ(Hex(calib.SerializeAsString()), "45 cd cc cc 3d");
  ASSERT_TRUE(calib.ParseFromString(calib.SerializeAsString()));
  EXPECT_NE(static_cast<double>(calib.zero_c_isotherm_ew_tilt_m_p_km()), 0.1);
}

TEST(InstrumentsWire, IntegersAndPresentSubMessages) {
  // Every uint32 field: the largest value is a five-byte varint and reads back.
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != kUint32) continue;
    auto message = NewMessage(field->containing_type());
    message->GetReflection()->SetUInt32(message.get(), field, 0xffffffffu);
    const std::string bytes = message->SerializeAsString();
    EXPECT_EQ(Hex(bytes), Hex(Tag(field->number(), 0)) + " " + kMaxU32) << field->full_name();
    auto parsed = NewMessage(field->containing_type());
    ASSERT_TRUE(parsed->ParseFromString(bytes)) << field->full_name();
    EXPECT_EQ(parsed->GetReflection()->GetUInt32(*parsed, field), 0xffffffffu)
        << field->full_name();
  }
  WmoId wmo;
  wmo.set_sub_center_id(1);
  EXPECT_EQ(Hex(wmo.SerializeAsString()), "28 01");
  wmo.Clear();
  wmo.mutable_wigos_id()->set_issuer_id(246);
  wmo.mutable_wigos_id()->set_local_id("A1");
  EXPECT_EQ(Hex(wmo.wigos_id().SerializeAsString()), "10 f6 01 22 02 41 31");

  // Negative int32 values are ten-byte varints; open enums keep any number.
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
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != kMessage || field->is_repeated()) continue;
    auto message = NewMessage(field->containing_type());
    message->GetReflection()->MutableMessage(message.get(), field);
    EXPECT_EQ(Hex(message->SerializeAsString()), Hex(Tag(field->number(), 2)) + " 00")
        << field->full_name();
    auto parsed = NewMessage(field->containing_type());
    ASSERT_TRUE(parsed->ParseFromString(message->SerializeAsString())) << field->full_name();
    EXPECT_TRUE(parsed->GetReflection()->HasField(*parsed, field)) << field->full_name();
  }
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
  std::map<const Descriptor*, const FieldDescriptor*> parent;
  std::vector<const Descriptor*> pending = {Instrument::descriptor()};
  while (!pending.empty()) {
    const Descriptor* type = pending.back();
    pending.pop_back();
    for (int i = 0; i < type->field_count(); ++i) {
      const Descriptor* child = type->field(i)->message_type();
      if (child != nullptr && parent.emplace(child, type->field(i)).second) {
        pending.push_back(child);
      }
    }
  }
  // The text field holding `value`, wrapped in its enclosing messages.
  auto in_instrument = [&parent](const FieldDescriptor* field, const std::string& value) {
    std::string bytes = Delimited(field->number(), value);
    for (const Descriptor* type = field->containing_type(); type != Instrument::descriptor();) {
      const FieldDescriptor* holder = parent.at(type);
      bytes = Delimited(holder->number(), bytes);
      type = holder->containing_type();
    }
    return bytes;
  };

  std::set<std::string> seen;
  for (const FieldDescriptor* field : AllFields()) {
    if (field->type() != kString) continue;
    seen.insert(field->full_name());
    ASSERT_TRUE(parent.count(field->containing_type()) ||
                field->containing_type() == Instrument::descriptor());
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

TEST(InstrumentsWire, FullyPopulatedInstrumentRoundTrips) {
  Instrument radar;
  radar.mutable_location()->mutable_lat_lon()->set_latitude_deg(60.2);
  radar.mutable_location()->mutable_lat_lon()->set_longitude_deg(24.96);
  radar.mutable_location()->set_altitude_m(53);
  radar.set_tower_height(30);
  radar.set_name("Kumpula \xc3\xa4");
  radar.set_manufacturer("Maker");
  radar.set_model("M-200");
  radar.set_software_name("Acquire 5");
  radar.set_instrument_type(Instrument::INSTR_RADAR);
  WmoId* wmo = radar.mutable_wmo_id();
  wmo->mutable_wigos_id()->set_series_id(1);
  wmo->mutable_wigos_id()->set_issuer_id(246);
  wmo->mutable_wigos_id()->set_number_id(2);
  wmo->mutable_wigos_id()->set_local_id("02963");
  wmo->set_center_id(86);
  wmo->set_center_name("Centre");
  wmo->set_sub_center_id(3);
  wmo->set_sub_center_name("Sub-centre");
  wmo->set_station_id(2963);
  auto* opera = radar.mutable_opera_id();
  opera->set_radar_site("fikum");
  opera->set_place("Kumpula");
  opera->set_node("fi");
  opera->set_country(246);
  opera->set_comment("roof");
  opera->set_station(4);
  auto* properties = radar.mutable_radar_properties();
  properties->set_horz_beam_width_deg(0.98);
  properties->set_vert_beam_width_deg(1.02);
  RadarCalib* calib = properties->mutable_radar_calib();
  calib->set_zcal_dbz(-40.5);
  calib->set_h_spectral_noise_power_dbm_p_mhz(-110.25);
  calib->set_v_spectral_noise_power_dbm_p_mhz(-111.0);
  calib->set_zdr_offset_db(0.2);
  calib->set_ldr_offset_db(-0.1);
  auto* config = calib->mutable_calibration_configuration();
  config->set_horizontal_3db_beam_width_deg(0.98f);
  config->set_vertical_3db_beam_width_deg(1.02f);
  config->set_antenna_gain_db(45.1f);
  config->set_horizontal_test_sig_loss_db(2.5f);
  config->set_vertical_test_sig_loss_db(2.75f);
  config->set_test_signal_type(RadarCalib::CalibrationConfiguration::NOISE_SOURCE);
  config->set_horizontal_tx_loss_h_db(1.25f);
  config->set_horizontal_tx_loss_hv_db(1.5f);
  config->set_vertical_tx_loss_v_db(1.75f);
  config->set_vertical_tx_loss_hv_db(2.0f);
  auto* isotherm = calib->mutable_zero_sotherm();
  isotherm->set_height_m(2100.0f);
  isotherm->set_thickness_m(300.0f);
  isotherm->set_we_tilt_m_p_km(0.5f);
  isotherm->set_sn_tilt_m_p_km(-0.25f);
  calib->set_zero_c_isotherm_ew_tilt_m_p_km(0.75f);
  calib->set_gas_atten_db_per_km(-3);
  auto* first_id = properties->add_radar_id();
  first_id->set_type("WMO");
  first_id->set_id("02963");
  auto* second_id = properties->add_radar_id();
  second_id->set_type("ODIM");
  second_id->set_id("fikum");
  properties->mutable_georeference_correction()->set_azimuth_correction(-0.4);

  Instrument lidar;
  lidar.set_instrument_type(Instrument::INSTR_LIDAR);
  LidarCalib* lidar_calib = lidar.mutable_lidar_properties()->mutable_lidar_calib();
  const auto* reflection = lidar_calib->GetReflection();
  for (int i = 0; i < 8; ++i) {
    reflection->SetDouble(lidar_calib, LidarCalib::descriptor()->field(i), 0.5 + i);
  }
  lidar_calib->set_instrumental_function_status(-7);
  for (int value : {3, 150, 70000}) lidar_calib->add_gate_index(value);

  for (const Instrument* original : {&radar, &lidar}) {
    const std::string bytes = original->SerializeAsString();
    Instrument parsed;
    ASSERT_TRUE(parsed.ParseFromString(bytes));
    EXPECT_TRUE(MessageDifferencer::Equals(parsed, *original));
    EXPECT_EQ(Hex(parsed.SerializeAsString()), Hex(bytes));
  }

  // Every field set, each in number order with its own wire type.
  EXPECT_EQ(Layout(radar.SerializeAsString()), "1/2 2/1 3/2 4/2 5/2 6/2 7/0 8/2 9/2 10/2");
  EXPECT_EQ(Layout(radar.wmo_id().SerializeAsString()), "1/2 2/0 3/2 5/0 6/2 7/0");
  EXPECT_EQ(Layout(radar.wmo_id().wigos_id().SerializeAsString()), "1/0 2/0 3/0 4/2");
  EXPECT_EQ(Layout(radar.opera_id().SerializeAsString()), "1/2 2/2 3/2 4/0 5/2 6/0");
  EXPECT_EQ(Layout(properties->SerializeAsString()), "1/1 2/1 3/2 4/2 4/2 5/2");
  EXPECT_EQ(Layout(calib->SerializeAsString()), "1/1 2/1 3/1 4/1 5/1 6/2 7/2 8/5 9/0");
  EXPECT_EQ(Layout(config->SerializeAsString()), "1/5 2/5 3/5 4/5 5/5 6/0 7/5 8/5 9/5 10/5");
  EXPECT_EQ(Layout(isotherm->SerializeAsString()), "1/5 2/5 3/5 4/5");
  EXPECT_EQ(Layout(lidar.SerializeAsString()), "7/0 11/2");
  EXPECT_EQ(Layout(lidar_calib->SerializeAsString()), "1/1 2/1 3/1 4/1 5/1 6/1 7/1 8/1 9/0 10/2");

  Instrument parsed;
  ASSERT_TRUE(parsed.ParseFromString(radar.SerializeAsString()));
  ASSERT_EQ(parsed.radar_properties().radar_id_size(), 2);
  EXPECT_EQ(parsed.radar_properties().radar_id(0).type(), "WMO");
  EXPECT_EQ(parsed.radar_properties().radar_id(1).type(), "ODIM");
}

}  // namespace
