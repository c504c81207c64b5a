// The MQTT publisher's rules without a broker: metric names, types and
// values, the Sparkplug B edge node's births, data, deaths, sequence numbers
// and commands, and the JSON topics, on a fake publisher and a fake clock.
#include <gtest/gtest.h>

#include <cstring>

#include "gateway/mqtt_node.h"
#include "sparkplug_b.pb.h"

namespace kelgate {
namespace {

using Payload = org::eclipse::tahu::protobuf::Payload;

ScanGroup Group(int station, const char* area, uint32_t first, uint32_t last, const char* name = "",
                ValueType type = ValueType::kUint16) {
  ScanGroup group;
  group.station = station;
  group.area = FindArea(area);
  group.first = first;
  group.last = last;
  group.name = name;
  group.type = type;
  return group;
}

std::vector<StationInfo> Stations() {
  StationInfo a{1, "PRESS1", Protocol::kSnp, 128};
  StationInfo b{3, "OVEN", Protocol::kSnpx, 256};
  return {a, b};
}

TEST(MqttMetrics, NamesTypesAndAliasesPerStation) {
  std::vector<Device> devices;
  std::string error;
  ASSERT_TRUE(BuildDevices({Group(kAllStations, "R", 1, 2), Group(3, "R", 10, 13, "speed", ValueType::kFloat),
                            Group(3, "R", 20, 20, "temp", ValueType::kInt16), Group(1, "M", 17, 18),
                            Group(kAllStations, "R", 2, 3)},
                           Stations(), 3, &devices, &error))
      << error;
  ASSERT_EQ(devices.size(), 2u);
  struct Want {
    size_t device;
    const char* name;
    MetricType type;
    uint32_t element;
    uint64_t alias;
  } wants[] = {
      {0, "%R00001", MetricType::kUInt16, 1, 3},   {0, "%R00002", MetricType::kUInt16, 2, 4},
      {0, "%M00017", MetricType::kBoolean, 17, 5}, {0, "%M00018", MetricType::kBoolean, 18, 6},
      {0, "%R00003", MetricType::kUInt16, 3, 7},   {1, "%R00001", MetricType::kUInt16, 1, 10},
      {1, "%R00002", MetricType::kUInt16, 2, 11},  {1, "speed[0]", MetricType::kFloat, 10, 12},
      {1, "speed[1]", MetricType::kFloat, 12, 13}, {1, "temp", MetricType::kInt16, 20, 14},
      {1, "%R00003", MetricType::kUInt16, 3, 15},
  };
  std::vector<size_t> seen(2);
  for (const Want& want : wants) {
    const Metric& m = devices[want.device].metrics.at(seen[want.device]++);
    EXPECT_EQ(m.name, want.name);
    EXPECT_EQ(m.type, want.type) << want.name;
    EXPECT_EQ(m.element, want.element) << want.name;
    EXPECT_EQ(m.alias, want.alias) << want.name;
  }
  EXPECT_EQ(seen[0], devices[0].metrics.size());
  EXPECT_EQ(seen[1], devices[1].metrics.size());
  EXPECT_EQ(devices[0].id, "PLC01");
  EXPECT_EQ(devices[0].propertyAlias, 8u);  // after the station's own metrics
  EXPECT_EQ(devices[1].id, "PLC03");

  struct Bad {
    ScanGroup group;
    const char* error;
  } bads[] = {
      {Group(1, "R", 1, 3, "x", ValueType::kInt32),
       "scan group 1:R:1-3: Int32 values take two words each, the range holds an odd number"},
  };
  for (const Bad& bad : bads) {
    EXPECT_FALSE(BuildDevices({bad.group}, Stations(), 3, &devices, &error));
    EXPECT_EQ(error, bad.error);
  }
  EXPECT_FALSE(BuildDevices({Group(1, "R", 1, 1, "x"), Group(1, "R", 5, 5, "x")}, Stations(), 3, &devices, &error));
  EXPECT_EQ(error, "scan group 1:R:5-5: the name \"x\" is used twice on station 1");
}

TEST(MqttMetrics, ReadsFillValuesLowWordFirstAndBitsFromPackedWords) {
  std::vector<Device> devices;
  std::string error;
  ASSERT_TRUE(BuildDevices({Group(1, "R", 1, 2, "count", ValueType::kInt32), Group(1, "R", 3, 4, "f", ValueType::kFloat),
                            Group(1, "R", 5, 5, "t", ValueType::kInt16), Group(1, "M", 17, 18)},
                           Stations(), 3, &devices, &error));
  Device& d = devices[0];
  // The two words of "count" arrive in two blocks: known only after both.
  EXPECT_FALSE(ApplyRead(d, *FindArea("R"), 1, {0x0001}, 100));
  EXPECT_FALSE(d.metrics[0].Known());
  const float pi = 3.5f;
  uint32_t bits;
  std::memcpy(&bits, &pi, sizeof bits);
  EXPECT_TRUE(ApplyRead(d, *FindArea("R"), 2, {0xFFFF, uint16_t(bits), uint16_t(bits >> 16), 0xFFFE}, 200));
  EXPECT_EQ(d.metrics[0].Json(), "-65535");  // 0xFFFF0001
  EXPECT_EQ(d.metrics[0].changedMs, 200u);
  EXPECT_EQ(d.metrics[1].Json(), "3.5");
  EXPECT_EQ(d.metrics[2].Json(), "-2");
  EXPECT_EQ(d.metrics[2].Raw(), 0xFFFFFFFEu);
  // %M17 and %M18 are bits 0 and 1 of a word that starts at %M17.
  EXPECT_TRUE(ApplyRead(d, *FindArea("M"), 17, {0x0002}, 300));
  EXPECT_EQ(d.metrics[3].Json(), "false");
  EXPECT_EQ(d.metrics[4].Json(), "true");
  // The same values again change nothing and keep the time of the change.
  d.metrics[4].dirty = false;
  EXPECT_FALSE(ApplyRead(d, *FindArea("M"), 1, {0x0000, 0x0002}, 400));
  EXPECT_FALSE(d.metrics[4].dirty);
  EXPECT_EQ(d.metrics[4].changedMs, 300u);
  EXPECT_EQ(d.metrics[4].readMs, 400u);
}

TEST(MqttMetrics, CommandValuesToWords) {
  struct Case {
    MetricType type;
    CommandValue value;
    std::vector<uint16_t> words;  // empty: refused
    const char* why;
  } cases[] = {
      {MetricType::kUInt16, {CommandValue::kInteger, 65535}, {0xFFFF}, ""},
      {MetricType::kUInt16, {CommandValue::kInteger, 65536}, {}, "out of the range of UInt16"},
      {MetricType::kUInt16, {CommandValue::kInteger, -1}, {}, "out of the range of UInt16"},
      {MetricType::kInt16, {CommandValue::kInteger, -2}, {0xFFFE}, ""},
      {MetricType::kInt16, {CommandValue::kReal, 0, 12.0}, {12}, ""},
      {MetricType::kInt16, {CommandValue::kReal, 0, 1.5}, {}, "Int16 metric, not a whole number"},
      {MetricType::kInt32, {CommandValue::kInteger, 70000}, {0x1170, 0x0001}, ""},
      {MetricType::kInt32, {CommandValue::kBool, 0, 0, true}, {}, "Int32 metric, not a number"},
      {MetricType::kFloat, {CommandValue::kInteger, 1}, {0x0000, 0x3F80}, ""},
      {MetricType::kBoolean, {CommandValue::kBool, 0, 0, true}, {1}, ""},
      {MetricType::kBoolean, {CommandValue::kInteger, 2}, {}, "out of the range of Boolean"},
  };
  for (const Case& c : cases) {
    Metric metric;
    metric.type = c.type;
    std::vector<uint16_t> words;
    std::string why;
    EXPECT_EQ(CommandWords(metric, c.value, &words, &why), !c.words.empty()) << c.value.Text();
    EXPECT_EQ(words, c.words) << c.value.Text();
    EXPECT_EQ(why, c.why) << c.value.Text();
  }
}

TEST(MqttMetrics, JsonCommandPayloads) {
  struct Case {
    const char* payload;
    bool ok;
    CommandValue::Kind kind;
    const char* text;
  } cases[] = {
      {"123", true, CommandValue::kInteger, "123"},     {" -7 ", true, CommandValue::kInteger, "-7"},
      {"2.5", true, CommandValue::kReal, "2.5"},        {"true", true, CommandValue::kBool, "true"},
      {"{\"value\": 42}", true, CommandValue::kInteger, "42"},
      {"{ \"value\" : false }", true, CommandValue::kBool, "false"},
      {"", false, CommandValue::kInteger, ""},         {"abc", false, CommandValue::kInteger, ""},
      {"nan", false, CommandValue::kInteger, ""},      {"{\"v\": 1}", false, CommandValue::kInteger, ""},
      {"1e999", false, CommandValue::kInteger, ""},
  };
  for (const Case& c : cases) {
    CommandValue value;
    EXPECT_EQ(ParseJsonCommand(c.payload, &value), c.ok) << c.payload;
    if (c.ok) {
      EXPECT_EQ(value.kind, c.kind) << c.payload;
      EXPECT_EQ(value.Text(), c.text) << c.payload;
    }
  }
}

// A publisher that keeps what it is given, and can play a lost connection.
class FakePublisher : public MqttPublisher {
 public:
  bool Publish(const MqttMessage& message) override {
    if (!up) return false;
    sent.push_back(message);
    return true;
  }
  std::vector<MqttMessage> Take() { return std::exchange(sent, {}); }
  std::vector<MqttMessage> sent;
  bool up = true;
};

struct Fixture {
  FakePublisher publisher;
  WritePolicy policy;
  std::vector<MqttWrite> writes;
  std::vector<std::string> logs;
  uint64_t now = 1'700'000'000'000;

