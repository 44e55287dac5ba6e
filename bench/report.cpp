// The plot: for each timer kind, the fraction of ticks later than x (a
// complementary distribution on a log scale, so that the tail shows).
#include "report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>

namespace bench {
namespace {

const char* const kColors[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b",
                               "#e377c2", "#7f7f7f", "#bcbd22", "#17becf", "#000000", "#aec7e8"};

std::string Num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%g", v);
  return b;
}

}  // namespace

void WriteLatenessSvg(const std::string& path, const std::string& title,
                      const std::vector<std::pair<std::string, std::vector<double>>>& series) {
  constexpr double W = 860, H = 500, L = 70, R = 230, T = 40, B = 50;
  constexpr double kDecades = 4;  // y from 1 down to 1e-4
  std::vector<std::pair<std::string, std::vector<double>>> sorted;
  double lo = INFINITY, hi = -INFINITY;
  for (const auto& [name, v] : series) {
    if (v.empty()) continue;
    auto s = v;
    std::sort(s.begin(), s.end());
    lo = std::min(lo, Percentile(s, 0.1));
    hi = std::max(hi, Percentile(s, 99.95));
    sorted.emplace_back(name, std::move(s));
  }
  if (sorted.empty()) return;
  // Log scale from 1 us; lateness at or below 1 us (early ticks of timers
  // that keep a schedule) sits on the left edge.
  lo = 0;
  hi = std::ceil(std::log10(std::max(hi, 10.0)));
  auto X = [&](double v) {
    return L + (std::clamp(std::log10(std::max(v, 1.0)), lo, hi) - lo) / (hi - lo) * (W - L - R);
  };
  auto Y = [&](double frac) { return T + (-std::log10(frac)) / kDecades * (H - T - B); };

  std::ofstream o(path);
  o << "<svg xmlns='http://www.w3.org/2000/svg' width='" << W << "' height='" << H
    << "' font-family='sans-serif' font-size='12'>\n<rect width='100%' height='100%' fill='white'/>\n";
  o << "<text x='" << L << "' y='22' font-size='15'>" << title << "</text>\n";
  for (int d = static_cast<int>(lo); d <= static_cast<int>(hi); ++d) {
    const double v = std::pow(10, d);
    o << "<line x1='" << X(v) << "' y1='" << T << "' x2='" << X(v) << "' y2='" << H - B
      << "' stroke='#ddd'/><text x='" << X(v) << "' y='" << H - B + 16 << "' text-anchor='middle'>" << Num(v)
      << "</text>\n";
  }
  for (int d = 0; d <= kDecades; ++d) {
    const double f = std::pow(10, -d);
    o << "<line x1='" << L << "' y1='" << Y(f) << "' x2='" << W - R << "' y2='" << Y(f)
      << "' stroke='#ddd'/><text x='" << L - 6 << "' y='" << Y(f) + 4 << "' text-anchor='end'>"
      << (d == 0 ? std::string("1") : "1e-" + std::to_string(d)) << "</text>\n";
  }
  o << "<text x='" << (L + W - R) / 2 << "' y='" << H - 12
    << "' text-anchor='middle'>lateness (us, log scale; 1 us and below at the left edge)</text>\n";
  o << "<text transform='translate(16," << (T + H - B) / 2
    << ") rotate(-90)' text-anchor='middle'>fraction of ticks later than x</text>\n";
  int k = 0;
  for (const auto& [name, s] : sorted) {
    const char* color = kColors[k % std::size(kColors)];
    const double n = static_cast<double>(s.size());
    o << "<polyline fill='none' stroke='" << color << "' stroke-width='1.6' points='";
    for (int i = 0; i <= 400; ++i) {
      const double frac = std::pow(10, -kDecades * i / 400.0);
      if (frac * n < 1) break;
      const auto idx = static_cast<std::size_t>(std::clamp(n - frac * n, 0.0, n - 1));
      o << X(s[idx]) << ',' << Y(frac) << ' ';
    }
    o << "'/>\n";
    const double ly = T + 10 + 18 * k;
    o << "<line x1='" << W - R + 15 << "' y1='" << ly << "' x2='" << W - R + 40 << "' y2='" << ly
      << "' stroke='" << color << "' stroke-width='2'/><text x='" << W - R + 46 << "' y='" << ly + 4 << "'>"
      << name << "</text>\n";
    ++k;
  }
  o << "</svg>\n";
}

}  // namespace bench
