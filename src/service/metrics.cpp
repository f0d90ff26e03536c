// Counters, gauges and histograms, rendered in the Prometheus text format (0.0.4). One
// lock guards everything: updates come a few hundred a second at most, and a scrape must
// see a histogram's buckets, sum and count from the same moment.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <mutex>
#include <set>

#include "selvarn/error.hpp"
#include "selvarn/service.hpp"

namespace selvarn::service {
namespace {

constexpr const char* kKindNames[] = {"counter", "gauge", "histogram"};

// Throws RuntimeError 5 with the parts joined: Bad("metric ", name, " is not declared").
template <typename... Parts>
[[noreturn]] void Bad(const Parts&... parts) {
  std::string what;
  (what.append(parts), ...);
  throw RuntimeError(err::kInvalidCall, what);
}

bool IsMetricName(std::string_view s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':';
  });
}

bool IsLabelName(std::string_view s) {
  return IsMetricName(s) && s.find(':') == std::string_view::npos && s.rfind("__", 0) != 0;
}

std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return {buf, res.ptr};
}

// Backslash and newline escaped; in label values the double quote too.
std::string Escape(std::string_view s, bool quote) {
  std::string out;
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quote) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

// "{a="x",b="y"}", with `extra` (a histogram's le="...") last; "" without labels.
std::string LabelText(const Labels& names, const Labels& values, const std::string& extra) {
  std::string l;
  for (std::size_t i = 0; i < values.size(); ++i) {
    l += (l.empty() ? "" : ",") + names[i] + "=\"" + Escape(values[i], true) + "\"";
  }
  if (!extra.empty()) l += (l.empty() ? "" : ",") + extra;
  return l.empty() ? l : "{" + l + "}";
}

// The names a family's samples carry.
std::vector<std::string> SampleNames(const std::string& name, bool histogram) {
  if (!histogram) return {name};
  return {name, name + "_bucket", name + "_sum", name + "_count"};
}

}  // namespace

// Not in the anonymous namespace: Impl's members may not have types of internal linkage.
struct Metrics::Impl {
  enum Kind { kCounter, kGauge, kHistogram };
  struct Series {
    double value = 0;
    std::vector<std::uint64_t> buckets{};  // per bucket, not cumulative; the last is +Inf
    double sum = 0;
    std::uint64_t count = 0;
  };
  struct Family {
    Kind kind;
    std::string help;
    Labels label_names;
    std::vector<double> bounds;
    std::map<Labels, Series> series;
  };
  mutable std::mutex mutex;
  std::map<std::string, Family> families;

  void Declare(const std::string& name, const std::string& help, Kind kind,
               std::vector<double> bounds, const Labels& label_names) {
    if (!IsMetricName(name)) Bad("metric name \"", name, "\" is not valid");
    std::set<std::string> seen;
    for (const auto& l : label_names) {
      if (!IsLabelName(l)) Bad("label name \"", l, "\" of ", name, " is not valid");
      if (kind == kHistogram && l == "le") Bad("histogram ", name, " cannot have a label \"le\"");
      if (!seen.insert(l).second) Bad("label \"", l, "\" appears twice in ", name);
    }
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      if (std::isnan(bounds[i]) || (i > 0 && !(bounds[i] > bounds[i - 1]))) {
        Bad("the bucket bounds of ", name, " must rise");
      }
    }
    if (!bounds.empty() && std::isinf(bounds.back()) && bounds.back() > 0) bounds.pop_back();
    std::lock_guard lock(mutex);
    auto it = families.find(name);
    if (it != families.end()) {
      const Family& f = it->second;
      if (f.kind != kind || f.label_names != label_names || f.bounds != bounds) {
        Bad("metric ", name, " is already declared differently");
      }
      return;
    }
    // No sample may be taken for another family's: "x_count" against histogram "x".
    for (const auto& mine : SampleNames(name, kind == kHistogram)) {
      for (const auto& [other, f] : families) {
        for (const auto& theirs : SampleNames(other, f.kind == kHistogram)) {
          if (mine == theirs) Bad("metric ", name, " clashes with ", other);
        }
      }
    }
    Family f{kind, help, label_names, std::move(bounds), {}};
    if (label_names.empty()) f.series[{}] = Fresh(f);  // a lone series is shown from the start
    families.emplace(name, std::move(f));
  }

  static Series Fresh(const Family& f) {
    Series s;
    if (f.kind == kHistogram) s.buckets.assign(f.bounds.size() + 1, 0);
    return s;
  }

  static void CheckArity(const std::string& name, const Family& f, const Labels& values) {
    if (values.size() != f.label_names.size()) {
      Bad("metric ", name, " takes ", std::to_string(f.label_names.size()), " label values");
    }
  }

  // The series for `values`, made on first use; called under the lock.
  Series& At(const std::string& name, Kind kind, const Labels& values) {
    auto it = families.find(name);
    if (it == families.end()) Bad("metric ", name, " is not declared");
    Family& f = it->second;
    if (f.kind != kind) Bad("metric ", name, " is a ", kKindNames[f.kind]);
    CheckArity(name, f, values);
    auto s = f.series.find(values);
    if (s == f.series.end()) s = f.series.emplace(values, Fresh(f)).first;
    return s->second;
  }
};