  MqttNodeContext Context() {
    MqttNodeContext c;
    c.publisher = &publisher;
    c.policy = [this] { return &policy; };
    c.write = [this](MqttWrite w) { writes.push_back(std::move(w)); };
    c.log = [this](const std::string& line) { logs.push_back(line); };
    c.clock = [this] { return now; };
    return c;
  }
  std::vector<Device> Devices() {
    std::vector<Device> devices;
    std::string error;
    EXPECT_TRUE(BuildDevices({Group(kAllStations, "R", 1, 2), Group(3, "R", 10, 10, "temp", ValueType::kInt16)},
                             Stations(), SparkplugNode::kFirstDeviceAlias, &devices, &error));
    return devices;
  }
};

Payload Decode(const MqttMessage& message) {
  Payload payload;
  EXPECT_TRUE(payload.ParseFromString(message.payload)) << message.topic;
  return payload;
}

// "TOPIC seq=N name/alias=value..." for compact expectations.
std::string Summary(const MqttMessage& message) {
  const Payload p = Decode(message);
  std::string text = message.topic.substr(message.topic.find('/', 8) + 1);
  if (p.has_seq()) text += " seq=" + std::to_string(p.seq());
  for (const auto& m : p.metrics()) {
    text += " " + (m.has_name() ? m.name() : "#" + std::to_string(m.alias())) + "=";
    if (m.is_null()) text += "null";
    else if (m.has_long_value()) text += std::to_string(m.long_value());
    else if (m.has_boolean_value()) text += m.boolean_value() ? "true" : "false";
    else if (m.has_string_value()) text += m.string_value();
    else if (m.has_int_value()) text += std::to_string(static_cast<int32_t>(m.int_value()));
    if (m.is_historical()) text += "(h)";
  }
  return text;
}

std::vector<std::string> Summaries(const std::vector<MqttMessage>& messages) {
  std::vector<std::string> out;
  for (const MqttMessage& m : messages) out.push_back(Summary(m));
  return out;
}

using Lines = std::vector<std::string>;

TEST(SparkplugNode, BirthsDataByExceptionDeathsAndRebirth) {
  Fixture f;
  SparkplugNode node(f.Context(), f.Devices(), {"plant", "gw1"});
  const MqttMessage will = node.NextWill();
  EXPECT_EQ(will.topic, "spBv1.0/plant/NDEATH/gw1");
  EXPECT_EQ(will.qos, 1);
  EXPECT_EQ(Summary(will), "NDEATH/gw1 bdSeq=0");
  EXPECT_EQ(node.Subscriptions(), (Lines{"spBv1.0/plant/NCMD/gw1", "spBv1.0/plant/DCMD/gw1/+"}));

  node.Connected();
  EXPECT_EQ(Summaries(f.publisher.Take()), (Lines{"NBIRTH/gw1 seq=0 bdSeq=0 Node Control/Rebirth=false"}));

  // A station is born after its first good cycle, with every metric.
  node.BlockRead(3, *FindArea("R"), 1, {7, 8}, f.now - 50);
  node.StationCycle(3, false);
  EXPECT_TRUE(f.publisher.Take().empty());
  node.BlockRead(3, *FindArea("R"), 1, {7, 8}, f.now - 40);
  node.BlockRead(3, *FindArea("R"), 10, {0xFFFF}, f.now - 30);
  node.StationCycle(3, true);
  auto sent = f.publisher.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Summary(sent[0]),
            "DBIRTH/gw1/PLC03 seq=1 Properties/SNP ID=OVEN Properties/Protocol=SNPX %R00001=7 %R00002=8 temp=-1");
  const Payload birth = Decode(sent[0]);
  EXPECT_EQ(birth.metrics(2).datatype(), 6u);  // UInt16
  EXPECT_EQ(birth.metrics(4).datatype(), 2u);  // Int16
  EXPECT_EQ(birth.metrics(2).timestamp(), f.now - 50);  // the read that brought the value
  EXPECT_EQ(birth.metrics(2).alias(), 7u);

