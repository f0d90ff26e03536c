// Taking everything the modem holds: one listing per storage, each entry stored before it
// is deleted, and the notices that carry a message or report themselves.
#include <exception>

#include "gateway/impl.hpp"
#include "messaging/session.hpp"
#include "store/receive_binding.hpp"

namespace selvarn {

namespace {

constexpr const char* kSim = "SM";
constexpr const char* kReports = "SR";

// What one entry becomes in the store; false leaves it on the modem.
class EntryKeeper {
 public:
  EntryKeeper(store::MessageStore& store, FailedEntries& failed, TakeAllResult& result)
      : store_(store), failed_(failed), r_(result) {}

  bool operator()(const messaging::SweptEntry& e) {
    if (e.message) {
      store_.StorePart(store::ToPart(*e.message));
      ++r_.parts;
      return true;
    }
    if (e.report) {
      store_.StoreReport(store::ToReport(*e.report));
      ++r_.reports;
      return true;
    }
    // Left for another try the first time, as a passing glitch of the line would be;
    // the same failure again goes to the quarantine, and the entry may go.
    const auto key = std::make_pair(e.memory, e.index);
    const auto seen = failed_.find(key);
    if (seen == failed_.end() || seen->second != std::make_pair(e.raw, e.error)) {
      failed_[key] = {e.raw, e.error};
      r_.warnings.push_back("cannot read the entry at " + e.memory + " " + std::to_string(e.index) +
                            " (" + e.error + "); it is kept for the store at the next take");
      return false;
    }
    store_.Quarantine({.memory = e.memory, .sim_index = e.index, .raw = e.raw, .error = e.error});
    failed_.erase(seen);
    ++r_.quarantined;
    return true;
  }

 private:
  store::MessageStore& store_;
  FailedEntries& failed_;
  TakeAllResult& r_;
};

// Most reports a storage holds; a bound for the one-by-one reading.
constexpr int kMostReports = 255;

// For a modem that keeps reports but will not list them in PDU mode: read one at a time
// in text mode, as SMS::GetDeliveryReport does, each kept before it is deleted.
void ReportsOneByOne(SMS& sms, EntryKeeper& keep) {
  // The reading traps every error: the store's is kept here and thrown afterwards.
  std::exception_ptr failure;
  const auto kept = [&](const messaging::SweptEntry& e) {
    try {
      return keep(e);
    } catch (...) {
      failure = std::current_exception();
      return false;
    }
  };
  sms.SetReceiveHook(
      {.report =
           [&](const ReceivedReport& r) {
             return kept({.memory = kReports, .index = r.index, .report = r});
           },
       .undecodable =
           [&](const UndecodableEntry& u) {
             return kept({.memory = u.memory, .index = u.index, .raw = u.raw, .error = u.error});
           }});
  for (int k = 0; k < kMostReports && !failure && sms.GetDeliveryReport(); ++k) {
  }
  sms.SetReceiveHook({});
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

bool Gateway::Impl::Absorb(const std::vector<Notice>& notices, std::vector<std::string>& warnings) {
  bool reports = false;
  for (const Notice& n : notices) {
    switch (n.kind) {
      case Notice::Kind::MessageStored:
      case Notice::Kind::ReportStored:
        if (n.memory == kPhoneMemory) memories.insert(n.memory);
        reports = reports || n.kind == Notice::Kind::ReportStored;
        break;
      case Notice::Kind::Message:
      case Notice::Kind::Report: {
        // Handed over without being stored: the store is the only place it will be.
        const messaging::SweptEntry e = messaging::DecodeEntry("", 0, n.data);
        TakeAllResult scratch;
        if (e.message || e.report) {
          EntryKeeper(store, failed, scratch)(e);
          reports = reports || e.report.has_value();
        } else {
          warnings.push_back("cannot read a message handed over (" + n.line + "): " + e.error);
        }
        break;
      }
    }
  }
  return reports;
}

TakeAllResult Gateway::TakeAll() {
  Impl& s = *impl_;
  TakeAllResult result;
  if (!IsOpen()) throw RuntimeError(err::kDeviceNotOpen, "Port not open: open the modem first");
  // What was announced before is in the listings below; the names are what counts.
  messaging::Listen();
  s.Absorb(s.sms.TakeNotices(), result.warnings);
  // "SM" last, so that it is the storage selected afterwards, as the SMS methods expect.
  std::vector<std::string> order(s.memories.begin(), s.memories.end());
  order.push_back(kReports);
  order.push_back(kSim);
  EntryKeeper keep(s.store, s.failed, result);
  bool sim_selected = false;
  try {
    for (const std::string& memory : order) {
      messaging::SweepResult swept = messaging::Sweep(memory, std::ref(keep));
      sim_selected = memory == kSim;
      for (std::string& why : swept.skipped) {
        result.warnings.push_back(memory + ": passed over " + std::move(why));
      }
      result.left += swept.left;
      result.stuck = result.stuck || swept.stuck;
      if (!swept.listed && memory != kReports) result.unlisted = true;
      if (swept.selected && !swept.listed && memory == kReports) ReportsOneByOne(s.sms, keep);
    }
  } catch (...) {
    try {
      if (!sim_selected) messaging::SelectSim();
    } catch (const std::exception&) {
    }
    throw;
  }
  return result;
}

}  // namespace selvarn