Metrics::Metrics() : impl_(std::make_unique<Impl>()) {}
Metrics::~Metrics() = default;

void Metrics::Counter(const std::string& name, const std::string& help, const Labels& labels) {
  impl_->Declare(name, help, Impl::kCounter, {}, labels);
}
void Metrics::Gauge(const std::string& name, const std::string& help, const Labels& labels) {
  impl_->Declare(name, help, Impl::kGauge, {}, labels);
}
void Metrics::Histogram(const std::string& name, const std::string& help,
                        std::vector<double> bounds, const Labels& labels) {
  impl_->Declare(name, help, Impl::kHistogram, std::move(bounds), labels);
}

void Metrics::Add(const std::string& name, const Labels& values, double amount) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->families.find(name);
  const Impl::Kind kind = it != impl_->families.end() && it->second.kind == Impl::kGauge
                              ? Impl::kGauge
                              : Impl::kCounter;
  if (kind == Impl::kCounter && !(amount >= 0)) Bad("counter ", name, " cannot go down");
  impl_->At(name, kind, values).value += amount;
}

void Metrics::Set(const std::string& name, const Labels& values, double value) {
  std::lock_guard lock(impl_->mutex);
  impl_->At(name, Impl::kGauge, values).value = value;
}

void Metrics::Observe(const std::string& name, const Labels& values, double value) {
  if (std::isnan(value)) Bad("histogram ", name, " cannot take NaN");
  std::lock_guard lock(impl_->mutex);
  Impl::Series& s = impl_->At(name, Impl::kHistogram, values);
  const auto& bounds = impl_->families.at(name).bounds;
  // "le": a value equal to a bound falls in that bound's bucket.
  const auto i = std::lower_bound(bounds.begin(), bounds.end(), value) - bounds.begin();
  ++s.buckets[static_cast<std::size_t>(i)];
  s.sum += value;
  ++s.count;
}

double Metrics::Value(const std::string& name, const Labels& values) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->families.find(name);
  if (it == impl_->families.end()) Bad("metric ", name, " is not declared");
  const auto& f = it->second;
  Impl::CheckArity(name, f, values);
  auto s = f.series.find(values);  // looking makes no series
  if (s == f.series.end()) return 0;
  return f.kind == Impl::kHistogram ? static_cast<double>(s->second.count) : s->second.value;
}

std::string Metrics::Render() const {
  std::lock_guard lock(impl_->mutex);
  std::string out;
  for (const auto& [name, f] : impl_->families) {
    out += "# HELP " + name + " " + Escape(f.help, false) + "\n";
    out += "# TYPE " + name + " " + kKindNames[f.kind] + "\n";
    for (const auto& [values, s] : f.series) {
      if (f.kind != Impl::kHistogram) {
        out += name + LabelText(f.label_names, values, "") + " " + Number(s.value) + "\n";
        continue;
      }
      std::uint64_t cumulative = 0;
      for (std::size_t i = 0; i <= f.bounds.size(); ++i) {
        cumulative += s.buckets[i];
        const std::string le = i < f.bounds.size() ? Number(f.bounds[i]) : "+Inf";
        out += name + "_bucket" + LabelText(f.label_names, values, "le=\"" + le + "\"") + " " +
               std::to_string(cumulative) + "\n";
      }
      out += name + "_sum" + LabelText(f.label_names, values, "") + " " + Number(s.sum) + "\n";
      out += name + "_count" + LabelText(f.label_names, values, "") + " " +
             std::to_string(s.count) + "\n";
    }
  }
  return out;
}

}  // namespace selvarn::service
