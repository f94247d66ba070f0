#include "access_policy.h"

#include <algorithm>

#include "cross_site.h"
#include "password_hash.h"
#include "user_accounts.h"
#include "vel_proc.h"

namespace vel {

bool ParseAccessSettings(const std::string& allowFrom, double sendLimit,
                         const std::string& password, const std::string& trustProxy,
                         AccessSettings& settings, std::string& error) {
  settings = AccessSettings{};
  std::string why;
  if (!ParseNetworks(allowFrom, settings.allowFrom, why)) {
    error = "[Access] AllowFrom in VELWEB.INI: " + why +
            ". Write addresses and networks such as 192.168.10.0/24, 10.1.2.3, ::1.";
    return false;
  }
  if (!ParseNetworks(trustProxy, settings.trustProxy, why)) {
    error = "[Access] TrustProxy in VELWEB.INI: " + why +
            ". Write the addresses of the proxies, such as 127.0.0.1.";
    return false;
  }
  if (!password.empty() && !UsablePasswordHash(password, why)) {
    error = "[Access] Password in VELWEB.INI cannot be used: " + why +
            ". Write the line that velctl passwd prints.";
    return false;
  }
  settings.passwordHash = password;
  // Read as the other number keys are (rounded, halves to even); a million a minute is
  // as good as no limit, and keeps the count within an int.
  settings.sendLimit = static_cast<int>(std::clamp<int64_t>(RoundHalfEven(sendLimit), 0, 1000000));
  return true;
}

AccessPolicy::AccessPolicy(AccessSettings settings, size_t maxClients)
    : settings_(std::move(settings)),
      active_(!settings_.allowFrom.empty() || !settings_.passwordHash.empty() ||
              !settings_.trustProxy.empty()),
      password_(settings_.passwordHash),
      ledger_(maxClients) {}

namespace {

// The ledger's record of a user, whatever the address: no address is the unspecified one.
Sender UserKey(const std::string& user) { return Sender(IpAddress{}, user); }

}  // namespace

void AccessPolicy::SetUsers(std::shared_ptr<const std::vector<UserAccount>> users) {
  users_ = std::move(users);
  active_ = active_ || users_ != nullptr;
  std::map<std::string, PasswordCheck> kept;
  if (users_) {
    for (const UserAccount& user : *users_) {
      auto found = userChecks_.find(user.passwordHash);
      if (found != userChecks_.end()) {
        kept.emplace(user.passwordHash, std::move(found->second));
        userChecks_.erase(found);
      }
    }
  }
  userChecks_ = std::move(kept);
}

const UserAccount* AccessPolicy::UserOf(const Sender& client) const {
  if (!users_ || client.user.empty()) return nullptr;
  return UserAccounts::Find(*users_, client.user);
}

int AccessPolicy::SendLimitOf(const Sender& client) const {
  const UserAccount* user = UserOf(client);
  return user && user->sendLimit ? *user->sendLimit : settings_.sendLimit;
}

PasswordCheck& AccessPolicy::CheckOf(const std::string& hash) {
  if (hash == settings_.passwordHash) return password_;
  auto found = userChecks_.find(hash);
  if (found == userChecks_.end()) found = userChecks_.emplace(hash, PasswordCheck(hash)).first;
  return found->second;
}

Sender AccessPolicy::ClientOf(const IpAddress& peer, const HttpRequest& request) const {
  if (settings_.trustProxy.empty() || !InNetworks(settings_.trustProxy, peer)) return peer;
  return LastForwardedFor(request).value_or(peer);
}

void AccessPolicy::Coalesced(const Sender& client, RefusalLog kind, const std::string& line,
                             int64_t nowMs, std::vector<std::string>& lines) {
  uint32_t unlogged = 0;
  if (!ledger_.FirstInWindow(client, kind, nowMs, &unlogged)) return;
  WithinBudget(unlogged == 0 ? line
                             : line + " (and " + std::to_string(unlogged) +
                                   " more like it not logged since the last such line)",
               nowMs, lines);
}

void AccessPolicy::WithinBudget(const std::string& line, int64_t nowMs,
                                std::vector<std::string>& lines) {
  if (!budgetStarted_ || nowMs - budgetStartMs_ >= ClientLedger::kWindowMs) {
    budgetStarted_ = true;
    budgetStartMs_ = nowMs;
    budgetUsed_ = 0;
  }
  if (budgetUsed_ > kRefusalLinesPerWindow) return;
  if (++budgetUsed_ > kRefusalLinesPerWindow) {
    lines.push_back("Too many refused HTTP requests: no more refusals are logged this minute");
    return;
  }
  lines.push_back(line);
}

AccessPolicy::Decision AccessPolicy::Admit(const IpAddress& peer, const HttpRequest& request,
                                           int64_t nowMs) {
  Decision decision;
  decision.client = ClientOf(peer, request);
  const Sender& client = decision.client;
  if (!settings_.allowFrom.empty() && !InNetworks(settings_.allowFrom, client.address)) {
    decision.refusal = Refusal::kAddress;
    Coalesced(client, RefusalLog::kAddress, "Refused HTTP request from " + client.ToText(), nowMs,
              decision.logLines);
    return decision;
  }
  if (!password_.Enabled() && !users_) return decision;
  if (ledger_.LockedOut(client, nowMs)) {
    decision.refusal = Refusal::kLockedOut;
    return decision;
  }
  const BasicCredentials credentials = ParseBasicCredentials(request);
  if (credentials.kind != BasicCredentials::Kind::kGiven) {
    decision.refusal = Refusal::kPassword;
    // A request without credentials is how a browser begins: only a wrong password counts.
    if (credentials.kind == BasicCredentials::Kind::kMalformed) {
      Wrong(decision, nowMs, !MadeByAnotherPage(request));
    }
    return decision;
  }
  // A user of the file by their own password; any other name by the shared one.
  std::string hash = settings_.passwordHash;
  if (users_) {
    if (const UserAccount* user = UserAccounts::Find(*users_, credentials.user)) {
      decision.client.user = user->name;
      if (ledger_.LockedOut(UserKey(user->name), nowMs)) {
        decision.refusal = Refusal::kLockedOut;
        return decision;
      }
      hash = user->passwordHash;
    } else if (hash.empty()) {
      Wrong(decision, nowMs, !MadeByAnotherPage(request));  // no such user
      return decision;
    }
  }
  const std::optional<bool> known = CheckOf(hash).Known(credentials.password);
  if (!known) {
    decision.refusal = Refusal::kUnchecked;
    decision.password = credentials.password;
    decision.hash = hash;
  } else if (!*known) {
    Wrong(decision, nowMs, !MadeByAnotherPage(request));
  }
  return decision;
}

AccessPolicy::Decision AccessPolicy::Checked(const Sender& client, const std::string& password,
                                             bool matched, int64_t nowMs, bool countsToLockOut,
                                             const std::string& hash) {
  CheckOf(hash.empty() ? settings_.passwordHash : hash).Remember(password, matched);
  Decision decision;
  decision.client = client;
  // Locked out while its password was being checked: the lock-out holds.
  if (ledger_.LockedOut(Sender(client.address), nowMs) ||
      (!client.user.empty() && ledger_.LockedOut(UserKey(client.user), nowMs))) {
    decision.refusal = Refusal::kLockedOut;
  } else if (!matched) {
    Wrong(decision, nowMs, countsToLockOut);
  }
  return decision;
}

AccessPolicy::Decision AccessPolicy::Busy(const Sender& client, int64_t nowMs) {
  Decision decision;
  decision.client = client;
  decision.refusal = Refusal::kBusy;
  Coalesced(client, RefusalLog::kBusy,
            "Too many HTTP passwords to check at once: refused one from " + client.ToText(), nowMs,
            decision.logLines);
  return decision;
}

void AccessPolicy::Wrong(Decision& decision, int64_t nowMs, bool countsToLockOut) {
  const Sender& client = decision.client;
  decision.refusal = Refusal::kWrongPassword;
  Coalesced(client, RefusalLog::kPassword, "Wrong HTTP password from " + client.ToText(), nowMs,
            decision.logLines);
  if (!countsToLockOut) return;
  if (ledger_.CountFailure(Sender(client.address), nowMs)) {
    decision.refusal = Refusal::kLockedOut;
    WithinBudget("Locked out " + client.address.ToText() + " for a minute after " +
                     std::to_string(ClientLedger::kFailuresToLock) + " wrong HTTP passwords",
                 nowMs, decision.logLines);
  }
  // A user's wrong passwords count from every address together.
  if (!client.user.empty() && ledger_.CountFailure(UserKey(client.user), nowMs)) {
    decision.refusal = Refusal::kLockedOut;
    WithinBudget("Locked out the user " + client.user + " for a minute after " +
                     std::to_string(ClientLedger::kFailuresToLock) + " wrong HTTP passwords",
                 nowMs, decision.logLines);
  }
}

AccessPolicy::SendPermit AccessPolicy::TakeSend(const Sender& client, int64_t nowMs) {
  SendPermit permit;
  const int limit = SendLimitOf(client);
  if (limit <= 0) return permit;
  // A user's messages count together, from whatever address they come.
  permit.allowed =
      ledger_.TakeSend(client.user.empty() ? client : UserKey(client.user), limit, nowMs);
  if (!permit.allowed) {
    Coalesced(client, RefusalLog::kSendLimit, "Send limit reached for " + client.ToText(), nowMs,
              permit.logLines);
  }
  return permit;
}

std::vector<std::string> AccessPolicy::CrossSite(const Sender& client, int64_t nowMs) {
  std::vector<std::string> lines;
  Coalesced(client, RefusalLog::kCrossSite,
            "Refused HTTP message request from " + client.ToText() +
                ": a page of another web site sent it",
            nowMs, lines);
  return lines;
}

std::vector<std::string> AccessPolicy::UnknownHost(const Sender& client, const std::string& name,
                                                   int64_t nowMs) {
  std::vector<std::string> lines;
  Coalesced(client, RefusalLog::kUnknownHost,
            name.empty()
                ? "Refused HTTP request from " + client.ToText() + ": it names no host"
                : "Refused HTTP request from " + client.ToText() + " for the host name " + name +
                      ": if the server is reached by it, add it to Hosts in "
                      "section [HTTP] of VELWEB.INI",
            nowMs, lines);
  return lines;
}

void AccessPolicy::BadRequest(const Sender& client, const std::string& line, int64_t nowMs,
                              std::vector<std::string>& lines) {
  Coalesced(client, RefusalLog::kBadRequest, line, nowMs, lines);
}

}  // namespace vel
