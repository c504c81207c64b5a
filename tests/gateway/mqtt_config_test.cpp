// The [mqtt] section: defaults, every key, and each fault as one line that
// names the file and the line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "gateway/mqtt_config.h"

namespace kelgate {
namespace {

bool Parse(const std::string& text, MqttConfig* config, std::string* error) {
  ConfigFile file;
  file.path = "gate.toml";
  file.table = toml::parse(text, file.path);
  return LoadMqttConfig(file, "box", config, error);
}

TEST(MqttConfig, DefaultsAndEveryKey) {
  MqttConfig config;
  std::string error;
  ASSERT_TRUE(Parse("[line]\nport = \"pts/1\"\n", &config, &error)) << error;
  EXPECT_FALSE(config.enabled);

  ASSERT_TRUE(Parse("[mqtt]\nhost = \"broker\"\n", &config, &error)) << error;
  EXPECT_TRUE(config.enabled);
  EXPECT_EQ(config.port, 1883);
  EXPECT_EQ(config.keepaliveS, 30);
  EXPECT_EQ(config.format, MqttConfig::Format::kSparkplug);
  EXPECT_EQ(config.group, "kelgate");
  EXPECT_EQ(config.node, "box");
  EXPECT_EQ(config.prefix, "kelgate");
  EXPECT_EQ(config.clientId, "kelgate-kelgate-box");

  char path[] = "/tmp/kelgate-pw-XXXXXX";
  std::fclose(fdopen(mkstemp(path), "w"));
  std::ofstream(path) << "s3cret\nignored\n";
  MqttConfig full;
  ASSERT_TRUE(Parse(std::string("[mqtt]\nhost = \"10.0.0.5\"\nport = 8883\nclient_id = \"gw\"\nusername = \"u\"\n"
                                "password_file = \"") + path + "\"\nca_file = \"" + path + "\"\ncert_file = \"" + path +
                        "\"\nkey_file = \"" + path + "\"\nkeepalive = 10\nformat = \"json\"\ngroup = \"g\"\n"
                        "node = \"n\"\nprefix = \"plant/line1\"\n",
                    &full, &error))
      << error;
  std::remove(path);
  EXPECT_EQ(full.port, 8883);
  EXPECT_EQ(full.clientId, "gw");
  EXPECT_EQ(full.password, "s3cret");
  EXPECT_EQ(full.caFile, path);
  EXPECT_EQ(full.keepaliveS, 10);
  EXPECT_EQ(full.format, MqttConfig::Format::kJson);
  EXPECT_EQ(full.prefix, "plant/line1");
}

TEST(MqttConfig, EachFaultIsOneLine) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"[mqtt]\nport = 1\n", "gate.toml:1: [mqtt] needs host, the broker's name or address"},
      {"[mqtt]\nhost = \"h\"\nhots = 1\n", "gate.toml:3: [mqtt] has no key hots"},
      {"[mqtt]\nhost = \"h\"\nport = 70000\n", "gate.toml:3: [mqtt] port must be a whole number from 1 to 65535"},
      {"[mqtt]\nhost = \"h\"\nkeepalive = \"30\"\n",
       "gate.toml:3: [mqtt] keepalive must be a whole number from 5 to 65535"},
      {"[mqtt]\nhost = 5\n", "gate.toml:2: [mqtt] host must be a non-empty string"},
      {"[mqtt]\nhost = \"h\"\nformat = \"xml\"\n", "gate.toml:3: [mqtt] format must be \"sparkplug\" or \"json\""},
      {"[mqtt]\nhost = \"h\"\nnode = \"a/b\"\n",
       "gate.toml:3: [mqtt] node \"a/b\" cannot be part of a topic: no '/', '+' or '#'"},
      {"[mqtt]\nhost = \"h\"\nprefix = \"a/#\"\n",
       "gate.toml:3: [mqtt] prefix \"a/#\" cannot be part of a topic: no '+' or '#'"},
      {"[mqtt]\nhost = \"h\"\nca_file = \"/nonexistent/ca.crt\"\n",
       "gate.toml:3: [mqtt] ca_file: cannot read /nonexistent/ca.crt"},
      {"[mqtt]\nhost = \"h\"\ncert_file = \"c\"\n", "gate.toml:3: [mqtt] cert_file and key_file go together"},
      {"[mqtt]\nhost = \"h\"\npassword_file = \"/etc/hostname\"\n",
       "gate.toml:3: [mqtt] password_file needs username"},
  };
  for (const Case& c : cases) {
    MqttConfig config;
    std::string error;
    EXPECT_FALSE(Parse(c.text, &config, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

}  // namespace
}  // namespace kelgate
