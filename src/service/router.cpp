// Routing: a message goes to the modem named, else among the modems with its tag, else among
// all; of those, to the best fitting prefix that is up, and there to the shortest queue.
#include "service/router.hpp"

#include <algorithm>
#include <set>

namespace selvarn::service::routing {

int Fit(const Route& route, const std::string& to) {
  if (route.prefixes.empty()) return 0;
  int best = -1;
  for (const std::string& prefix : route.prefixes) {
    if (to.starts_with(prefix)) best = std::max(best, static_cast<int>(prefix.size()));
  }
  return best;
}

namespace {

bool HasTag(const Route& route, const std::string& tag) {
  return std::find(route.tags.begin(), route.tags.end(), tag) != route.tags.end();
}

// Every modem that may send the message with its fit; the one named fits whatever the number.
std::vector<std::pair<std::size_t, int>> Fits(const std::vector<Route>& routes, const Want& want) {
  std::vector<std::pair<std::size_t, int>> out;
  for (std::size_t i = 0; i < routes.size(); ++i) {
    const Route& r = routes[i];
    if (!want.modem.empty()) {
      if (r.name == want.modem) out.emplace_back(i, 0);
      continue;
    }
    if (!want.tag.empty() && !HasTag(r, want.tag)) continue;
    const int fit = Fit(r, want.to);
    if (fit >= 0) out.emplace_back(i, fit);
  }
  // Best fit first; configuration order among equals.
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return out;
}

// How well `modem` fits a message by Fits; -1 when it may not send it.
int FitOf(const std::vector<Route>& routes, const Want& want, const std::string& modem) {
  for (const auto& [index, fit] : Fits(routes, want)) {
    if (routes[index].name == modem) return fit;
  }
  return -1;
}

}  // namespace

std::vector<std::size_t> Candidates(const std::vector<Route>& routes, const Want& want) {
  std::vector<std::size_t> out;
  for (const auto& [index, fit] : Fits(routes, want)) out.push_back(index);
  return out;
}

std::optional<Unroutable> Check(const std::vector<Route>& routes, const Want& want) {
  const auto named = [&](auto pred) { return std::any_of(routes.begin(), routes.end(), pred); };
  if (!want.modem.empty() && !named([&](const Route& r) { return r.name == want.modem; })) {
    return Unroutable{"modem", "no modem is named \"" + want.modem + "\""};
  }
  if (want.modem.empty() && !want.tag.empty() &&
      !named([&](const Route& r) { return HasTag(r, want.tag); })) {
    return Unroutable{"tag", "no modem has the tag \"" + want.tag + "\""};
  }
  if (Candidates(routes, want).empty()) {
    return Unroutable{"to", want.tag.empty() ? "no modem may send to " + want.to
                                             : "no modem with the tag \"" + want.tag +
                                                   "\" may send to " + want.to};
  }
  return std::nullopt;
}

std::string Router::Place(Item item, std::int64_t now_ms) {
  if (item.due_ms <= now_ms) {
    // Among the modems up, the best fit, then the shortest queue.
    const Route* chosen = nullptr;
    int chosen_fit = -1;
    int chosen_depth = 0;
    for (const auto& [index, fit] : Fits(routes_, item.want)) {
      const Route& r = routes_[index];
      if (!IsUp(r.name)) continue;
      if (chosen != nullptr && fit < chosen_fit) break;
      const int depth = Depth(r.name);
      if (chosen == nullptr || depth < chosen_depth) {
        chosen = &r;
        chosen_fit = fit;
        chosen_depth = depth;
      }
    }
    if (chosen != nullptr) {
      lanes_[chosen->name].queue.push_back(std::move(item));
      return chosen->name;
    }
  }
  aside_.push_back(std::move(item));
  return {};
}

void Router::Reshare(std::deque<Item> items, std::int64_t now_ms) {
  for (Item& item : items) Place(std::move(item), now_ms);
}

void Router::Configure(std::vector<Route> routes, std::int64_t now_ms) {
  routes_ = std::move(routes);
  std::deque<Item> moving;
  std::set<std::string> names;
  for (const Route& r : routes_) names.insert(r.name);
  for (auto it = lanes_.begin(); it != lanes_.end();) {
    if (names.count(it->first) == 0) {
      moving.insert(moving.end(), it->second.queue.begin(), it->second.queue.end());
      it = lanes_.erase(it);
    } else {
      ++it;
    }
  }
  for (const Route& r : routes_) lanes_.try_emplace(r.name);
  // Items whose modem may no longer send them.
  for (std::size_t i = 0; i < routes_.size(); ++i) {
    std::deque<Item>& queue = lanes_[routes_[i].name].queue;
    std::deque<Item> kept;
    for (Item& item : queue) {
      const std::vector<std::size_t> c = Candidates(routes_, item.want);
      (std::find(c.begin(), c.end(), i) == c.end() ? moving : kept).push_back(std::move(item));
    }
    queue = std::move(kept);
  }
  Reshare(std::move(moving), now_ms);
  Tick(now_ms);
}

void Router::SetUp(const std::string& modem, bool up, std::int64_t now_ms) {
  const auto lane = lanes_.find(modem);
  if (lane == lanes_.end() || lane->second.up == up) return;
  lane->second.up = up;
  if (up) {
    Tick(now_ms);
    return;
  }
  // Messages that named this modem wait for it; the rest go elsewhere.
  std::deque<Item> moving, kept;
  for (Item& item : lane->second.queue) {
    (item.want.modem == modem ? kept : moving).push_back(std::move(item));
  }
  lane->second.queue = std::move(kept);
  Reshare(std::move(moving), now_ms);
}

bool Router::IsUp(const std::string& modem) const {
  const auto lane = lanes_.find(modem);
  return lane != lanes_.end() && lane->second.up;
}

void Router::Clear() {
  for (auto& [name, lane] : lanes_) {
    lane.queue.clear();
    lane.in_flight = 0;
  }
  aside_.clear();
}

std::string Router::Add(Item item, std::int64_t now_ms) { return Place(std::move(item), now_ms); }

void Router::Steal(const std::string& modem) {
  std::vector<std::pair<std::string, Lane*>> others;
  for (auto& [name, lane] : lanes_) {
    if (name != modem && !lane.queue.empty()) others.emplace_back(name, &lane);
  }
  std::stable_sort(others.begin(), others.end(), [](const auto& a, const auto& b) {
    return a.second->queue.size() > b.second->queue.size();
  });
  for (auto& [owner, lane] : others) {
    for (auto item = lane->queue.begin(); item != lane->queue.end(); ++item) {
      if (!item->want.modem.empty()) continue;
      const int fit = FitOf(routes_, item->want, modem);
      if (fit >= 0 && fit >= FitOf(routes_, item->want, owner)) {
        lanes_[modem].queue.push_back(std::move(*item));
        lane->queue.erase(item);
        return;
      }
    }
  }
}

std::optional<std::int64_t> Router::Next(const std::string& modem) {
  auto lane = lanes_.find(modem);
  if (lane == lanes_.end()) return std::nullopt;
  if (lane->second.queue.empty() && lane->second.up) Steal(modem);
  if (lane->second.queue.empty()) return std::nullopt;
  const std::int64_t id = lane->second.queue.front().id;
  lane->second.queue.pop_front();
  ++lane->second.in_flight;
  return id;
}

void Router::Done(const std::string& modem) {
  const auto lane = lanes_.find(modem);
  if (lane != lanes_.end() && lane->second.in_flight > 0) --lane->second.in_flight;
}

std::vector<std::string> Router::Tick(std::int64_t now_ms) {
  std::vector<Item> waiting = std::move(aside_);
  aside_.clear();
  std::vector<std::string> woken;
  for (Item& item : waiting) {
    const std::string modem = Place(std::move(item), now_ms);
    if (!modem.empty() && std::find(woken.begin(), woken.end(), modem) == woken.end()) {
      woken.push_back(modem);
    }
  }
  return woken;
}

std::optional<std::int64_t> Router::NextDue(std::int64_t now_ms) const {
  std::optional<std::int64_t> out;
  for (const Item& item : aside_) {
    if (item.due_ms > now_ms && (!out || item.due_ms < *out)) out = item.due_ms;
  }
  return out;
}

int Router::Depth(const std::string& modem) const {
  const auto lane = lanes_.find(modem);
  if (lane == lanes_.end()) return 0;
  return static_cast<int>(lane->second.queue.size()) + lane->second.in_flight;
}

}  // namespace selvarn::service::routing
