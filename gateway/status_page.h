// kelgate's status page: one self-contained HTML document (inline style and
// script, no other asset) that refreshes itself from /api/stations.
#pragma once

namespace kelgate {

extern const char kStatusPage[];

}  // namespace kelgate
