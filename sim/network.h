// The stations of a simulated network, read from the driver's own network
// file format (kelG1NN.int).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace plcsim {

enum class Protocol { Snp, Snpx };

struct StationConfig {
  int number = 0;     // 0 for the single PLC of a point-to-point line, else 1..64
  std::string snpId;  // up to 8 characters; empty on a point-to-point line
  Protocol protocol = Protocol::Snp;
  bool operator==(const StationConfig&) const = default;
};

class NetworkFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the file as the driver does: logical lines of at most 15 characters
// keeping only letters, digits and '*', upper-cased; a WAIT or RTS first line
// is accepted and ignored; "NNID" or "NNID*" (NN = 01..64) is a station,
// '*' marking SNPX; a blank line ends the file. A station listed twice keeps
// one entry whose ID characters are overwritten position by position, as the
// driver stores it. Throws NetworkFileError naming the file and the line for
// an illegal line, a missing file or a file without stations.
std::vector<StationConfig> ReadNetworkFile(const std::string& path);
std::vector<StationConfig> ParseNetworkText(std::string_view text, const std::string& name = "network file");

// The point-to-point line: station 0 with an empty SNP ID, speaking SNP.
std::vector<StationConfig> PointToPoint();

}  // namespace plcsim
