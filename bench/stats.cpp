#include <algorithm>
#include <cmath>
#include <numeric>

#include "bench.hpp"

namespace bench {

std::vector<double> Recorder::LatenessUs(double intervalMs) const {
  const std::size_t n = Count();
  const std::size_t warmup = warmup_;
  std::vector<double> out;
  if (n <= warmup + 1) return out;
  out.reserve(n);
  for (std::size_t i = warmup + 1; i < n; ++i) {
    const double lateNs = due_.empty() ? static_cast<double>(at_[i] - at_[i - 1]) - intervalMs * 1e6
                                       : static_cast<double>(at_[i] - due_[i]);
    out.push_back(lateNs / 1000.0);
  }
  return out;
}

// Nearest rank.
double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return NAN;
  const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  const std::size_t i = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return sorted[std::min(i, sorted.size() - 1)];
}

Stats Summarize(std::vector<double> v) {
  Stats s;
  s.n = v.size();
  if (v.empty()) {
    s.mean = s.p50 = s.p99 = s.p999 = s.max = NAN;
    return s;
  }
  std::sort(v.begin(), v.end());
  s.mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
  s.p50 = Percentile(v, 50);
  s.p99 = Percentile(v, 99);
  s.p999 = Percentile(v, 99.9);
  s.max = v.back();
  return s;
}

double Median(std::vector<double> v) {
  std::erase_if(v, [](double x) { return std::isnan(x); });
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace bench
