// Summary of repeated timings: the median and the spread around it.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
  double p10 = 0;  // 10th and 90th percentiles, by nearest rank
  double p90 = 0;
};

inline Summary Summarize(std::vector<double> samples) {
  Summary s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const std::size_t n = samples.size();
  s.median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
  s.min = samples.front();
  s.max = samples.back();
  const auto rank = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(n - 1) + 0.5)]; };
  s.p10 = rank(0.1);
  s.p90 = rank(0.9);
  return s;
}

}  // namespace bench