  // Only what changed, by alias, timestamped with the read that saw it.
  node.BlockRead(3, *FindArea("R"), 1, {7, 9}, f.now + 100);
  node.StationCycle(3, true);
  node.BlockRead(3, *FindArea("R"), 1, {7, 9}, f.now + 200);
  node.StationCycle(3, true);
  sent = f.publisher.Take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Summary(sent[0]), "DDATA/gw1/PLC03 seq=2 #8=9");
  EXPECT_EQ(Decode(sent[0]).metrics(0).timestamp(), f.now + 100);

  // Demoted: DDEATH; promoted: DBIRTH after the next good cycle.
  node.Demoted(3);
  node.StationCycle(3, false);
  node.Promoted(3);
  node.BlockRead(3, *FindArea("R"), 1, {1, 9}, f.now + 300);
  node.StationCycle(3, true);
  EXPECT_EQ(Summaries(f.publisher.Take()),
            (Lines{"DDEATH/gw1/PLC03 seq=3",
                   "DBIRTH/gw1/PLC03 seq=4 Properties/SNP ID=OVEN Properties/Protocol=SNPX %R00001=1 %R00002=9 temp=-1"}));

  // NCMD rebirth: NBIRTH from seq 0 with the same bdSeq, then every live
  // station.
  Payload ncmd;
  auto* m = ncmd.add_metrics();
  m->set_name("Node Control/Rebirth");
  m->set_boolean_value(true);
  node.Received("spBv1.0/plant/NCMD/gw1", ncmd.SerializeAsString());
  EXPECT_EQ(Summaries(f.publisher.Take()),
            (Lines{"NBIRTH/gw1 seq=0 bdSeq=0 Node Control/Rebirth=false",
                   "DBIRTH/gw1/PLC03 seq=1 Properties/SNP ID=OVEN Properties/Protocol=SNPX %R00001=1 %R00002=9 temp=-1"}));
  EXPECT_EQ(f.logs, (Lines{"MQTT NCMD: rebirth"}));

