// kelgate's configuration file (TOML) and command line together: the file
// first, then every option of the command line over it.
//
// Sections: [line], [modbus], [scan] with [[scan.group]] tables, [health];
// [mqtt] and [http] belong to their own modules, which read them from the
// parsed table with the same error format. Any other section, and any
// unknown key in the gateway's own sections, is a fault.
#pragma once

#include <string>
#include <string_view>

#include <toml++/toml.h>

#include "gateway/options.h"

namespace kelgate {

// A configuration file as parsed. Empty (no path, no table) when kelgate
// runs without --config.
struct ConfigFile {
  std::string path;
  toml::table table;

  // The section's table, or nullptr when the file has none.
  const toml::table* Section(std::string_view name) const;
  // The one line that reports a fault at a node of this file:
  // "FILE:LINE: fault" (without the line when the node has no source).
  std::string Fault(const toml::node& node, const std::string& fault) const;
};

// Sections that other modules read; the gateway accepts them unread.
inline constexpr std::string_view kForeignSections[] = {"mqtt", "http"};

// Reads --config FILE from the command line, then the file into *options,
// then the rest of the command line over it. False with the one line that
// says why in *error (for a file fault "FILE:LINE: fault"); the caller
// prints it and exits with status 2.
bool LoadConfiguration(int argc, const char* const* argv, Options* options, ConfigFile* file, std::string* error);

}  // namespace kelgate
