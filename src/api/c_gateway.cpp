// The modem session for C: selvarn_gateway_* over selvarn::Gateway. Every result is made in
// full before it is handed over, so a call that fails leaves its outputs empty and leaks
// nothing; exceptions end in the guard and the thread's error info.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "api/c_abi.hpp"
#include "selvarn/gateway.hpp"
#include "selvarn/selvarn_sms.h"

struct selvarn_gateway {
  selvarn::Gateway gateway;
};

namespace selvarn::api::c_gateway {

using c_abi::BadArgument;
using c_abi::FillStartReport;
using c_abi::Guard;
using c_abi::InText;
using c_abi::NewString;
using c_abi::NullPointer;
using c_abi::Out;
using c_abi::SendCodingOf;

namespace {

Gateway& Session(selvarn_gateway* gw) {
  if (gw == nullptr) NullPointer();
  return gw->gateway;
}

// A library-allocated array of n zeroed entries (NULL for none), freed with std::free.
template <typename T>
T* NewArray(std::size_t n) {
  if (n == 0) return nullptr;
  void* block = std::calloc(n, sizeof(T));
  if (block == nullptr) throw std::bad_alloc();
  return static_cast<T*>(block);
}

Outgoing FromC(const selvarn_outgoing* m) {
  const selvarn_outgoing& in = Out(m);
  return {.number = InText(in.number),
          .text = InText(in.text),
          .coding = SendCodingOf(in.coding),
          .report = in.report != 0,
          .reference = in.reference};
}

// --- Results ------------------------------------------------------------------------
// Each To* fills a zeroed C struct; when it throws half way, the caller clears what it
// filled, so the Clear functions must take partly filled structs.

void ToC(const store::SentRecord& r, selvarn_sent_record& out) {
  out.id = r.id;
  out.coding = static_cast<std::int32_t>(r.coding);
  out.sent_at = r.sent_at;
  out.state = static_cast<std::int32_t>(r.state);
  out.send_state = static_cast<std::int32_t>(r.send_state);
  out.recipient = NewString(r.recipient);
  out.text = NewString(r.text);
  out.error = NewString(r.error);
  out.parts = NewArray<selvarn_sent_part>(r.parts.size());
  out.part_count = static_cast<std::int32_t>(r.parts.size());
  for (std::size_t i = 0; i < r.parts.size(); ++i) {
    const store::SentPart& p = r.parts[i];
    out.parts[i] = {p.sequence,
                    p.reference,
                    static_cast<std::int32_t>(p.state),
                    p.status.value_or(-1),
                    p.reported_at.value_or(0),
                    static_cast<std::int32_t>(p.send)};
  }
}

void ToC(const store::Message& m, selvarn_message& out) {
  out.id = m.id;
  out.total = m.total;
  out.present = static_cast<std::int32_t>(m.parts.size());
  out.reference = m.concat ? m.concat->reference : -1;
  out.received_at = m.received_at;
  out.completed_at = m.completed_at.value_or(0);
  out.handed_out_at = m.handed_out_at.value_or(0);
  const store::Part none;
  const store::Part& first = m.parts.empty() ? none : m.parts.front();
  out.sender = NewString(m.sender);
  out.text = NewString(m.Text());
  out.smsc = NewString(first.smsc);
  out.scts = NewString(first.scts);
}

void ToC(const store::StoredReport& r, selvarn_report& out) {
  out.id = r.id;
  out.reference = r.report.reference;
  out.status = r.report.status;
  out.received_at = r.report.received_at;
  out.sent_id = r.sent_id.value_or(0);
  out.sequence = r.sequence;
  out.recipient = NewString(r.report.recipient);
  out.scts = NewString(r.report.scts);
  out.discharge = NewString(r.report.discharge);
}

void ClearMessage(selvarn_message& m) {
  for (char* s : {m.sender, m.text, m.smsc, m.scts}) selvarn_FreeString(s);
  m = selvarn_message{};
}

void ClearReport(selvarn_report& r) {
  for (char* s : {r.recipient, r.scts, r.discharge}) selvarn_FreeString(s);
  r = selvarn_report{};
}

void ToC(const store::SendOutcome& o, selvarn_send_outcome& out) {
  out.id = o.id;
  out.coding = static_cast<std::int32_t>(o.coding);
  out.error_number = o.error_number;
  out.error = NewString(o.error);
  out.references = NewArray<std::int32_t>(o.references.size());
  out.reference_count = static_cast<std::int32_t>(o.references.size());
  std::copy(o.references.begin(), o.references.end(), out.references);
  if (o.record) {
    out.has_record = 1;
    ToC(*o.record, out.record);
  }
}

// A list of items as a library-allocated array, made whole before it is handed over.
template <typename C, typename T>
void ListToC(const std::vector<T>& items, C** out_items, std::int32_t* out_count,
             void (*clear)(C&)) {
  C*& items_out = Out(out_items);
  std::int32_t& count_out = Out(out_count);
  items_out = nullptr;
  count_out = 0;
  C* made = NewArray<C>(items.size());
  std::size_t done = 0;
  try {
    for (; done < items.size(); ++done) ToC(items[done], made[done]);
  } catch (...) {
    for (std::size_t i = 0; i <= done && i < items.size(); ++i) clear(made[i]);
    std::free(made);
    throw;
  }
  items_out = made;
  count_out = static_cast<std::int32_t>(items.size());
}

// Fills a single result: *out is emptied first, and left empty when making it fails.
template <typename C, typename T>
void OneToC(const T& value, C* out, void (*clear)(C*)) {
  C& target = Out(out);
  target = C{};
  C made{};
  try {
    ToC(value, made);
  } catch (...) {
    clear(&made);
    throw;
  }
  target = made;
}

void ClearRecordRef(selvarn_sent_record& r) { selvarn_sent_record_clear(&r); }

}  // namespace
}  // namespace selvarn::api::c_gateway

