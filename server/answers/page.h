// The bytes of the server's answers: pages with their placeholders filled in, the
// not-found page, the refusal pages, and the optional HTTP/1.0 head. Pure functions;
// the answers (answers.h) put the pieces they return in a ResponseSender, which writes
// them to the connection as far as the client takes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "outbox.h"
#include "page_languages.h"

namespace vel {

// What the placeholders of a page are filled with.
struct PageContext {
  const std::vector<std::string>* receivers = nullptr;  // List_Receivers, sorted
  std::string version;
  std::string submittedReceivers;  // names, each followed by 0xFE
  std::string submittedMessage;
  bool handedOver = true;   // false: a complete submission did not reach the alarm server
  std::string waitingNote;  // page text: why a message handed over waits (or empty)
  std::string messageId;    // with an outbox: the accepted message's id and state (or empty)
  std::string state;
  const std::vector<MessageStatus>* history = nullptr;  // [HISTORY]: newest first
  const PageLanguage* language = nullptr;               // [TEXT:n]; nullptr: left as it is
};

// A name as page text: "&", "<", ">" and '"' become character references, so that a
// receiver name (from the receiver file, or posted by any client and shown back on the
// result page) is shown as text and never read as markup. Browsers post the decoded
// name back from a form, so names survive the round trip unchanged.
std::string EscapeHtml(const std::string& text);

// Before the placeholders below, every "[TEXT:n]" of a line is the page text `n` of the
// page's language (page_languages.h), as page text; and on a line of "[RECEIVERS]", every
// "[RECEIVERVALUE]" is the same receiver's name, escaped as [RECEIVERS] is (so that an
// <option value="[RECEIVERVALUE]"> posts the name exactly, blanks and all).
//
// The pieces of a page, each line with its CR LF: "[RECEIVERS]", "[VERSION]",
// "[SUBMITTEDONES]" and "[SUBMITTEDMESSAGE]" (in this order of precedence, one per line,
// upper case only). The last shows the posted message as page text, so that the sender
// sees what went out; it is empty for a page that was not posted. "[WAITING]" (after
// them) gives `waitingNote`: empty unless a message was handed over to an alarm server
// that takes none at the moment. "[MESSAGEID]" and "[STATE]" (after them) give the id
// and the state ("queued", "passed", "taken", "expired") of a message accepted into the
// outbox: empty for any other page. "[HISTORY]" gives one table row per message of
// `history` (when, who, receivers, message, state, the times of each step), every text
// escaped; nothing without a history.
std::vector<std::string> RenderPage(const std::string& bytes, const PageContext& context);

// A message of the history as a table row: "<tr class=STATE><td>accepted</td><td>user
// (address)</td><td>receivers</td><td>message</td><td>state</td><td>steps</td></tr>".
// State names and steps in `language`'s texts (2046 to 2049) where it has them.
std::string HistoryRow(const MessageStatus& status, const PageLanguage* language = nullptr);

// The 13 lines of the not-found page, each with its CR LF (264 bytes in all).
const std::vector<std::string>& NotFoundLines();

// The pages of a refused request, each a few lines with CR LF: an address outside the
// allowed ones (403), a password wanted (401), an address locked out for a while after
// wrong passwords (401), more passwords at once than the server checks (503).
const std::string& RefusedPage();
const std::string& PasswordPage();
const std::string& WrongPasswordPage();
// The refusal of a request for a host name the server does not know as its own: which
// name to add to [HTTP] Hosts; `name` empty for a request without Host.
std::string UnknownHostPage(const std::string& name);
const std::string& LockedOutPage();
const std::string& BusyPage();
// The pages of a request refused before it is taken apart: too large (413), or with a
// length that is no number (400).
const std::string& TooLargePage();
const std::string& BadRequestPage();

// The HTTP/1.0 head put in front of a body when the "Headers" setting is on: the status
// line for 200, 400, 401, 403, 404, 429 or 503, the content type and length when
// given, "X-Content-Type-Options: nosniff" (and, for HTML, "X-Frame-Options: DENY" and
// "Content-Security-Policy: frame-ancestors 'none'"), `moreFields` (whole lines, each
// ending with CR LF) and "Connection: close".
std::string ResponseHead(int status, const std::string& contentType,
                         std::optional<int64_t> contentLength, const std::string& moreFields = {});

}  // namespace vel