  // The sequence number wraps after 255.
  for (int i = 0; i < 300; ++i) {
    node.BlockRead(3, *FindArea("R"), 1, {static_cast<uint16_t>(i)}, f.now);
    node.StationCycle(3, true);
  }
  sent = f.publisher.Take();
  ASSERT_EQ(sent.size(), 300u);
  EXPECT_EQ(Decode(sent[253]).seq(), 255u);
  EXPECT_EQ(Decode(sent[254]).seq(), 0u);
}

TEST(SparkplugNode, BrokerLostKeepsLatestValuesAndPublishesThemAfterTheBirths) {
  Fixture f;
  SparkplugNode node(f.Context(), f.Devices(), {"plant", "gw1"});
  node.NextWill();
  node.Connected();
  node.BlockRead(1, *FindArea("R"), 1, {1, 2}, f.now);
  node.StationCycle(1, true);
  f.publisher.Take();

  // The connection is lost: a publish fails before the client notices.
  f.publisher.up = false;
  node.BlockRead(1, *FindArea("R"), 1, {5, 2}, f.now + 1000);
  node.StationCycle(1, true);
  node.Disconnected();
  node.BlockRead(1, *FindArea("R"), 1, {6, 2}, f.now + 2000);
  node.StationCycle(1, true);
  f.publisher.up = true;
  f.now += 5000;
  EXPECT_EQ(Summary(node.NextWill()), "NDEATH/gw1 bdSeq=1");
  node.Connected();
  const auto sent = f.publisher.Take();
  EXPECT_EQ(Summaries(sent),
            (Lines{"NBIRTH/gw1 seq=0 bdSeq=1 Node Control/Rebirth=false",
                   "DBIRTH/gw1/PLC01 seq=1 Properties/SNP ID=PRESS1 Properties/Protocol=SNP %R00001=6 %R00002=2",
                   "DDATA/gw1/PLC01 seq=2 #3=6(h)"}));
  EXPECT_EQ(Decode(sent[2]).metrics(0).timestamp(), f.now - 3000);
}