// NOLINTNEXTLINE(google-build-using-namespace): the helpers of the C entry points below
using namespace selvarn::api::c_gateway;

extern "C" {

void selvarn_gateway_options_init(selvarn_gateway_options* options) {
  if (options == nullptr) return;
  *options = {.device = nullptr,
              .port = 1,
              .pin = nullptr,
              .store = nullptr,
              .part_wait = 120,
              .sweep = 30};
}

selvarn_hresult selvarn_gateway_new(const selvarn_gateway_options* options,
                                    selvarn_gateway** gateway) {
  return Guard([&] {
    selvarn_gateway*& out = Out(gateway);
    out = nullptr;
    const selvarn_gateway_options& o = Out(options);
    if (o.part_wait < 1 || o.part_wait > 32767) {
      BadArgument("part_wait " + std::to_string(o.part_wait) + " (seconds, 1-32767)");
    }
    if (o.sweep < 1) BadArgument("sweep " + std::to_string(o.sweep) + " (seconds, at least 1)");
    out = new selvarn_gateway{
        selvarn::Gateway(selvarn::GatewayOptions{.device = InText(o.device),
                                                 .port = o.port,
                                                 .pin = InText(o.pin),
                                                 .store = InText(o.store),
                                                 .part_wait = o.part_wait,
                                                 .sweep = std::chrono::seconds(o.sweep)})};
  });
}

void selvarn_gateway_free(selvarn_gateway* gateway) {
  delete gateway;  // closes the modem
}

selvarn_hresult selvarn_gateway_open(selvarn_gateway* gateway, int32_t* status) {
  return Guard([&] {
    std::int32_t& out = Out(status);
    out = static_cast<std::int32_t>(Session(gateway).Open());
  });
}

selvarn_hresult selvarn_gateway_start_report(selvarn_gateway* gateway,
                                             selvarn_start_report* report) {
  return Guard([&] { FillStartReport(Session(gateway).LastStart(), Out(report)); });
}

selvarn_hresult selvarn_gateway_close(selvarn_gateway* gateway) {
  return Guard([&] { Session(gateway).Close(); });
}

selvarn_hresult selvarn_gateway_registered(selvarn_gateway* gateway,
                                           selvarn_variant_bool* registered) {
  return Guard([&] {
    selvarn_variant_bool& out = Out(registered);
    out = SELVARN_VARIANT_FALSE;
    if (Session(gateway).Registered()) out = SELVARN_VARIANT_TRUE;
  });
}

selvarn_hresult selvarn_gateway_plan(const char* text, int32_t coding, selvarn_text_plan* plan) {
  return Guard([&] {
    selvarn_text_plan& out = Out(plan);
    out = selvarn_text_plan{};
    const selvarn::TextPlan p = selvarn::Plan(InText(text), SendCodingOf(coding));
    std::int32_t* lengths = NewArray<std::int32_t>(p.lengths.size());
    std::copy(p.lengths.begin(), p.lengths.end(), lengths);
    out = {static_cast<std::int32_t>(p.coding), p.concatenated ? 1 : 0, p.unmapped, p.Parts(),
           lengths};
  });
}

void selvarn_text_plan_clear(selvarn_text_plan* plan) {
  if (plan == nullptr) return;
  std::free(plan->lengths);
  *plan = selvarn_text_plan{};
}

void selvarn_outgoing_init(selvarn_outgoing* message) {
  if (message == nullptr) return;
  *message = {.number = nullptr,
              .text = nullptr,
              .coding = SELVARN_SEND_AUTO,
              .report = 1,
              .reference = -1};
}

void selvarn_sent_record_clear(selvarn_sent_record* record) {
  if (record == nullptr) return;
  for (char* s : {record->recipient, record->text, record->error}) selvarn_FreeString(s);
  std::free(record->parts);
  *record = selvarn_sent_record{};
}

void selvarn_sent_records_free(selvarn_sent_record* records, int32_t count) {
  if (records == nullptr) return;
  for (std::int32_t i = 0; i < count; ++i) selvarn_sent_record_clear(&records[i]);
  std::free(records);
}

void selvarn_send_outcome_clear(selvarn_send_outcome* outcome) {
  if (outcome == nullptr) return;
  selvarn_sent_record_clear(&outcome->record);
  selvarn_FreeString(outcome->error);
  std::free(outcome->references);
  *outcome = selvarn_send_outcome{};
}

selvarn_hresult selvarn_gateway_send(selvarn_gateway* gateway, const selvarn_outgoing* message,
                                     selvarn_progress_fn progress, void* user,
                                     selvarn_send_outcome* outcome) {
  return Guard([&] {
    Out(outcome) = selvarn_send_outcome{};
    selvarn::Gateway& gw = Session(gateway);
    const selvarn::Outgoing m = FromC(message);
    std::function<void(int, int)> step;
    if (progress != nullptr) step = [&](int taken, int total) { progress(taken, total, user); };
    OneToC(gw.Send(m, step), outcome, selvarn_send_outcome_clear);
  });
}

selvarn_hresult selvarn_gateway_wait_reports(selvarn_gateway* gateway, int64_t id, int32_t limit_ms,
                                             selvarn_sent_record* record) {
  bool found = false;
  const selvarn_hresult hr = Guard([&] {
    Out(record) = selvarn_sent_record{};
    if (limit_ms < 0) BadArgument("limit_ms " + std::to_string(limit_ms) + " (at least 0)");
    const auto got = Session(gateway).WaitReports(id, std::chrono::milliseconds(limit_ms));
    if (got) OneToC(*got, record, selvarn_sent_record_clear);
    found = got.has_value();
  });
  return hr == SELVARN_S_OK && !found ? SELVARN_S_FALSE : hr;
}

selvarn_hresult selvarn_gateway_enqueue(selvarn_gateway* gateway, const selvarn_outgoing* message,
                                        int64_t* id) {
  return Guard([&] {
    std::int64_t& out = Out(id);
    out = 0;
    out = Session(gateway).Enqueue(FromC(message));
  });
}

selvarn_hresult selvarn_gateway_hand_to_watcher(const char* store_path,
                                                const selvarn_outgoing* message, int64_t* id) {
  return Guard([&] {
    std::int64_t& out = Out(id);
    out = 0;
    out = selvarn::HandToWatcher(InText(store_path), FromC(message));
  });
}

selvarn_hresult selvarn_gateway_take(selvarn_gateway* gateway, selvarn_take_result* result) {
  return Guard([&] {
    selvarn_take_result& out = Out(result);
    out = selvarn_take_result{};
    const selvarn::TakeAllResult r = Session(gateway).TakeAll();
    selvarn_take_result made{
        r.parts, r.reports, r.quarantined, r.left, r.stuck ? 1 : 0, r.unlisted ? 1 : 0, 0, nullptr};
    try {
      made.warnings = NewArray<char*>(r.warnings.size());
      for (const std::string& w : r.warnings) made.warnings[made.warning_count++] = NewString(w);
    } catch (...) {
      selvarn_take_result_clear(&made);
      throw;
    }
    out = made;
  });
}

void selvarn_take_result_clear(selvarn_take_result* result) {
  if (result == nullptr) return;
  for (std::int32_t i = 0; i < result->warning_count; ++i) selvarn_FreeString(result->warnings[i]);
  std::free(result->warnings);
  *result = selvarn_take_result{};
}

void selvarn_messages_free(selvarn_message* messages, int32_t count) {
  if (messages == nullptr) return;
  for (std::int32_t i = 0; i < count; ++i) ClearMessage(messages[i]);
  std::free(messages);
}

void selvarn_reports_free(selvarn_report* reports, int32_t count) {
  if (reports == nullptr) return;
  for (std::int32_t i = 0; i < count; ++i) ClearReport(reports[i]);
  std::free(reports);
}

selvarn_hresult selvarn_gateway_new_messages(selvarn_gateway* gateway, selvarn_message** items,
                                             int32_t* count) {
  return Guard(
      [&] { ListToC(Session(gateway).Store().NewMessages(), items, count, ClearMessage); });
}

selvarn_hresult selvarn_gateway_mark_handed_out(selvarn_gateway* gateway, int64_t id,
                                                int32_t* marked) {
  return Guard([&] {
    std::int32_t& out = Out(marked);
    out = 0;
    out = Session(gateway).Store().MarkHandedOut(id) ? 1 : 0;
  });
}

selvarn_hresult selvarn_gateway_inbox(selvarn_gateway* gateway, int64_t since,
                                      selvarn_message** items, int32_t* count) {
  return Guard([&] { ListToC(Session(gateway).Store().Inbox(since), items, count, ClearMessage); });
}

selvarn_hresult selvarn_gateway_outbox(selvarn_gateway* gateway, int64_t since,
                                       selvarn_sent_record** items, int32_t* count) {
  return Guard(
      [&] { ListToC(Session(gateway).Store().Outbox(since), items, count, ClearRecordRef); });
}

selvarn_hresult selvarn_gateway_sent(selvarn_gateway* gateway, int64_t id,
                                     selvarn_sent_record* record) {
  bool found = false;
  const selvarn_hresult hr = Guard([&] {
    Out(record) = selvarn_sent_record{};
    const auto got = Session(gateway).Store().Sent(id);
    if (got) OneToC(*got, record, selvarn_sent_record_clear);
    found = got.has_value();
  });
  return hr == SELVARN_S_OK && !found ? SELVARN_S_FALSE : hr;
}

selvarn_hresult selvarn_gateway_reports(selvarn_gateway* gateway, int64_t since,
                                        selvarn_report** items, int32_t* count) {
  return Guard(
      [&] { ListToC(Session(gateway).Store().Reports(since), items, count, ClearReport); });
}

selvarn_hresult selvarn_gateway_watch(selvarn_gateway* gateway,
                                      const selvarn_watch_handlers* handlers) {
  return Guard([&] {
    selvarn::Gateway& gw = Session(gateway);
    const selvarn_watch_handlers h = handlers != nullptr ? *handlers : selvarn_watch_handlers{};
    selvarn::WatchHandlers cpp;
    // What a callback sees is lent for the call: made here, cleared when it returns.
    if (h.message != nullptr) {
      cpp.message = [&](const selvarn::store::Message& m) {
        selvarn_message lent{};
        std::unique_ptr<selvarn_message, void (*)(selvarn_message*)> clear(
            &lent, [](selvarn_message* p) { ClearMessage(*p); });
        ToC(m, lent);
        h.message(&lent, h.user);
      };
    }
    if (h.report != nullptr) {
      cpp.report = [&](const selvarn::store::StoredReport& r,
                       const selvarn::store::ReportResult& result) {
        selvarn_report lent{};
        std::unique_ptr<selvarn_report, void (*)(selvarn_report*)> clear(
            &lent, [](selvarn_report* p) { ClearReport(*p); });
        ToC(r, lent);
        h.report(&lent, static_cast<std::int32_t>(result.message_state), h.user);
      };
    }
    if (h.sent != nullptr) {
      cpp.sent = [&](const selvarn::store::SendOutcome& o) {
        selvarn_send_outcome lent{};
        std::unique_ptr<selvarn_send_outcome, void (*)(selvarn_send_outcome*)> clear(
            &lent, selvarn_send_outcome_clear);
        ToC(o, lent);
        h.sent(&lent, h.user);
      };
    }
    if (h.warning != nullptr) {
      cpp.warning = [&](const std::string& line) { h.warning(line.c_str(), h.user); };
    }
    gw.Watch(cpp);
  });
}

void selvarn_gateway_stop(selvarn_gateway* gateway) {
  if (gateway != nullptr) gateway->gateway.Stop();
}

}  // extern "C"
