// Who may use the server and how often: the [Access] keys of VELWEB.INI and the
// decisions the core asks for, with the log lines they call for.
//
//   AllowFrom   addresses and networks allowed to send any request; empty: everyone
//   SendLimit   messages one client address may post per minute; 0: no limit
//   Password    a crypt(3) hash that the password of HTTP Basic credentials must match
//   TrustProxy  reverse proxies: for a request from one of them, the last
//               X-Forwarded-For address is the client
//
// Order of the checks for a request (Admit): the client's address (through a trusted
// proxy), AllowFrom (403, nothing read), a lock-out (401), the password (401). Five
// wrong passwords from one address within a minute lock it out for a minute; those of
// requests that a page of another site made (cross_site.h's MadeByAnotherPage) never
// count, for such a page chooses the credentials. Then, for a posted message, the send
// limit (TakeSend: 429).
//
// A password is hashed only once: Admit knows a password checked before, and asks for
// a check (kUnchecked) of any other. The caller has it hashed off the event loop
// (password_hasher.h) and gives the result to Checked, or, when the hasher's budget is
// spent, asks Busy for the refusal (503).
//
// Refusals, and every other line that a client can cause as often as it likes (a bad
// message, one not passed, a resolved notification left out), are logged at most once a
// minute per address and kind, with the count of those left out since, and all of them
// together at most kRefusalLinesPerWindow a minute, so that no flood, from one address
// or many, grows the log (and the shared system log) without bound. A message handed
// over keeps its line: the send limit bounds those. Everything per address lives in a ClientLedger
// of bounded size.
//
// With users (SetUsers, from VELWEB.USR: user_accounts.h) every request must carry the
// Basic credentials of one: a user of the file by their own password (the Sender then
// carries the user), or any other name by [Access] Password where one is set (a shared
// account, as without users: the Sender is the address alone). Wrong passwords count
// per address and, for a user of the file, per user too: five within a minute lock that
// user out for a minute from every address, and nobody else. A user's SendLimit counts
// per user (the [Access] one where the user has none).
//
// With none of the keys set and no users, Active() is false and SendLimit() 0: the core
// then asks nothing of this class, and a request costs nothing more than before.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "basic_auth.h"
#include "client_ledger.h"
#include "ip_networks.h"
#include "users_file.h"

namespace vel {

struct AccessSettings {
  std::vector<Network> allowFrom;
  int sendLimit = 0;
  std::string passwordHash;
  std::vector<Network> trustProxy;
};

// The settings from the key values as the profile gives them (SendLimit as read: a
// leading number). False, with a message naming the key and what to write, when a key
// cannot be used: an entry that is no address or network, a password that is no usable
// hash. A negative SendLimit reads as 0.
bool ParseAccessSettings(const std::string& allowFrom, double sendLimit,
                         const std::string& password, const std::string& trustProxy,
                         AccessSettings& settings, std::string& error);

enum class Refusal {
  kNone,
  kAddress,        // outside AllowFrom: 403
  kPassword,       // no credentials: 401
  kWrongPassword,  // wrong ones: 401
  kLockedOut,      // too many wrong passwords of late: 401
  kUnchecked,      // a password not known yet: Decision::password must be hashed first
  kBusy,           // more passwords to hash than the budget allows: 503, try again soon
};

class AccessPolicy {
 public:
  static constexpr int kRefusalLinesPerWindow = 100;

  explicit AccessPolicy(AccessSettings settings = {}, size_t maxClients = 4096);

  // Any check to make for every request: allowed addresses, a password, proxies.
  bool Active() const { return active_; }
  int SendLimit() const { return settings_.sendLimit; }

  // The client of a request that came from `peer`: the last X-Forwarded-For address
  // when `peer` is a trusted proxy and the request names one, else `peer`.
  Sender ClientOf(const IpAddress& peer, const HttpRequest& request) const;