TEST(SparkplugNode, DeviceCommandsWriteThroughThePolicy) {
  Fixture f;
  SparkplugNode node(f.Context(), f.Devices(), {"plant", "gw1"});
  node.NextWill();
  node.Connected();
  auto command = [&](const char* device, const char* name, uint64_t alias, int32_t value) {
    Payload p;
    auto* m = p.add_metrics();
    if (name) m->set_name(name);
    else m->set_alias(alias);
    m->set_datatype(name && std::string(name) == "temp" ? 2 : 6);
    m->set_int_value(static_cast<uint32_t>(value));
    node.Received(std::string("spBv1.0/plant/DCMD/gw1/") + device, p.SerializeAsString());
  };
  command("PLC01", "%R00002", 0, 1234);
  EXPECT_TRUE(f.writes.empty());
  std::string error;
  ASSERT_TRUE(f.policy.Parse("R:1-10", &error));
  command("PLC01", "%R00002", 0, 1234);
  command("PLC03", "temp", 0, -5);     // %R10, Int16
  command("PLC03", nullptr, 8, 77);    // alias of PLC03 %R00002
  command("PLC03", "%R00001", 0, 70000);
  command("PLC03", "%R00009", 0, 1);
  command("PLC09", "%R00001", 0, 1);
  node.Received("spBv1.0/plant/DCMD/gw1/PLC01", "\xff\xff\xff");
  EXPECT_EQ(f.logs, (Lines{"MQTT DCMD PLC01 %R00002 = 1234 refused: not writable (allow_write)",
                           "MQTT DCMD PLC03 %R00001 = 70000 refused: out of the range of UInt16",
                           "MQTT DCMD PLC03 %R00009 refused: no such metric",
                           "MQTT DCMD for PLC09 ignored: no such device",
                           "MQTT DCMD ignored: the payload is no Sparkplug B payload"}));
  ASSERT_EQ(f.writes.size(), 3u);
  struct Want {
    int station;
    uint32_t element;
    std::vector<uint16_t> items;
    const char* what;
  } wants[] = {{1, 2, {1234}, "MQTT DCMD PLC01 %R00002 = 1234"},
               {3, 10, {0xFFFB}, "MQTT DCMD PLC03 temp = -5"},
               {3, 2, {77}, "MQTT DCMD PLC03 %R00002 = 77"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(f.writes[i].station, wants[i].station);
    EXPECT_STREQ(f.writes[i].area->name, "R");
    EXPECT_EQ(f.writes[i].element, wants[i].element);
    EXPECT_EQ(f.writes[i].items, wants[i].items);
    EXPECT_EQ(f.writes[i].what, wants[i].what);
  }
}

TEST(JsonNode, RetainedTopicsWithQualityAndWrites) {
  Fixture f;
  JsonNode node(f.Context(), f.Devices(), {"kelgate", "gw1", 5000});
  EXPECT_EQ(node.NextWill().topic, "kelgate/gw1/status");
  EXPECT_EQ(node.NextWill().payload, "offline");
  EXPECT_TRUE(node.NextWill().retain);
  node.BlockRead(1, *FindArea("R"), 1, {123, 4}, f.now);
  node.StationCycle(1, true);
  node.Connected();
  auto text = [](const std::vector<MqttMessage>& messages) {
    Lines lines;
    for (const auto& m : messages) lines.push_back(m.topic + " " + m.payload + (m.retain ? " (retained)" : ""));
    return lines;
  };
  const std::string t = std::to_string(f.now);
  EXPECT_EQ(text(f.publisher.Take()),
            (Lines{"kelgate/gw1/status online (retained)",
                   "kelgate/gw1/PLC01/%R00001 {\"value\": 123, \"timestamp\": " + t + ", \"quality\": \"good\"} (retained)",
                   "kelgate/gw1/PLC01/%R00002 {\"value\": 4, \"timestamp\": " + t + ", \"quality\": \"good\"} (retained)"}));

  // By exception; stale once older than the age limit; bad when demoted.
  node.BlockRead(1, *FindArea("R"), 2, {5}, f.now + 1000);
  node.StationCycle(1, true);
  EXPECT_EQ(text(f.publisher.Take()), (Lines{"kelgate/gw1/PLC01/%R00002 {\"value\": 5, \"timestamp\": " +
                                             std::to_string(f.now + 1000) + ", \"quality\": \"good\"} (retained)"}));
  f.now += 5500;
  node.Tick();
  EXPECT_EQ(text(f.publisher.Take()),
            (Lines{"kelgate/gw1/PLC01/%R00001 {\"value\": 123, \"timestamp\": " + t + ", \"quality\": \"stale\"} (retained)"}));
  node.Demoted(1);
  EXPECT_EQ(f.publisher.Take().size(), 2u);

  // Writes on .../set under the same policy.
  std::string error;
  ASSERT_TRUE(f.policy.Parse("R:2", &error));
  node.Received("kelgate/gw1/PLC01/%R00002/set", "{\"value\": 9}");
  node.Received("kelgate/gw1/PLC01/%R00001/set", "9");
  node.Received("kelgate/gw1/PLC01/%R00002/set", "nine");
  node.Received("kelgate/gw1/PLC07/%R00002/set", "9");
  EXPECT_EQ(f.logs, (Lines{"MQTT set PLC01 %R00001 = 9 refused: not writable (allow_write)",
                           "MQTT set PLC01 %R00002 refused: the payload is no number, true or false",
                           "MQTT set PLC07/%R00002 refused: no such metric"}));
  ASSERT_EQ(f.writes.size(), 1u);
  EXPECT_EQ(f.writes[0].items, (std::vector<uint16_t>{9}));
  EXPECT_EQ(f.writes[0].element, 2u);
}

}  // namespace
}  // namespace kelgate
