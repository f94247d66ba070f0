#include "metrics.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "kept_commands.h"
#include "terminal_text.h"

namespace vel {

namespace {

// Sorted.
constexpr size_t kCommonStatuses[] = {200, 400, 401, 403, 404, 411, 413, 429, 503};

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, uint64_t value) {
  out += name + " " + std::to_string(value) + "\n";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

// A Windows-1252 text as a label value: UTF-8, with backslash, quote and line end escaped.
std::string LabelValue(const std::string& cp1252) {
  std::string out;
  for (const char c : TerminalText::Utf8().ToTerminal(cp1252)) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void RenderOutbox(std::string& out, const Gauges& g) {
  const OutboxCounts& o = *g.outbox;
  Family(out, "velweb_outbox_messages", "gauge",
         "Messages in the outbox that the alarm server has not taken yet, by state.");
  Sample(out, "velweb_outbox_messages{state=\"queued\"}", o.queued);
  Sample(out, "velweb_outbox_messages{state=\"passed\"}", o.passed);
  Family(out, "velweb_outbox_oldest_seconds", "gauge",
         "Seconds since the oldest message not taken yet was accepted (0: none).");
  Sample(out, "velweb_outbox_oldest_seconds", static_cast<uint64_t>(g.outboxOldestSeconds));
  Family(out, "velweb_outbox_failing", "gauge", "1 while the outbox's disk refuses writes.");
  Sample(out, "velweb_outbox_failing", g.outboxFailing ? 1 : 0);
  Family(out, "velweb_outbox_accepted_total", "counter", "Messages accepted into the outbox.");
  Sample(out, "velweb_outbox_accepted_total", o.accepted);
  Family(out, "velweb_outbox_taken_total", "counter",
         "Messages seen taken out of the command buffer by the alarm server.");
  Sample(out, "velweb_outbox_taken_total", o.taken);
  Family(out, "velweb_outbox_expired_total", "counter",
         "Messages dropped unpassed after [Outbox] ExpireSeconds.");
  Sample(out, "velweb_outbox_expired_total", o.expired);
  Family(out, "velweb_outbox_passed_again_total", "counter",
         "Messages passed again at a start: passed before, their taking not seen.");
  Sample(out, "velweb_outbox_passed_again_total", o.passedAgain);
  Family(out, "velweb_outbox_syncs_total", "counter",
         "Syncs of the outbox's journal (one for every group of messages accepted at once).");
  Sample(out, "velweb_outbox_syncs_total", o.syncs);
  Family(out, "velweb_outbox_taken_seconds", "histogram",
         "Seconds from a message's acceptance to its taking by the alarm server.");
  for (size_t b = 0; b < kTakenSecondsBounds.size(); ++b) {
    std::string bound = std::to_string(kTakenSecondsBounds[b]);
    bound.erase(bound.find_last_not_of('0') + 1);
    if (bound.back() == '.') bound.pop_back();
    Sample(out, "velweb_outbox_taken_seconds_bucket{le=\"" + bound + "\"}", o.takenWithin[b]);
  }
  Sample(out, "velweb_outbox_taken_seconds_bucket{le=\"+Inf\"}", o.taken);
  out += "velweb_outbox_taken_seconds_sum " + std::to_string(o.takenSecondsSum) + "\n";
  Sample(out, "velweb_outbox_taken_seconds_count", o.taken);
}

}  // namespace

std::string ServerMetrics::Render(const Gauges& g) const {
  std::string out;
  Family(out, "velweb_requests_total", "counter", "Requests answered, by HTTP status.");
  // The statuses the server answers with are there from the first scrape, so that an
  // increase() over a fresh server sees the first burst; others once they happen.
  for (size_t status = 0; status < responses_.size(); ++status) {
    if (responses_[status] == 0 &&
        !std::binary_search(std::begin(kCommonStatuses), std::end(kCommonStatuses), status)) {
      continue;
    }
    Sample(out, "velweb_requests_total{status=\"" + std::to_string(status) + "\"}",
           responses_[status]);
  }
  Family(out, "velweb_served_requests_total", "counter",
         "Requests whose whole answer went out (the served count).");
  Sample(out, "velweb_served_requests_total", static_cast<uint64_t>(g.servedRequests));
  Family(out, "velweb_messages_handed_over_total", "counter",
         "Messages handed over to the alarm server's command buffer.");
  Sample(out, "velweb_messages_handed_over_total", handedOver_);
  Family(out, "velweb_refusals_total", "counter", "Requests and messages refused, by reason.");
  for (const auto& [reason, count] : refusals_)
    Sample(out, "velweb_refusals_total{reason=\"" + reason + "\"}", count);
  Family(out, "velweb_connections_open", "gauge", "Client connections open now.");
  Sample(out, "velweb_connections_open", static_cast<uint64_t>(g.connectionsOpen));
  Family(out, "velweb_connections_closed_for_room_total", "counter",
         "Connections closed to make room for a new client.");
  Sample(out, "velweb_connections_closed_for_room_total", madeRoom_);
  Family(out, "velweb_exchange_lock_timeouts_total", "counter",
         "Calls into the exchange that gave up waiting for the region lock.");
  Sample(out, "velweb_exchange_lock_timeouts_total", lockTimeouts_);
  Family(out, "velweb_messages_waiting", "gauge",
         "Messages in the command buffer that the alarm server has not taken yet.");
  Sample(out, "velweb_messages_waiting", static_cast<uint64_t>(g.waiting));
  Family(out, "velweb_buffer_unmoved_seconds", "gauge",
         "Seconds since the alarm server last took a message, or the buffer was empty.");
  Sample(out, "velweb_buffer_unmoved_seconds", static_cast<uint64_t>(g.secondsSinceMoved));
  Family(out, "velweb_alarm_server_seen", "gauge",
         "1 while an alarm server has been seen taking messages or attached to an empty buffer.");
  Sample(out, "velweb_alarm_server_seen", g.alarmServerSeen ? 1 : 0);
  Family(out, "velweb_alarm_server_taking", "gauge",
         "1 while an alarm server is seen and takes messages; 0 while none is seen, or "
         "messages wait untaken too long.");
  Sample(out, "velweb_alarm_server_taking", g.alarmServerTaking && g.alarmServerSeen ? 1 : 0);
  Family(out, "velweb_messages_kept_total", "counter",
         "Waiting messages kept in vel_kept.dat at a clean end.");
  Sample(out, "velweb_messages_kept_total", KeptCommandsTotal());
  Family(out, "velweb_messages_handed_back_total", "counter",
         "Kept messages handed back to the command buffer at a start.");
  Sample(out, "velweb_messages_handed_back_total", HandedBackCommandsTotal());
  if (g.outbox) RenderOutbox(out, g);
  if (!userAccepted_.empty() || !userRefusals_.empty()) {
    Family(out, "velweb_user_messages_accepted_total", "counter",
           "Messages of each user of the users file handed over or accepted.");
    for (const auto& [user, count] : userAccepted_) {
      Sample(out, "velweb_user_messages_accepted_total{user=\"" + LabelValue(user) + "\"}", count);
    }
    Family(out, "velweb_user_refusals_total", "counter",
           "Messages of each user of the users file refused, by reason.");
    for (const auto& [user, reasons] : userRefusals_) {
      for (const auto& [reason, count] : reasons) {
        Sample(out,
               "velweb_user_refusals_total{user=\"" + LabelValue(user) + "\",reason=\"" + reason +
                   "\"}",
               count);
      }
    }
  }
  return out;
}

std::string HealthJson(const Gauges& g, bool& healthy) {
  const bool working = g.libraryLoaded && g.regionJoined && g.alarmServerTaking;
  healthy = working && g.alarmServerSeen && !g.OutboxStalled();
  return std::string("{\"status\": \"") +
         (healthy                         ? "ok"
          : working && !g.OutboxStalled() ? "no_alarm_server"
                                          : "failing") +
         "\", \"libraryLoaded\": " + Bool(g.libraryLoaded) +
         ", \"regionJoined\": " + Bool(g.regionJoined) +
         ", \"alarmServerSeen\": " + Bool(g.alarmServerSeen) +
         ", \"alarmServerTaking\": " + Bool(g.alarmServerTaking) +
         ", \"waiting\": " + std::to_string(g.waiting) +
         ", \"secondsSinceMoved\": " + std::to_string(g.secondsSinceMoved) +
         (g.outbox ? ", \"outbox\": {\"queued\": " + std::to_string(g.outbox->queued) +
                         ", \"passed\": " + std::to_string(g.outbox->passed) +
                         ", \"oldestSeconds\": " + std::to_string(g.outboxOldestSeconds) +
                         ", \"failing\": " + Bool(g.outboxFailing) + "}"
                   : std::string()) +
         "}\n";
}

}  // namespace vel
