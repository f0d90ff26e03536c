// Which modem sends which message: the choice itself, free of threads and of the store, so
// that it is tested on tables. The service holds one Router under its lock.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace selvarn::service::routing {

struct Route {
  std::string name;
  std::vector<std::string> prefixes{};  // none: it sends for any number
  std::vector<std::string> tags{};
};

// What a message asks of its modem.
struct Want {
  std::string to;
  std::string modem{};  // this one, up or not
  std::string tag{};    // one with this tag
};

// How well `route` fits a message to `to`: the length of its longest prefix that starts the
// number, 0 for a modem without prefixes, -1 when it may not send for the number.
int Fit(const Route& route, const std::string& to);

// The modems that may send the message, best fit first (in configuration order among
// equals): the one named; else those with the tag; else any. Within a tag or among all, only
// the best fit counts; a modem whose prefixes do not match may not send at all.
std::vector<std::size_t> Candidates(const std::vector<Route>& routes, const Want& want);

// What a message cannot be routed for, checked before it is queued: the field at fault and
// why; nullopt when some modem may send it.
struct Unroutable {
  std::string field, message;
};
std::optional<Unroutable> Check(const std::vector<Route>& routes, const Want& want);

// Messages shared out among the modems: each waits in one modem's queue, or aside while no
// modem that may send it is up, or until its time for another attempt.
class Router {
 public:
  struct Item {
    std::int64_t id = 0;
    Want want;
    std::int64_t due_ms = 0;  // not before this time (the caller's clock); 0: at once
  };

  // Sets the modems (names, prefixes and tags); modems kept by name keep their state and
  // queue, the queues of modems removed are shared out again, as are items that no longer
  // fit where they wait.
  void Configure(std::vector<Route> routes, std::int64_t now_ms);
  // A modem came up (what waits aside for it is routed) or went down (its queue moves to the
  // others, but for the messages that named it).
  void SetUp(const std::string& modem, bool up, std::int64_t now_ms);
  bool IsUp(const std::string& modem) const;

  // Routes a message at `now_ms`: to the modem with the shortest queue among the best fitting
  // modems that are up; aside when none is, or when it is not yet due. Returns the modem
  // chosen, empty when it waits aside.
  std::string Add(Item item, std::int64_t now_ms);
  // Forgets every message, queued or aside; the modems keep their state.
  void Clear();
  // The next message for `modem`, counted in flight until Done. A modem with an empty queue
  // takes the first message it fits as well as its own modem does from the longest other
  // queue (not one that named a modem): one that comes up after the others, as after a
  // restart when the first up took all that was waiting, would otherwise idle beside a
  // backlog.
  std::optional<std::int64_t> Next(const std::string& modem);
  void Done(const std::string& modem);
  // Routes again what waits aside and is now due and has a modem up; returns the modems
  // that got messages.
  std::vector<std::string> Tick(std::int64_t now_ms);
  // The earliest time after `now_ms` that an item set aside falls due; nullopt for none.
  std::optional<std::int64_t> NextDue(std::int64_t now_ms) const;

  // Queued for the modem, the one in flight included.
  int Depth(const std::string& modem) const;
  int Aside() const { return static_cast<int>(aside_.size()); }
  const std::vector<Route>& Routes() const { return routes_; }

 private:
  struct Lane {
    bool up = false;
    std::deque<Item> queue{};
    int in_flight = 0;
  };
  std::string Place(Item item, std::int64_t now_ms);
  void Reshare(std::deque<Item> items, std::int64_t now_ms);
  void Steal(const std::string& modem);

  std::vector<Route> routes_;
  std::map<std::string, Lane> lanes_;
  std::vector<Item> aside_;
};

}  // namespace selvarn::service::routing
