#include "gateway/mqtt_config.h"

#include <fstream>

namespace kelgate {
namespace {

constexpr const char* kStringKeys[] = {"host",     "client_id", "username", "password_file", "ca_file",
                                       "cert_file", "key_file",  "format",   "group",         "node",
                                       "prefix"};

class Reader {
 public:
  Reader(const ConfigFile& file, const toml::table& section, std::string* error)
      : file_(file), section_(section), error_(error) {}

  bool Fail(const toml::node& node, const std::string& fault) {
    *error_ = file_.Fault(node, fault);
    return false;
  }

  // A string key, when present; false after a fault.
  bool String(const char* key, std::string* value) {
    const toml::node* node = section_.get(key);
    if (node == nullptr) return true;
    const auto text = node->value<std::string>();
    if (!text || text->empty()) return Fail(*node, std::string("[mqtt] ") + key + " must be a non-empty string");
    *value = *text;
    return true;
  }

  bool Integer(const char* key, int64_t min, int64_t max, int64_t* value) {
    const toml::node* node = section_.get(key);
    if (node == nullptr) return true;
    const auto number = node->value_exact<int64_t>();
    if (!number || *number < min || *number > max) {
      return Fail(*node, std::string("[mqtt] ") + key + " must be a whole number from " + std::to_string(min) +
                             " to " + std::to_string(max));
    }
    *value = *number;
    return true;
  }

  // A file the gateway must be able to read.
  bool Readable(const char* key, const std::string& path) {
    if (path.empty() || std::ifstream(path).good()) return true;
    return Fail(*section_.get(key), std::string("[mqtt] ") + key + ": cannot read " + path);
  }

  // Group, node and prefix become topic levels: no '/', '+' or '#' (the
  // prefix may hold '/').
  bool TopicLevel(const char* key, const std::string& text, bool slashes) {
    const char* banned = slashes ? "+#" : "/+#";
    if (text.find_first_of(banned) == std::string::npos) return true;
    const toml::node* node = section_.get(key);
    *error_ = std::string("[mqtt] ") + key + " \"" + text + "\" cannot be part of a topic: no " +
              (slashes ? "'+' or '#'" : "'/', '+' or '#'");
    if (node) *error_ = file_.Fault(*node, *error_);
    else *error_ = file_.path + ": " + *error_;
    return false;
  }

 private:
  const ConfigFile& file_;
  const toml::table& section_;
  std::string* error_;
};

}  // namespace

bool LoadMqttConfig(const ConfigFile& file, const std::string& hostName, MqttConfig* config, std::string* error) {
  const toml::table* section = file.Section("mqtt");
  if (section == nullptr) return true;
  Reader r(file, *section, error);
  for (const auto& [key, node] : *section) {
    bool known = key == "port" || key == "keepalive";
    for (const char* name : kStringKeys) known = known || key == name;
    if (!known) return r.Fail(node, "[mqtt] has no key " + std::string(key.str()));
  }
  config->enabled = true;
  config->node = hostName;
  std::string format;
  int64_t port = config->port, keepalive = config->keepaliveS;
  if (!r.String("host", &config->host) || !r.Integer("port", 1, 65535, &port) ||
      !r.String("client_id", &config->clientId) || !r.String("username", &config->username) ||
      !r.String("password_file", &config->passwordFile) || !r.String("ca_file", &config->caFile) ||
      !r.String("cert_file", &config->certFile) || !r.String("key_file", &config->keyFile) ||
      !r.Integer("keepalive", 5, 65535, &keepalive) || !r.String("format", &format) ||
      !r.String("group", &config->group) || !r.String("node", &config->node) || !r.String("prefix", &config->prefix)) {
    return false;
  }
  config->port = static_cast<uint16_t>(port);
  config->keepaliveS = static_cast<int>(keepalive);
  if (config->host.empty()) return r.Fail(*section, "[mqtt] needs host, the broker's name or address");
  if (format == "json") {
    config->format = MqttConfig::Format::kJson;
  } else if (!format.empty() && format != "sparkplug") {
    return r.Fail(*section->get("format"), "[mqtt] format must be \"sparkplug\" or \"json\"");
  }
  if (config->certFile.empty() != config->keyFile.empty()) {
    return r.Fail(*section->get(config->certFile.empty() ? "key_file" : "cert_file"),
                  "[mqtt] cert_file and key_file go together");
  }
  if (!config->certFile.empty() && config->caFile.empty()) {
    return r.Fail(*section->get("cert_file"), "[mqtt] a client certificate needs ca_file (TLS)");
  }
  if (!r.Readable("ca_file", config->caFile) || !r.Readable("cert_file", config->certFile) ||
      !r.Readable("key_file", config->keyFile) || !r.Readable("password_file", config->passwordFile) ||
      !r.TopicLevel("group", config->group, false) || !r.TopicLevel("node", config->node, false) ||
      !r.TopicLevel("prefix", config->prefix, true)) {
    return false;
  }
  if (!config->passwordFile.empty()) {
    if (config->username.empty()) {
      return r.Fail(*section->get("password_file"), "[mqtt] password_file needs username");
    }
    std::ifstream in(config->passwordFile);
    std::getline(in, config->password);
    if (!config->password.empty() && config->password.back() == '\r') config->password.pop_back();
  }
  if (config->clientId.empty()) {
    config->clientId = "kelgate-" +
                       (config->format == MqttConfig::Format::kJson ? config->prefix : config->group) + "-" +
                       config->node;
  }
  return true;
}

}  // namespace kelgate
