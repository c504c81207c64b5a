#include "sim/network.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace plcsim {
namespace {

constexpr std::size_t kLogicalLineLength = 15;
constexpr std::size_t kIdLength = 8;

// One logical line: at most 15 characters are taken from the text, of which
// letters, digits and '*' are kept; a newline ends the line early.
// Returns false at the end of the text or for a line that keeps nothing.
bool NextLine(std::string_view text, std::size_t& pos, std::string& line) {
  line.clear();
  if (pos >= text.size()) return false;
  for (std::size_t taken = 0; taken < kLogicalLineLength && pos < text.size(); ++taken) {
    const char c = text[pos++];
    if (c == '\n') break;
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80 && (std::isalnum(u) || c == '*')) line.push_back(static_cast<char>(std::toupper(u)));
  }
  return !line.empty();
}

}  // namespace

std::vector<StationConfig> ParseNetworkText(std::string_view text, const std::string& name) {
  std::vector<StationConfig> stations;
  std::size_t pos = 0;
  std::string line;
  for (int index = 0; NextLine(text, pos, line); ++index) {
    if (index == 0 && (line.rfind("WAIT", 0) == 0 || line.rfind("RTS", 0) == 0)) continue;
    const bool digits = line.size() >= 2 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                        std::isdigit(static_cast<unsigned char>(line[1]));
    const int number = digits ? (line[0] - '0') * 10 + (line[1] - '0') : 0;
    if (number < 1 || number > 64) {
      throw NetworkFileError(name + ": line " + std::to_string(index + 1) + " (\"" + line +
                             "\") is not a station line NNID or NNID* with NN from 01 to 64");
    }
    auto station = std::find_if(stations.begin(), stations.end(),
                                [number](const StationConfig& s) { return s.number == number; });
    if (station == stations.end()) {
      stations.push_back(StationConfig{number, "", Protocol::Snp});
      station = stations.end() - 1;
    }
    station->protocol = Protocol::Snp;
    for (std::size_t k = 2; k < line.size() && k - 2 < kIdLength; ++k) {
      if (line[k] == '*') {
        station->protocol = Protocol::Snpx;
        break;
      }
      if (station->snpId.size() <= k - 2) station->snpId.resize(k - 1);
      station->snpId[k - 2] = line[k];
    }
  }
  if (stations.empty()) throw NetworkFileError(name + ": no station lines");
  return stations;
}

std::vector<StationConfig> ReadNetworkFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw NetworkFileError(path + ": cannot open the network file");
  std::ostringstream text;
  text << file.rdbuf();
  return ParseNetworkText(text.str(), path);
}

std::vector<StationConfig> PointToPoint() { return {StationConfig{0, "", Protocol::Snp}}; }

}  // namespace plcsim
