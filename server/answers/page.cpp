#include "page.h"

#include <charconv>
#include <ctime>

#include "command_entry.h"
#include "text_lines.h"
#include "vel_proc.h"

namespace vel {

namespace {

const std::string kCrLf = "\r\n";

// Before + fill + After for the first occurrence of `placeholder` at `at`.
std::string Fill(const std::string& line, size_t at, const std::string& placeholder,
                 const std::string& fill) {
  return line.substr(0, at) + fill + line.substr(at + placeholder.size()) + kCrLf;
}

}  // namespace

std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

// "YYYY-MM-DD HH:MM:SS" in local time, or "HH:MM:SS" alone.
std::string LocalTime(int64_t ms, bool withDay) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, withDay ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
  return text;
}

std::string Cell(const std::string& text) { return "<td>" + EscapeHtml(text) + "</td>"; }

}  // namespace

std::string HistoryRow(const MessageStatus& status, const PageLanguage* language) {
  // A state in the page's language (the texts of the result page's states).
  auto named = [&](MessageState state) {
    const int number = 2046 + static_cast<int>(state);
    const std::string& text = language ? language->Text(number) : std::string();
    return text.empty() ? std::string(StateName(state)) : text;
  };
  const CommandParts parts = SplitCommand(status.entry);
  const std::string receivers = JoinedNames(ReceiverNames(parts.receivers));
  const std::string& message = parts.message;
  std::string steps;
  if (status.passedMs != 0)
    steps = named(MessageState::kPassed) + " " + LocalTime(status.passedMs, false);
  if (status.endedMs != 0) {
    steps +=
        (steps.empty() ? "" : ", ") + named(status.state) + " " + LocalTime(status.endedMs, false);
  }
  const std::string who =
      status.user.empty() ? status.sender : status.user + " (" + status.sender + ")";
  return "<tr class=\"" + std::string(StateName(status.state)) + "\">" +
         Cell(LocalTime(status.acceptedMs, true)) + Cell(who) + Cell(receivers) + Cell(message) +
         Cell(named(status.state)) + Cell(steps) + "</tr>";
}

namespace {

// `line` with every "[TEXT:n]" put in its language's text, as page text.
std::string WithTexts(const std::string& line, const PageLanguage& language) {
  static const std::string kOpen = "[TEXT:";
  size_t at = line.find(kOpen);
  if (at == std::string::npos) return line;
  std::string out;
  size_t from = 0;
  for (; at != std::string::npos; at = line.find(kOpen, from)) {
    const size_t close = line.find(']', at);
    int number = -1;
    if (close != std::string::npos) {
      const char* first = line.data() + at + kOpen.size();
      const auto [end, code] = std::from_chars(first, line.data() + close, number);
      if (code != std::errc() || end != line.data() + close) number = -1;
    }
    if (number < 0) {  // not a text placeholder after all
      out.append(line, from, at + kOpen.size() - from);
      from = at + kOpen.size();
      continue;
    }
    out.append(line, from, at - from);
    out += EscapeHtml(language.Text(number));
    from = close + 1;
  }
  out.append(line, from, std::string::npos);
  return out;
}

// `line` with every `placeholder` put in `fill`.
std::string ReplaceAll(std::string line, const std::string& placeholder, const std::string& fill) {
  for (size_t at = line.find(placeholder); at != std::string::npos;
       at = line.find(placeholder, at + fill.size())) {
    line.replace(at, placeholder.size(), fill);
  }
  return line;
}

}  // namespace

std::vector<std::string> RenderPage(const std::string& bytes, const PageContext& context) {
  static const std::string kReceivers = "[RECEIVERS]";
  static const std::string kReceiverValue = "[RECEIVERVALUE]";
  static const std::string kVersion = "[VERSION]";
  static const std::string kSubmitted = "[SUBMITTEDONES]";
  static const std::string kMessage = "[SUBMITTEDMESSAGE]";
  static const std::string kWaiting = "[WAITING]";
  static const std::string kMessageId = "[MESSAGEID]";
  static const std::string kState = "[STATE]";
  static const std::string kHistory = "[HISTORY]";

  std::vector<std::string> out;
  for (const std::string& source : SplitTextLines(bytes)) {
    const std::string line = context.language ? WithTexts(source, *context.language) : source;
    if (size_t at = line.find(kReceivers); at != std::string::npos) {
      if (context.receivers) {
        const bool values = line.find(kReceiverValue) != std::string::npos;
        for (const std::string& name : *context.receivers) {
          const std::string shown = EscapeHtml(name);
          if (!values) {
            out.push_back(Fill(line, at, kReceivers, shown));
            continue;
          }
          // Each side of the name on its own: a name is never looked into for placeholders.
          out.push_back(ReplaceAll(line.substr(0, at), kReceiverValue, shown) + shown +
                        ReplaceAll(line.substr(at + kReceivers.size()), kReceiverValue, shown) +
                        kCrLf);
        }
      }
    } else if (size_t at = line.find(kVersion); at != std::string::npos) {
      out.push_back(Fill(line, at, kVersion, context.version));
    } else if (size_t at = line.find(kSubmitted); at != std::string::npos) {
      if (context.submittedReceivers.empty()) {
        out.push_back(Fill(line, at, kSubmitted, "[No Receivers]"));
      } else if (context.submittedMessage.empty()) {
        out.push_back(Fill(line, at, kSubmitted, "[No Message]"));
      } else if (!context.handedOver) {
        out.push_back(Fill(line, at, kSubmitted, "[Not Sent]"));
      } else {
        try {
          FieldWalk names(context.submittedReceivers, "\xFE", /*ignoreCase=*/false);
          for (int32_t i = 0; i <= INT16_MAX; ++i) {
            const std::string name = names.Next();
            if (name.empty()) break;
            out.push_back(Fill(line, at, kSubmitted, EscapeHtml(name)));
          }
        } catch (const OverflowError&) {
          // The names shown so far stand; the rest lies beyond what fields can address.
        }
      }
    } else if (size_t at = line.find(kMessage); at != std::string::npos) {
      out.push_back(Fill(line, at, kMessage, EscapeHtml(context.submittedMessage)));
    } else if (size_t at = line.find(kWaiting); at != std::string::npos) {
      out.push_back(Fill(line, at, kWaiting, context.waitingNote));
    } else if (size_t at = line.find(kMessageId); at != std::string::npos) {
      out.push_back(Fill(line, at, kMessageId, context.messageId));
    } else if (size_t at = line.find(kState); at != std::string::npos) {
      out.push_back(Fill(line, at, kState, context.state));
    } else if (size_t at = line.find(kHistory); at != std::string::npos) {
      if (context.history) {
        for (const MessageStatus& status : *context.history) {
          out.push_back(Fill(line, at, kHistory, HistoryRow(status, context.language)));
        }
      }
    } else {
      out.push_back(line + kCrLf);
    }
  }
  return out;
}