  struct Decision {
    Refusal refusal = Refusal::kNone;
    Sender client;
    std::vector<std::string> logLines;  // to log, in this order
    std::string password;               // kUnchecked: the one presented
    std::string hash;                   // kUnchecked: the hash to check it against
  };
  Decision Admit(const IpAddress& peer, const HttpRequest& request, int64_t nowMs);
  // The end of a kUnchecked decision: whether `password` matched the hash. Remembered,
  // so that the same password is known at once from now on.
  // `countsToLockOut`: false for a request that a page of another site made.
  Decision Checked(const Sender& client, const std::string& password, bool matched, int64_t nowMs,
                   bool countsToLockOut = true, const std::string& hash = {});
  // The refusal of a kUnchecked request that the hasher had no room for.
  Decision Busy(const Sender& client, int64_t nowMs);
  const std::string& PasswordHash() const { return settings_.passwordHash; }

  // The users of the users file (nullptr: no accounts). The passwords checked before
  // stay known for the hashes that stay.
  void SetUsers(std::shared_ptr<const std::vector<UserAccount>> users);
  bool Accounts() const { return users_ != nullptr; }
  // The user of the file that `client` is (nullptr for a sender without one, or one
  // who is gone since): valid until the next SetUsers.
  const UserAccount* UserOf(const Sender& client) const;
  // The user of `client` when they may page only some receivers: the pages list those.
  std::optional<UserAccount> RestrictedViewer(const std::optional<Sender>& client) const {
    const UserAccount* user = client ? UserOf(*client) : nullptr;
    if (!user || user->receivers.empty()) return std::nullopt;
    return *user;
  }
  // The messages per minute that `client` may send (0: no limit).
  int SendLimitOf(const Sender& client) const;

  struct SendPermit {
    bool allowed = true;
    std::vector<std::string> logLines;
  };
  // For a complete message from `client`: whether it may go on to the alarm server. It
  // counts against the limit whether or not the alarm server then takes it.
  SendPermit TakeSend(const Sender& client, int64_t nowMs);

  // The line about a bad message request from `client`, coalesced as a refusal is.
  // `lines` gets the lines.
  void BadRequest(const Sender& client, const std::string& line, int64_t nowMs,
                  std::vector<std::string>& lines);

  // The line about a post from another web site refused for `client`, coalesced.
  std::vector<std::string> CrossSite(const Sender& client, int64_t nowMs);
  // The line about a request of `client` for the host `name` (HostNames), coalesced.
  std::vector<std::string> UnknownHost(const Sender& client, const std::string& name,
                                       int64_t nowMs);
  // `line`, when it is the first of its kind for `client` this minute (within the budget
  // of all such lines); for what a client can cause as often as it likes.
  std::vector<std::string> OnceAMinute(const Sender& client, RefusalLog kind,
                                       const std::string& line, int64_t nowMs) {
    std::vector<std::string> lines;
    Coalesced(client, kind, line, nowMs, lines);
    return lines;
  }
  // Whether `peer` is a trusted proxy.
  bool TrustsProxy(const IpAddress& peer) const {
    return !settings_.trustProxy.empty() && InNetworks(settings_.trustProxy, peer);
  }

 private:
  // Refuses a wrong password of `decision.client`, and counts it towards a lock-out.
  void Wrong(Decision& decision, int64_t nowMs, bool countsToLockOut);
  // Adds `line` to `lines` when the refusal of this kind is the first of the window for
  // `client`, within the budget of all refusal lines.
  void Coalesced(const Sender& client, RefusalLog kind, const std::string& line, int64_t nowMs,
                 std::vector<std::string>& lines);
  // Adds `line` to `lines` while the refusal lines of this minute are within their
  // budget; the first one past it is a notice instead.
  void WithinBudget(const std::string& line, int64_t nowMs, std::vector<std::string>& lines);

  AccessSettings settings_;
  bool active_ = false;
  PasswordCheck& CheckOf(const std::string& hash);

  PasswordCheck password_;
  std::shared_ptr<const std::vector<UserAccount>> users_;
  std::map<std::string, PasswordCheck> userChecks_;  // by hash
  ClientLedger ledger_;
  int64_t budgetStartMs_ = 0;
  int budgetUsed_ = 0;
  bool budgetStarted_ = false;
};

}  // namespace vel
