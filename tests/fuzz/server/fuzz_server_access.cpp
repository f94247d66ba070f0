// The parsers of the access checks and of messages from programs, on one request: Basic
// credentials, the X-Forwarded-For client, the networks of a profile value, and a JSON
// body. What they give back must be what they were given, read consistently.
#include <cstdint>
#include <string>
#include <vector>

#include "basic_auth.h"
#include "fuzz_check.h"
#include "ip_networks.h"
#include "json_message.h"
#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vel::HttpRequest parsed(std::string(reinterpret_cast<const char*>(data), size));
  const std::string& request = parsed.Text();

  const vel::BasicCredentials credentials = vel::ParseBasicCredentials(parsed);
  if (credentials.kind == vel::BasicCredentials::Kind::kGiven) {
    Check(credentials.user.find(':') == std::string::npos, "a user name with a colon");
  }
  const std::string line = request.substr(0, request.find('\n'));
  if (const std::optional<std::string> decoded = vel::DecodeBase64(line)) {
    Check(decoded->size() <= line.size() / 4 * 3 && decoded->size() + 2 >= line.size() / 4 * 3,
          "base64 of the wrong length");
  }

  if (const std::optional<vel::IpAddress> client = vel::LastForwardedFor(parsed)) {
    const std::optional<vel::IpAddress> again = vel::IpAddress::Parse(client->ToText());
    Check(again && *again == *client, "a client address that does not read back");
  }

  std::vector<vel::Network> networks;
  std::string error;
  if (vel::ParseNetworks(line, networks, error)) {
    for (const vel::Network& network : networks) {
      Check(network.prefix >= 0 && network.prefix <= 128, "a prefix out of range");
      Check(network.Contains(network.base), "a network without its own base");
    }
  } else {
    Check(!error.empty(), "refused without a reason");
  }

  const vel::JsonMessage message = vel::ParseJsonMessage(std::string(parsed.Body()));
  if (message.error.empty()) {
    Check(message.submission.Complete(), "a message without receivers or text");
    Check(message.submission.receivers.back() == '\xFE', "receivers not ended by 0xFE");
  }
  // A name or text with a byte that would change the command entry (0xFE, 0xFF, NUL: a
  // "\u00fe" or a stray escape can give one) is never handed over, nor answered as sent.
  if (message.error.empty() && !message.submission.holdsSeparator) {
    // The answer lists the receivers as they came: posted again, they read the same.
    const std::string sent = vel::JsonSent(message.submission.receivers);
    const size_t open = sent.find('['), close = sent.rfind(']');
    Check(open != std::string::npos && close != std::string::npos, "no list in the answer");
    const vel::JsonMessage answer = vel::ParseJsonMessage(
        "{\"receivers\": " + sent.substr(open, close - open + 1) + ", \"message\": \"m\"}");
    Check(answer.error.empty() && answer.submission.receivers == message.submission.receivers,
          "the answer's receivers differ from the message's");
  }
  return 0;
}