const std::vector<std::string>& NotFoundLines() {
  static const std::vector<std::string> kLines = {
      "<html>\r\n",
      "<head>\r\n",
      "<meta http-equiv=\"Content-Type & chr$(34)\r\n",
      "content=\"text/html; charset=iso-8859-1\">\r\n",
      "<title>Server Error 404</title>\r\n",
      "</head>\r\n",
      "<body bgcolor=\"#C0C0C0\" text=\"#000000\">\r\n",
      "<h1>Server Error 404</h1>\r\n",
      "<hr>\r\n",
      "<p>File Not Found</p>\r\n",
      "<hr>\r\n",
      "</body>\r\n",
      "</html>\r\n",
  };
  return kLines;
}

namespace {

std::string ShortPage(const std::string& title, const std::string& text) {
  return "<html>\r\n<head>\r\n<title>" + title + "</title>\r\n</head>\r\n<body>\r\n<h1>" + title +
         "</h1>\r\n<p>" + text + "</p>\r\n</body>\r\n</html>\r\n";
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 411:
      return "Length Required";
    case 421:
      return "Misdirected Request";
    case 413:
      return "Content Too Large";
    case 429:
      return "Too Many Requests";
    case 503:
      return "Service Unavailable";
    default:
      return "Internal Server Error";
  }
}

}  // namespace

const std::string& RefusedPage() {
  static const std::string kPage =
      ShortPage("Access Refused", "This address may not use Velmar Web Server.");
  return kPage;
}

const std::string& PasswordPage() {
  static const std::string kPage =
      ShortPage("Password Required", "Velmar Web Server wants its password.");
  return kPage;
}

const std::string& WrongPasswordPage() {
  static const std::string kPage =
      ShortPage("Wrong Password", "The password was wrong: Velmar Web Server wants its password.");
  return kPage;
}

std::string UnknownHostPage(const std::string& name) {
  if (name.empty()) {
    return ShortPage("Bad Request",
                     "The request names no host (Host): Velmar Web Server sent nothing.");
  }
  return ShortPage("Unknown Host Name",
                   "Velmar Web Server does not know " + EscapeHtml(name) +
                       " as a name of its own. If it is reached by this name, add the name to "
                       "Hosts in section [HTTP] of VELWEB.INI and restart it.");
}

const std::string& TooLargePage() {
  static const std::string kPage = ShortPage(
      "Request Too Large", "The request is too large for Velmar Web Server: nothing was sent.");
  return kPage;
}

const std::string& BadRequestPage() {
  static const std::string kPage =
      ShortPage("Bad Request", "Velmar Web Server cannot read this request: nothing was sent.");
  return kPage;
}

const std::string& LockedOutPage() {
  static const std::string kPage =
      ShortPage("Password Required",
                "Too many wrong passwords came from this address: try again in a minute.");
  return kPage;
}

const std::string& BusyPage() {
  static const std::string kPage =
      ShortPage("Server Busy", "Too many passwords to check at once: try again in a second.");
  return kPage;
}

std::string ResponseHead(int status, const std::string& contentType,
                         std::optional<int64_t> contentLength, const std::string& moreFields) {
  std::string head =
      status == 200 ? "HTTP/1.0 200 OK\r\n"
                    : "HTTP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) + kCrLf;
  if (!contentType.empty()) head += "Content-Type: " + contentType + kCrLf;
  if (contentLength) head += "Content-Length: " + std::to_string(*contentLength) + kCrLf;
  // No browser reads a body as anything but its type, and no other site's page frames
  // ours (a framed form can be clicked through a decoy).
  head += "X-Content-Type-Options: nosniff\r\n";
  if (contentType.rfind("text/html", 0) == 0) {
    head += "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n";
  }
  head += moreFields;
  head += "Connection: close\r\n\r\n";
  return head;
}

}  // namespace vel
