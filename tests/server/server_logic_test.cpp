// The pure logic of the server: request assembly and the name rules, page rendering,
// the not-found page, form fields, the receiver file, the log line, and the access
// checks (addresses, proxies, Basic credentials, the per-address ledger, JSON messages),
// the exchange thread's line of jobs, and the file of kept messages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <ctime>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "access_policy.h"
#include "alert_webhooks.h"
#include "basic_auth.h"
#include "client_ledger.h"
#include "event_log.h"
#include "exchange_worker.h"
#include "files.h"
#include "host_names.h"
#include "ip_networks.h"
#include "json_message.h"
#include "kept_commands.h"
#include "log_pruning.h"
#include "outbox.h"
#include "outbox_journal.h"
#include "page.h"
#include "page_cache.h"
#include "page_languages.h"
#include "password_hash.h"
#include "password_hasher.h"
#include "port_diagnosis.h"
#include "profile_keys.h"
#include "receiver_file.h"
#include "request.h"
#include "stall_watch.h"
#include "submission.h"
#include "text_lines.h"

namespace vel {
namespace {

// ---- request assembly ----------------------------------------------------------------

using State = RequestExtent::State;
constexpr size_t kBound = 64 * 1024;

struct AssemblyCase {
  const char* what;
  std::string buffer;
  State state;
  size_t length = 0;
};

// As the connection table assembles a request: its header block found (a line may end in
// LF alone), made to end its lines in CR LF, then measured.
RequestExtent Assemble(std::string buffer) {
  bool lineEnded = false;
  const size_t end = HeaderBlockEnd(buffer, 0, lineEnded);
  if (end != std::string::npos) NormaliseHeaderBlock(buffer, end);
  return MeasureRequest(buffer, kBound);
}

TEST(RequestAssembly, CompleteWhenHeaderBlockAndDeclaredBodyArePresent) {
  const std::string head = "POST /SEND.HTM HTTP/1.0\r\nContent-Length: 5\r\n\r\n";
  const std::string post = "POST / HTTP/1.0\r\n";
  const std::vector<AssemblyCase> cases = {
      {"no header end", "GET / HTTP/1.0\r\nHost: x\r\n", State::kIncomplete},
      {"LF line ends", "GET / HTTP/1.0\nHost: x\n\n", State::kComplete, 27},
      {"LF and CR LF mixed", "GET / HTTP/1.0\r\nHost: x\n\r\n", State::kComplete, 27},
      {"no version: the request line alone", "GET /A.HTM\nHost: x\n\n", State::kComplete, 14},
      {"no version, not yet ended", "GET /A.HTM", State::kIncomplete},
      {"header only", "GET / HTTP/1.0\r\n\r\n", State::kComplete, 18},
      {"bytes after a request without length", "GET / HTTP/1.0\r\n\r\nxyz", State::kComplete, 18},
      {"body short", head + "abcd", State::kIncomplete},
      {"body exact", head + "abcde", State::kComplete, head.size() + 5},
      {"body longer: ends at the declared length", head + "abcde\r\n", State::kComplete,
       head.size() + 5},
      {"lower-case field", post + "content-length:\t 2 \r\n\r\nab", State::kComplete, 42},
      {"blank before the colon", post + "Content-Length : 9\r\n\r\n", State::kRefused},
      {"blank before another colon", post + "Transfer-Encoding\t: chunked\r\n\r\n",
       State::kRefused},
      {"two lengths", post + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nabc", State::kRefused},
      {"one length twice", post + "Content-Length: 2\r\ncontent-length:2\r\n\r\nab",
       State::kComplete, 58},
      {"a folded line", post + "Origin: http://a\r\n .example\r\n\r\n", State::kRefused},
      {"a bare CR in the request line", "GET /A\rB.HTM HTTP/1.0\r\n\r\n", State::kRefused},
      {"a bare CR in a header line", post + "X: a\rb\r\n\r\n", State::kRefused},
      {"only a line of the header block declares", post + "X-Content-Length: 9\r\n\r\n",
       State::kComplete, 40},
      {"nor does the body", "POST / HTTP/1.0\r\n\r\nContent-Length: 9\r\n", State::kComplete, 19},
      {"no digits", post + "Content-Length: x\r\n\r\n", State::kRefused},
      {"nothing", post + "Content-Length:\r\n\r\n", State::kRefused},
      {"digits then text", post + "Content-Length: 5x\r\n\r\nabcde", State::kRefused},
      {"2^64 + 51 does not wrap round to 51",
       post + "Content-Length: 18446744073709551667\r\n\r\n" + std::string(51, 'b'),
       State::kTooLarge},
      {"a body past the bound", post + "Content-Length: 65500\r\n\r\n", State::kTooLarge},
      {"a header block past the bound", post + std::string(kBound, 'h') + "\r\n\r\n",
       State::kTooLarge},
      {"incomplete past the bound", post + std::string(kBound, 'h'), State::kTooLarge},
      {"too many digits, then text", post + "Content-Length: 99999999999x\r\n\r\n",
       State::kRefused},
  };
  for (const AssemblyCase& c : cases) {
    const RequestExtent extent = Assemble(c.buffer);
    EXPECT_EQ(extent.state, c.state) << c.what;
    EXPECT_EQ(extent.length, c.length) << c.what;
  }
}

TEST(RequestAssembly, BodyLengthCountsFromTheFirstHeaderEnd) {
  // 150 characters, CR LF CR LF beginning at position 120: a body of 27 characters.
  std::string head = "POST / HTTP/1.0\r\nContent-Length: 27\r\n";
  head += std::string(119 - head.size(), 'x');
  const std::string buffer = head + "\r\n\r\n" + std::string(27, 'b');
  ASSERT_EQ(buffer.size(), 150u);
  EXPECT_EQ(MeasureRequest(buffer, kBound).length, 150u);
  std::string longer = buffer;
  longer.replace(longer.find("27"), 2, "28");
  EXPECT_EQ(MeasureRequest(longer, kBound).state, State::kIncomplete);
}

TEST(RequestAssembly, FormFieldsComeFromTheBodyOrElseTheQuery) {
  const struct {
    const char* what;
    std::string request;
    std::string form;
  } cases[] = {
      {"body", "POST /SEND.HTM HTTP/1.0\r\nCookie: message=hello\r\n\r\nmessage=a&receivers=b",
       "message=a&receivers=b"},
      {"query, without version or header lines",
       "POST /SEND.HTM?receivers=Fire+Brigade&message=q HTTP/1.0\r\nCookie: message=x\r\n\r\n",
       "receivers=Fire+Brigade&message=q"},
      {"query without a version", "POST /SEND.HTM?message=q\r\n\r\n", "message=q"},
      {"a body with a field wins over the query",
       "POST /S.HTM?message=q HTTP/1.0\r\n\r\nRECEIVERS=b", "RECEIVERS=b"},
      {"header lines never give a field", "POST /S.HTM HTTP/1.0\r\nX: message=h\r\n\r\n", ""},
      {"a name holding \"message\" is no message field",
       "POST /S.HTM?message=q HTTP/1.0\r\n\r\nold_message=b", "message=q"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormText(HttpRequest(c.request)), c.form) << c.what;
}

// ---- request line and names ------------------------------------------------------------

struct TargetCase {
  std::string requestLine;
  std::string method;
  std::string fileName;
  ResponseKind kind;
  bool servable;
};

TEST(RequestTarget, NameExtensionAndFileRules) {
  const std::vector<TargetCase> cases = {
      {"GET / HTTP/1.0", "GET", "INDEX.HTM", ResponseKind::kPage, true},
      {"get /index.htm HTTP/1.1", "GET", "INDEX.HTM", ResponseKind::kPage, true},
      {"GET /logo.gif HTTP/1.0", "GET", "LOGO.GIF", ResponseKind::kFile, true},
      {"GET /send HTTP/1.0", "GET", "SEND.HTM", ResponseKind::kPage, true},
      {"GET /page.html HTTP/1.0", "GET", "PAGE.HTM", ResponseKind::kPage, true},
      {"GET /docs/a.htm HTTP/1.0", "GET", "DOCS.HTM", ResponseKind::kPage, true},
      {"GET /notes.txt HTTP/1.0", "GET", "NOTES.TXT", ResponseKind::kNotFound, true},
      {"HEAD / HTTP/1.0", "HEAD", "INDEX.HTM", ResponseKind::kPage, true},
      {"POST /send.htm HTTP/1.0", "POST", "SEND.HTM", ResponseKind::kPage, true},
      {"GET /A.HTM?X=1 HTTP/1.0", "GET", "A.HTM", ResponseKind::kPage, true},
      {"GET /A.B.HTM HTTP/1.0", "GET", "A.B.H", ResponseKind::kNotFound, true},
      {"GET", "GET", "INDEX.HTM", ResponseKind::kPage, true},
      {"HEAD /a.gif HTTP/1.0", "HEAD", "A.GIF", ResponseKind::kFile, true},
      // The absolute form that proxies send asks for its path.
      {"GET http://host:8080/list.htm HTTP/1.1", "GET", "LIST.HTM", ResponseKind::kPage, true},
      {"POST HTTPS://host/send.htm?x=1 HTTP/1.1", "POST", "SEND.HTM", ResponseKind::kPage, true},
      {"GET http://host HTTP/1.1", "GET", "INDEX.HTM", ResponseKind::kPage, true},
      {"GET /x.jpg", "GET", "X.JPG", ResponseKind::kFile, true},
      {"GET /x.tif", "GET", "X.TIF", ResponseKind::kFile, true},
      {"GET /x.bmp", "GET", "X.BMP", ResponseKind::kFile, true},
      {"GET /x.cla", "GET", "X.CLA", ResponseKind::kFile, true},
      {"GET /velweb.ini", "GET", "VELWEB.INI", ResponseKind::kNotFound, true},
      // Names that could leave the program directory or match several files.
      {"GET /..\\..\\etc\\passwd HTTP/1.0", "GET", "..\\.", ResponseKind::kNotFound, false},
      {"GET /etc\\passwd.htm HTTP/1.0", "GET", "ETC\\PASSWD.HTM", ResponseKind::kPage, false},
      {"GET /C:\\A.HTM HTTP/1.0", "GET", "C:\\A.HTM", ResponseKind::kPage, false},
      {"GET /..HTM HTTP/1.0", "GET", "..HT", ResponseKind::kNotFound, false},
      {"GET /*.HTM HTTP/1.0", "GET", "*.HTM", ResponseKind::kPage, false},
      {"GET /A?.HTM HTTP/1.0", "GET", "A?.HTM", ResponseKind::kPage, false},
      {std::string("GET /A\0B.HTM HTTP/1.0", 21), "GET", std::string("A\0B.HTM", 7),
       ResponseKind::kPage, false},
  };
  for (const TargetCase& c : cases) {
    const RequestTarget t = ParseRequestTarget(c.requestLine + "\r\nHost: x\r\n\r\n");
    EXPECT_EQ(t.method, c.method) << c.requestLine;
    EXPECT_EQ(t.fileName, c.fileName) << c.requestLine;
    EXPECT_EQ(KindOf(t.method, t.extension), c.kind) << c.requestLine;
    EXPECT_EQ(t.servable, c.servable) << c.requestLine;
  }
}

TEST(RequestTarget, RequestLineTooLongForFieldsIsNotServable) {
  const std::string line = "GET /" + std::string(40000, 'A') + ".HTM HTTP/1.0\r\n\r\n";
  EXPECT_FALSE(ParseRequestTarget(line).servable);
}

TEST(RequestTarget, EveryServedExtensionHasAContentTypeAndNoOtherHasOne) {
  for (const char* extension :
       {"HTM", "GIF", "JPG", "TIF", "BMP", "CLA", "TXT", "INI", "DAT", ""}) {
    const bool served = KindOf("GET", extension) != ResponseKind::kNotFound;
    EXPECT_EQ(!ContentTypeFor(extension).empty(), served) << extension;
  }
}

// ---- pages -------------------------------------------------------------------------------

TEST(PageLines, CrAndCrLfEndLinesLineFeedAloneDoesNot) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\r\r\n", {"a", ""}},
      {"a\nb\n", {"a\nb\n"}},
      {"\r\n\r\n", {"", ""}},
  };
  for (const auto& [bytes, lines] : cases) EXPECT_EQ(SplitTextLines(bytes), lines) << bytes;
}

struct PageCase {
  const char* what;
  std::string page;
  std::vector<std::string> receivers;
  std::string submittedReceivers;
  std::string submittedMessage;
  bool handedOver;
  std::vector<std::string> pieces;
};

TEST(RenderPage, Placeholders) {
  const std::vector<PageCase> cases = {
      {"plain lines", "a\r\nb", {}, "", "", true, {"a\r\n", "b\r\n"}},
      {"version with text around",
       "<p>v[VERSION]!</p>\r\n",
       {},
       "",
       "",
       true,
       {"<p>v1.0.00!</p>\r\n"}},
      {"receivers one line each",
       "<li>[RECEIVERS]</li>",
       {"A", "b", "C"},
       "",
       "",
       true,
       {"<li>A</li>\r\n", "<li>b</li>\r\n", "<li>C</li>\r\n"}},
      {"receivers, empty list", "x\r\n[RECEIVERS]\r\ny", {}, "", "", true, {"x\r\n", "y\r\n"}},
      {"receivers win over version",
       "[VERSION][RECEIVERS]",
       {"A"},
       "",
       "",
       true,
       {"[VERSION]A\r\n"}},
      {"second placeholder stays literal",
       "[VERSION]-[VERSION]",
       {},
       "",
       "",
       true,
       {"1.0.00-[VERSION]\r\n"}},
      {"lower case not recognised",
       "[version][receivers]",
       {"A"},
       "",
       "",
       true,
       {"[version][receivers]\r\n"}},
      {"submitted, GET", "<b>[SUBMITTEDONES]</b>", {}, "", "", true, {"<b>[No Receivers]</b>\r\n"}},
      {"submitted, no message", "[SUBMITTEDONES]", {}, "A\xFE", "", true, {"[No Message]\r\n"}},
      {"submitted, two receivers",
       "-[SUBMITTEDONES]-",
       {},
       "A\xFE"
       "B\xFE",
       "Hi",
       true,
       {"-A-\r\n", "-B-\r\n"}},
      {"submitted, not handed over",
       "-[SUBMITTEDONES]-",
       {},
       "A\xFE"
       "B\xFE",
       "Hi",
       false,
       {"-[Not Sent]-\r\n"}},
      {"LF-only page is one line, repeated per receiver",
       "a\n[RECEIVERS]\nb",
       {"X", "Y"},
       "",
       "",
       true,
       {"a\nX\nb\r\n", "a\nY\nb\r\n"}},
      {"empty page", "", {"X"}, "", "", true, {}},
      {"listed names are text, not markup",
       "<option>[RECEIVERS]</option>",
       {"A&B", "<b>\"x\""},
       "",
       "",
       true,
       {"<option>A&amp;B</option>\r\n", "<option>&lt;b&gt;&quot;x&quot;</option>\r\n"}},
      {"the posted message is shown back as text, after the receivers in precedence",
       "<q>[SUBMITTEDMESSAGE]</q> [SUBMITTEDONES]",
       {},
       "A\xFE",
       "Fire & <smoke>",
       true,
       {"<q>[SUBMITTEDMESSAGE]</q> A\r\n"}},
      {"message of a page that was not posted",
       "<q>[SUBMITTEDMESSAGE]</q>",
       {},
       "",
       "",
       true,
       {"<q></q>\r\n"}},
      {"message",
       "<q>[SUBMITTEDMESSAGE]</q>",
       {},
       "A\xFE",
       "Fire & <smoke>",
       true,
       {"<q>Fire &amp; &lt;smoke&gt;</q>\r\n"}},
      {"posted names are shown back as text",
       "<li>[SUBMITTEDONES]</li>",
       {},
       "<script>alert(1)</script>\xFE",
       "Hi",
       true,
       {"<li>&lt;script&gt;alert(1)&lt;/script&gt;</li>\r\n"}},
  };
  // In a language: its texts, as text, wherever they stand; an option's value holds the
  // name exactly, and a name is never looked into for placeholders.
  PageLanguage german{"049", "de", {{1, "de"}, {2010, "Empf\xE4nger & <Gruppen>"}}, nullptr};
  const PageLanguage english{"001", "en", {{2010, "Receivers"}, {2011, "Only English"}}, nullptr};
  german.fallback = &english;
  const std::vector<PageCase> texts = {
      {"texts",
       "<html lang=\"[TEXT:1]\"><h1>[TEXT:2010]</h1>[TEXT:2011][TEXT:x][TEXT:99]",
       {},
       "",
       "",
       true,
       {"<html lang=\"de\"><h1>Empf\xE4nger &amp; &lt;Gruppen&gt;</h1>Only English[TEXT:x]\r\n"}},
      {"values",
       "<option value=\"[RECEIVERVALUE]\">[RECEIVERS]</option>",
       {"  Night  Shift ", "A&B <\"C\">", "[RECEIVERVALUE][RECEIVERS]"},
       "",
       "",
       true,
       {"<option value=\"  Night  Shift \">  Night  Shift </option>\r\n",
        "<option value=\"A&amp;B &lt;&quot;C&quot;&gt;\">A&amp;B "
        "&lt;&quot;C&quot;&gt;</option>\r\n",
        "<option value=\"[RECEIVERVALUE][RECEIVERS]\">[RECEIVERVALUE][RECEIVERS]</option>\r\n"}},
  };
  for (const bool inLanguage : {false, true}) {
    for (const PageCase& c : inLanguage ? texts : cases) {
      PageContext context;
      context.receivers = &c.receivers;
      context.version = "1.0.00";
      context.submittedReceivers = c.submittedReceivers;
      context.submittedMessage = c.submittedMessage;
      context.handedOver = c.handedOver;
      if (inLanguage) context.language = &german;
      EXPECT_EQ(RenderPage(c.page, context), c.pieces) << c.what;
    }
  }
}

// The language of a page: the request's Accept-Language in the order of its weights, by
// the primary subtag, where a language file names it; else the profile's.
TEST(PageLanguages, AcceptLanguageChoosesAnInstalledOneElseTheProfiles) {
  veltest::TempDir dir;
  dir.Write("vel_lang.001", "0=English\r\n1=en\r\n2010=Receivers\r\n");
  dir.Write("vel_lang.049", "0=Deutsch\r\n1=de\r\n2010=Empf\xE4nger=ignored\r\n");
  PageLanguages languages;
  languages.Load(dir.path(), "049");
  struct Case {
    std::vector<std::string> accept;
    const char* code;
  };
  for (const Case& c : std::vector<Case>{{{}, "049"},
                                         {{"en-GB,en;q=0.9"}, "001"},
                                         {{"fr-FR, de;q=0.5, en;q=0.8"}, "001"},
                                         {{"fr, de;q=0.1"}, "049"},
                                         {{"en;q=0", "EN-us;q=0.2"}, "001"},
                                         {{"*"}, "049"},
                                         {{"ja"}, "049"}}) {
    ASSERT_NE(languages.Choose(c.accept), nullptr);
    EXPECT_EQ(languages.Choose(c.accept)->code, c.code) << (c.accept.empty() ? "" : c.accept[0]);
  }
  EXPECT_EQ(languages.Default()->Text(2010), "Empf\xE4nger") << "a text runs to the next =";
}

TEST(ResponseHead, StatusTypeLengthAndClose) {
  const std::string nosniff = "X-Content-Type-Options: nosniff\r\n";
  const std::string noFrames =
      "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n";
  EXPECT_EQ(ResponseHead(200, "image/gif", 25000),
            "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 25000\r\n" + nosniff +
                "Connection: close\r\n\r\n");
  EXPECT_EQ(ResponseHead(404, "text/html; charset=windows-1252", std::nullopt),
            "HTTP/1.0 404 Not Found\r\nContent-Type: text/html; charset=windows-1252\r\n" +
                nosniff + noFrames + "Connection: close\r\n\r\n");
  EXPECT_EQ(ResponseHead(401, "", 3, "WWW-Authenticate: Basic realm=\"x\"\r\n"),
            "HTTP/1.0 401 Unauthorized\r\nContent-Length: 3\r\n" + nosniff +
                "WWW-Authenticate: Basic realm=\"x\"\r\nConnection: close\r\n\r\n");
}

// ---- form fields -------------------------------------------------------------------------

struct SubmissionCase {
  std::string form;
  std::string message;
  std::string receivers;
  bool holdsSeparator = false;
};

TEST(Submission, FieldsAreTakenDecodedAndJoined) {
  const std::vector<SubmissionCase> cases = {
      {"message=Hello+world&receivers=A&receivers=B", "Hello world",
       "A\xFE"
       "B\xFE"},
      {"receivers=&receivers=B&message=x", "x", ""},
      {"MESSAGE=Hi&Receivers=Z", "Hi", "Z\xFE"},
      {"message=50%25+%26+more&receivers=GROUP%201", "50% & more", "GROUP 1\xFE"},
      {"message=first&message=second&receivers=A", "first", "A\xFE"},
      // Names count whole: at the start or right after "&".
      {"old_message=DECOY&message=real&cc_receivers=Mike&receivers=A", "real", "A\xFE"},
      {"xmessage=a&receiversx=b", "", ""},
      {"nothing=here", "", ""},
      // Bytes that would change the command entry are found in any field.
      {"message=a&receivers=X%FEY", "a", "X\xFEY\xFE", true},
      {"message=Fire+at+%FEingholt&receivers=Fire+Brigade", "Fire at \xFEingholt",
       "Fire Brigade\xFE", true},
      {"message=a%FF&receivers=B", "a\xFF", "B\xFE", true},
      {"message=a&receivers=B&receivers=C%00", "a",
       std::string("B\xFE"
                   "C\0\xFE",
                   5),
       true},
  };
  for (const SubmissionCase& c : cases) {
    const Submission s = ParseSubmission(c.form);
    EXPECT_EQ(s.message, c.message) << c.form;
    EXPECT_EQ(s.receivers, c.receivers) << c.form;
    EXPECT_EQ(s.holdsSeparator, c.holdsSeparator) << c.form;
  }
}

// ---- receiver file ---------------------------------------------------------------------

// A record whose values are tags 0, 3 (the bytes 01 02 03 04) and 8 (the text "hello").
ReceiverRecord Record(const std::string& name, int16_t type = 1) {
  return {type, name, {{kTagEmpty, ""}, {kTagInt32, "\x01\x02\x03\x04"}, {kTagText, "hello"}}};
}

TEST(ReceiverFile, NamesAreSortedWithoutRegardToCase) {
  const std::string bytes = EncodeReceiverFile({Record("Zulu"), Record("alpha")});
  const ReceiverFile file = ParseReceiverFile(bytes);
  EXPECT_EQ(file.count, 2);
  EXPECT_TRUE(file.complete);
  ASSERT_EQ(file.records.size(), 2u);
  EXPECT_EQ(file.records[0].Name, "Zulu");
  EXPECT_EQ(file.records[0].Values[1].tag, 3);
  EXPECT_EQ(file.records[0].Values[1].data, "\x01\x02\x03\x04");
  EXPECT_EQ(SortedReceiverNames(file.records, file.count),
            (std::vector<std::string>{"alpha", "Zulu"}));
}

TEST(ReceiverFile, OddFiles) {
  struct Case {
    const char* what;
    std::string bytes;
    int16_t version;
    int16_t count;
    size_t names;
  };
  // One record per tag of fixed size, each tag in value 0.
  const std::vector<std::pair<uint16_t, size_t>> tagSizes = {
      {1, 0}, {2, 2}, {4, 4}, {5, 8}, {6, 8}, {7, 8}, {10, 4}, {11, 2}, {17, 1}};
  std::vector<ReceiverRecord> allTags;
  for (const auto& [tag, size] : tagSizes) {
    allTags.push_back({0, "n", {{tag, std::string(size, 'v')}}});
  }
  const std::vector<Case> cases = {
      {"empty", "", 0, 0, 0},
      {"one byte", "\x01", 0, 0, 0},
      {"version 2", EncodeReceiverFile({Record("A")}, 2), 2, 0, 0},
      {"count 0", EncodeReceiverFile({}), 1, 0, 0},
      {"negative count", EncodeReceiverFileHeader(1, -1) + EncodeReceiverRecord(Record("A")), 1, -1,
       0},
      {"ends inside the header", EncodeReceiverFileHeader(1, 2).substr(0, 3), 1, 0, 0},
      {"ends inside the second record",
       EncodeReceiverFileHeader(1, 2) + EncodeReceiverRecord(Record("A")) + "\x01\x00\x05", 1, 1,
       1},
      {"unknown tag",
       EncodeReceiverFileHeader(1, 2) + EncodeReceiverRecord(Record("A")) +
           EncodeReceiverRecord({1, "B", {{9, ""}}}),
       1, 1, 1},
      {"every fixed-size tag", EncodeReceiverFile(allTags), 1, 9, 9},
  };
  for (const Case& c : cases) {
    const ReceiverFile file = ParseReceiverFile(c.bytes);
    EXPECT_EQ(file.version, c.version) << c.what;
    EXPECT_EQ(file.count, c.count) << c.what;
    EXPECT_EQ(SortedReceiverNames(file.records, file.count).size(), c.names) << c.what;
  }
}

TEST(ReceiverFile, TwoHundredFitAndMoreAreSkipped) {
  for (int n : {200, 201}) {
    std::vector<ReceiverRecord> records;
    for (int i = 0; i < n; ++i) records.push_back(Record("R" + std::to_string(i)));
    const ReceiverFile file = ParseReceiverFile(EncodeReceiverFile(records));
    EXPECT_EQ(file.count, 200) << n;
  }
}

// ---- event log -------------------------------------------------------------------------

TEST(EventLog, FileNameAndLine) {
  std::tm t{};
  t.tm_year = 101;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 14;
  t.tm_min = 30;
  EXPECT_EQ(LogFileName(t), "20010305.LOG");
  EXPECT_EQ(LogLine(t, "Velmar Web Server Started"),
            "01-03-05 14:30:00 WEB Velmar Web Server Started");
  EXPECT_EQ(LogLine(t, "-"), "-");
  t.tm_year = 126;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 59;
  t.tm_sec = 59;
  EXPECT_EQ(LogFileName(t), "20261231.LOG");
  EXPECT_EQ(LogLine(t, "x"), "26-12-31 23:59:59 WEB x");
}

// ---- rendered pages kept between requests --------------------------------------------

struct stat SettledPage() {
  struct stat info {};
  info.st_dev = 1;
  info.st_ino = 42;
  info.st_size = 3711;
  info.st_mtim = {1700000000, 123456789};
  info.st_ctim = {1700000000, 223456789};  // long ago
  return info;
}

TEST(EventLog, OnlyDailyLogNamesOfRealDatesArePruned) {
  EXPECT_EQ(vel::DailyLogDay("19700101.LOG"), 0);
  EXPECT_EQ(vel::DailyLogDay("20240229.LOG"), 19782);  // a leap day
  EXPECT_EQ(vel::DailyLogDay("20000229.LOG"), 11016);  // a leap year by 400
  for (const char* other :
       {"20230229.LOG", "19000229.LOG", "20241301.LOG", "20240100.LOG", "20240101.log",
        "2024011.LOG", "20240101.LOG.1", "A0240101.LOG", "VELWEB.LOG"})
    EXPECT_FALSE(vel::DailyLogDay(other)) << other;
  veltest::TempDir dir;
  for (const char* name : {"20240101.LOG", "20240330.LOG", "20240331.LOG", "NOTES.LOG"})
    dir.Write(name, "x");
  const int64_t april30 = *vel::DailyLogDay("20240430.LOG");
  EXPECT_TRUE(vel::PruneDailyLogs(dir.path(), april30, 0).empty());  // 0: kept forever
  std::vector<std::string> removed = vel::PruneDailyLogs(dir.path(), april30, 30);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{"20240101.LOG", "20240330.LOG"}));
  EXPECT_TRUE(dir.Has("20240331.LOG") && dir.Has("NOTES.LOG"));  // 30 days: not older
}

TEST(StallWatch, BeginsAfterStallSecondsEndsWhenTakenAndOutlivesAnUnreadCount) {
  vel::BufferReading reading;
  reading.libraryLoaded = reading.regionJoined = reading.known = true;
  reading.waiting = 1;
  reading.lastMovedMs = 1000;
  vel::StallWatch watch(2);
  EXPECT_FALSE(watch.Take(reading, 2999));
  EXPECT_EQ(watch.Take(reading, 3000), "The alarm server has taken no message for 2 s; 1 wait");
  EXPECT_FALSE(watch.Take(reading, 4000));  // said once
  vel::BufferReading unread = reading;      // the lock stayed taken: no count
  unread.known = false;
  unread.waiting = 0;
  EXPECT_FALSE(watch.Take(unread, 5000));
  EXPECT_FALSE(watch.Taking());
  EXPECT_EQ(watch.Waiting(), 1);
  reading.waiting = 0;
  reading.lastMovedMs = 9000;
  EXPECT_EQ(watch.Take(reading, 9000), "The alarm server takes messages again after 8 s; 0 wait");
  EXPECT_TRUE(watch.Taking());
  vel::StallWatch off(0);
  reading.waiting = 5;
  reading.lastMovedMs = 0;
  EXPECT_FALSE(off.Take(reading, 1000000));
  EXPECT_TRUE(off.Taking());
}

TEST(PageCache, AnyChangeOfTheFileOrTheListIsAMiss) {
  struct Case {
    const char* what;
    void (*change)(struct stat&, std::string& path, uint64_t& generation);
    bool hit;
  };
  const std::vector<Case> cases = {
      {"nothing changed", [](struct stat&, std::string&, uint64_t&) {}, true},
      {"receivers reloaded", [](struct stat&, std::string&, uint64_t& g) { ++g; }, false},
      {"size", [](struct stat& i, std::string&, uint64_t&) { ++i.st_size; }, false},
      {"modified within the same second",
       [](struct stat& i, std::string&, uint64_t&) { ++i.st_mtim.tv_nsec; }, false},
      {"changed", [](struct stat& i, std::string&, uint64_t&) { ++i.st_ctim.tv_sec; }, false},
      {"replaced by another file", [](struct stat& i, std::string&, uint64_t&) { ++i.st_ino; },
       false},
      {"another page", [](struct stat&, std::string& p, uint64_t&) { p = "/d/LIST.HTM"; }, false},
  };
  for (const Case& c : cases) {
    PageCache cache;
    cache.Store("/d/INDEX.HTM", SettledPage(), 7, std::make_shared<const std::string>("page"));
    struct stat info = SettledPage();
    std::string path = "/d/INDEX.HTM";
    uint64_t generation = 7;
    c.change(info, path, generation);
    const auto found = cache.Find(path, info, generation);
    EXPECT_EQ(found != nullptr, c.hit) << c.what;
    if (found) {
      EXPECT_EQ(*found, "page") << c.what;
    }
  }
}

TEST(PageCache, JustWrittenPagesAreNotKeptAndTheOldestGivesWay) {
  PageCache cache;
  struct stat fresh = SettledPage();
  fresh.st_ctim.tv_sec = std::time(nullptr);  // file times cannot tell a second write apart
  cache.Store("/d/NEW.HTM", fresh, 1, std::make_shared<const std::string>("x"));
  EXPECT_EQ(cache.Size(), 0u);

  for (size_t i = 0; i <= PageCache::kMaxPages; ++i) {
    cache.Store("/d/P" + std::to_string(i) + ".HTM", SettledPage(), 1,
                std::make_shared<const std::string>(std::to_string(i)));
  }
  EXPECT_EQ(cache.Size(), PageCache::kMaxPages);
  EXPECT_EQ(cache.Find("/d/P0.HTM", SettledPage(), 1), nullptr);
  ASSERT_NE(cache.Find("/d/P1.HTM", SettledPage(), 1), nullptr);
  // Storing a page again replaces its entry rather than adding one.
  cache.Store("/d/P1.HTM", SettledPage(), 2, std::make_shared<const std::string>("new"));
  EXPECT_EQ(cache.Size(), PageCache::kMaxPages);
  EXPECT_EQ(*cache.Find("/d/P1.HTM", SettledPage(), 2), "new");
}

// What a profile holds beyond the keys velweb reads, one warning per line.
TEST(ProfileKeys, MistakesAreNamedWithTheirLineAndTheNearestKnownKey) {
  const std::string profile =
      "; comment\r\n"
      "Language=001\r\n"  // 2: before any section
      "[TCPIP]\r\n"
      "HTTPPrt=33104\r\n"     // 4: a typing mistake
      "httpport = 8080x\r\n"  // 5: known whatever its case, but not a whole number
      "Headers=1\r\n"         // 6: a key of another section
      "Colour=red\r\n"        // 7: nothing like any key there
      "[Generl]\r\n"          // 8
      "Languge=001\r\n"       // 9: in an unknown section: its section has the warning
      "[general]\r\n"
      "Language=001\r\n"
      "HTTPPort 80\r\n"  // 12: neither section nor key
      "[HTTP]\r\n"
      "Headers=\r\n"   // 14: empty reads as 0
      "Headers=1\r\n"  // 15: the second of two
      "[Access]\r\n"
      "AllowFrom=127.0.0.1\r\n"  // known keys for access control
      "SendLimit=10\r\nPassword=x\r\nTrustProxy=0\r\n"
      "[Acess]\r\n"
      "[Printer]\n";
  const std::vector<std::string> expected = {
      "VELWEB.INI line 2: Language: outside any section, so it is never read; it belongs under "
      "[General]",
      "VELWEB.INI line 4: HTTPPrt: unknown key in [TCPIP], did you mean HTTPPort?",
      "VELWEB.INI line 5: httpport=8080x in [TCPIP] is not a whole number; it reads as 8080",
      "VELWEB.INI line 6: Headers: unknown key in [TCPIP], did you mean it under [HTTP]?",
      "VELWEB.INI line 7: Colour: unknown key in [TCPIP]; known there: HTTPPort, ListenAddress",
      "VELWEB.INI line 8: [Generl]: unknown section, did you mean [General]?",
      "VELWEB.INI line 12: \"HTTPPort 80\" is neither a [section] nor a key=value line, so it is "
      "ignored",
      "VELWEB.INI line 14: Headers= in [HTTP] is not a whole number; it reads as 0",
      "VELWEB.INI line 15: Headers: given again in [HTTP]; the first, on line 14, is the one read",
      "VELWEB.INI line 21: [Acess]: unknown section, did you mean [Access]?",
      "VELWEB.INI line 22: [Printer]: unknown section; the known ones are [TCPIP], [General], "
      "[HTTP], [Access], [Status], [Outbox]",
  };
  EXPECT_EQ(CheckProfileKeys(profile, "VELWEB.INI"), expected);
  // Asked for them, the mistakes about [Access] stand apart: they stop the start.
  std::vector<std::string> mistakes;
  std::vector<std::string> others = expected;
  others.erase(others.end() - 2);
  EXPECT_EQ(CheckProfileKeys(profile, "VELWEB.INI", &mistakes), others);
  EXPECT_EQ(mistakes, std::vector<std::string>{"VELWEB.INI line 21: [Acess]: unknown section, did "
                                               "you mean [Access]?"});
  mistakes.clear();
  EXPECT_EQ(CheckProfileKeys("[HTTP]\r\nPassword=$y$x\r\n"      // 2: a key of [Access] elsewhere
                             "[Access]\r\nPasword=x\r\n"        // 4
                             "SendLimit=-5\r\n"                 // 5
                             "AllowFrom=::1\r\nSendLimit=\r\n"  // 7: given again
                             "Colour=red\r\n"                   // 8: like no key: a warning
                             "TrustProxy=\r\n"
                             "[Security]\r\nAllowFrom=::1\r\n"  // 11
                             "Headers=1\r\n"
                             "[Acess]\r\nPassword=\r\n",  // 13, and its key no more
                             "VELWEB.INI", &mistakes),
            (std::vector<std::string>{
                "VELWEB.INI line 8: Colour: unknown key in [Access]; known there: AllowFrom, "
                "SendLimit, Password, TrustProxy, KnownReceiversOnly",
                "VELWEB.INI line 10: [Security]: unknown section; the known ones are [TCPIP], "
                "[General], [HTTP], [Access], [Status], [Outbox]"}));
  EXPECT_EQ(
      mistakes,
      (std::vector<std::string>{
          "VELWEB.INI line 2: Password: unknown key in [HTTP], did you mean it under [Access]?",
          "VELWEB.INI line 4: Pasword: unknown key in [Access], did you mean Password?",
          "VELWEB.INI line 5: SendLimit=-5 in [Access] is negative; write 0 for none, or a "
          "number above it",
          "VELWEB.INI line 7: SendLimit: given again in [Access]; the first, on line 5, is the "
          "one read",
          "VELWEB.INI line 11: AllowFrom: in [Security], so it is never read",
          "VELWEB.INI line 13: [Acess]: unknown section, did you mean [Access]?"}));
  // Numbers outside the values that mean something, with what they read as.
  EXPECT_EQ(
      CheckProfileKeys("[General]\r\nLogDays=-5\r\nStallSeconds=-3\r\n[HTTP]\r\nHeaders=2\r\n",
                       "VELWEB.INI"),
      (std::vector<std::string>{
          "VELWEB.INI line 2: LogDays=-5 in [General] is negative; it reads as 0",
          "VELWEB.INI line 3: StallSeconds=-3 in [General] is negative; it reads as 0",
          "VELWEB.INI line 5: Headers=2 in [HTTP] is neither 0 nor 1; it reads as 0"}));
  // Every key written at the default it is read with passes without a word.
  std::string defaults;
  for (const ProfileKey& row : kProfileKeys) {
    defaults +=
        "[" + std::string(row.section) + "]\r\n" + row.key + "=" + row.defaultValue + "\r\n";
  }
  mistakes.clear();
  EXPECT_EQ(CheckProfileKeys(defaults, "VELWEB.INI", &mistakes), std::vector<std::string>{});
  EXPECT_EQ(mistakes, std::vector<std::string>{});
}

// Where the system gives no reason a remedy is known for, none is made up (the others are
// shown by the program itself).
TEST(PortDiagnosis, NoRemedyWhereNoneIsKnown) {
  EXPECT_EQ(PortErrorText(8080, EACCES), "Permission denied (EACCES).");
}

// ---- access ----------------------------------------------------------------------------

IpAddress Ip(const std::string& text) { return IpAddress::Parse(text).value(); }

TEST(IpNetworks, AddressesAndNetworksAreReadAndMatched) {
  struct Case {
    std::string text;
    std::string error;  // empty: read
    std::vector<std::pair<std::string, bool>> matches;
  };
  const std::vector<Case> cases = {
      {"192.168.10.0/24, 10.1.2.3 ::1",
       "",
       {{"192.168.10.77", true},
        {"192.168.11.1", false},
        {"10.1.2.3", true},
        {"10.1.2.4", false},
        {"::1", true},
        {"::2", false},
        {"::ffff:192.168.10.5", true}}},  // an IPv4 client of the dual-stack socket
      {"192.168.10.7/24", "", {{"192.168.10.200", true}}},  // host bits dropped
      {"10.0.0.0/8,,\t2001:db8::/32",
       "",
       {{"10.255.0.1", true}, {"2001:db8:1::5", true}, {"2001:db9::", false}, {"11.0.0.1", false}}},
      {"0.0.0.0/0", "", {{"203.0.113.9", true}, {"::1", false}}},
      {"::/0", "", {{"203.0.113.9", true}, {"fe80::1", true}}},
      {"127.0.0.1/32 ::1/128", "", {{"127.0.0.1", true}, {"127.0.0.2", false}}},
      {"::ffff:10.0.0.0/104", "", {{"10.9.8.7", true}, {"11.0.0.1", false}}},
      {"", "", {{"127.0.0.1", false}}},
      {"10.0.0.300", "\"10.0.0.300\" is neither an address nor a network", {}},
      {"10.0.0.0/33", "\"10.0.0.0/33\"", {}},
      {"::1/129", "\"::1/129\"", {}},
      {"10.0.0.0/", "\"10.0.0.0/\"", {}},
      {"10.0.0.0/+8", "\"10.0.0.0/+8\"", {}},
      {"localhost", "\"localhost\"", {}},
      {"10.0.0.1;10.0.0.2", "\"10.0.0.1;10.0.0.2\"", {}},
  };
  for (const Case& c : cases) {
    std::vector<Network> networks;
    std::string error;
    EXPECT_EQ(ParseNetworks(c.text, networks, error), c.error.empty()) << c.text;
    if (!c.error.empty()) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    for (const auto& [address, in] : c.matches) {
      EXPECT_EQ(InNetworks(networks, Ip(address)), in) << c.text << " " << address;
    }
  }
  EXPECT_EQ(Ip("::ffff:10.1.2.3").ToText(), "10.1.2.3");
  EXPECT_EQ(Ip("2001:DB8:0:0::5").ToText(), "2001:db8::5");
}

TEST(IpNetworks, TheLastForwardedForAddressIsTheClient) {
  const std::string get = "GET / HTTP/1.0\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {get + "X-Forwarded-For: 10.1.2.3\r\n\r\n", "10.1.2.3"},
      {get + "x-forwarded-for:10.9.9.9, 192.168.1.5 \r\n\r\n", "192.168.1.5"},
      {get + "X-Forwarded-For: 1.1.1.1\r\nX-Forwarded-For: 2.2.2.2, 3.3.3.3\r\n\r\n", "3.3.3.3"},
      {get + "X-Forwarded-For: [2001:db8::5]:443\r\n\r\n", "2001:db8::5"},
      {get + "X-Forwarded-For: 2001:db8::5\r\n\r\n", "2001:db8::5"},
      {get + "X-Forwarded-For: 10.1.2.3:5000\r\n\r\n", "10.1.2.3"},
      {get + "X-Forwarded-For: 10.1.2.3, unknown\r\n\r\n", ""},
      {get + "X-Forwarded-For: \r\n\r\n", ""},
      {get + "X-Forwarded-Fo: 10.1.2.3\r\n\r\n", ""},
      {get + "\r\nX-Forwarded-For: 10.1.2.3\r\n", ""},  // in the body
  };
  for (const auto& [request, client] : cases) {
    const std::optional<IpAddress> found = LastForwardedFor(HttpRequest(request));
    EXPECT_EQ(found ? found->ToText() : "", client) << request;
  }
}

TEST(BasicAuth, CredentialsFromTheAuthorizationLine) {
  using Kind = BasicCredentials::Kind;
  struct Case {
    std::string line;
    Kind kind;
    std::string user, password;
  };
  const std::vector<Case> cases = {
      {"", Kind::kNone, "", ""},
      {"Authorization: Basic dXNlcjpzM2NyZXQ=\r\n", Kind::kGiven, "user", "s3cret"},
      {"authorization: basic   YTpiOmM=\r\n", Kind::kGiven, "a", "b:c"},  // ":" in it
      {"Authorization: Basic Ong=\r\n", Kind::kGiven, "", "x"},
      {"Authorization: Bearer abc\r\n", Kind::kNone, "", ""},
      {"Authorization: Basic dXNlcg==\r\n", Kind::kMalformed, "", ""},  // no colon
      {"Authorization: Basic dXNlcjpw\r\n", Kind::kGiven, "user", "p"},
      {"Authorization: Basic dXNlcjp\r\n", Kind::kMalformed, "", ""},   // not a multiple of 4
      {"Authorization: Basic dX=lcjpw\r\n", Kind::kMalformed, "", ""},  // padding inside
      {"Authorization: Basic\r\n", Kind::kNone, "", ""},
  };
  for (const Case& c : cases) {
    const BasicCredentials got =
        ParseBasicCredentials(HttpRequest("GET / HTTP/1.0\r\n" + c.line + "\r\n\r\n"));
    EXPECT_EQ(got.kind, c.kind) << c.line;
    EXPECT_EQ(got.user, c.user) << c.line;
    EXPECT_EQ(got.password, c.password) << c.line;
  }
  EXPECT_EQ(DecodeBase64("w6TigqxA"), "\xC3\xA4\xE2\x82\xAC@");
}

// At most kBudget passwords are with the hasher at once: one more is refused at once,
// with nothing queued (the server answers it 503 and the lock-out counts nothing).
TEST(PasswordHash, MoreThanTheBudgetAtOnceIsRefusedAtOnce) {
  QObject replies;
  PasswordHasher hasher(HashPassword("s3cret"), &replies);
  for (int i = 0; i < PasswordHasher::kBudget; ++i) {
    EXPECT_TRUE(hasher.Check("wrong " + std::to_string(i), [](bool) {})) << i;
  }
  EXPECT_FALSE(hasher.Check("s3cret", [](bool) {})) << "a fifth hash at once";
}

TEST(PasswordHash, MadeCheckedAndRefusedWhenUnusable) {
  const std::string hash = HashPassword("s3cret");
  ASSERT_EQ(hash.rfind("$y$", 0), 0u) << hash;
  EXPECT_NE(HashPassword("s3cret"), hash) << "no fresh salt";
  std::string why;
  EXPECT_TRUE(UsablePasswordHash(hash, why)) << why;
  EXPECT_TRUE(PasswordMatches(hash, "s3cret"));
  for (const std::string& wrong :
       std::vector<std::string>{"s3cre", "s3cret ", "", std::string("s3cret\0x", 8)}) {
    EXPECT_FALSE(PasswordMatches(hash, wrong));
  }
  const std::vector<std::pair<std::string, std::string>> unusable = {
      {"s3cret", "no crypt(3) hash"},
      {"", "no crypt(3) hash"},
      {"$1$abcdefgh$012345678901234567890", "too weak"},
      {hash.substr(0, hash.size() - 3), "damaged"},
      {"$zz$abc", "unknown"},
  };
  for (const auto& [text, reason] : unusable) {
    EXPECT_FALSE(UsablePasswordHash(text, why)) << text;
    EXPECT_NE(why.find(reason), std::string::npos) << text << ": " << why;
    EXPECT_FALSE(PasswordMatches(text, "s3cret")) << text;
  }
}

TEST(ClientLedger, TheSendWindowIsTheLastMinuteToTheSecond) {
  ClientLedger ledger;
  const IpAddress a = Ip("10.0.0.1"), b = Ip("::1");
  int64_t t = 1000500;  // half past a second
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ledger.TakeSend(a, 3, t + i * 100)) << i;
  EXPECT_FALSE(ledger.TakeSend(a, 3, t + 300));
  EXPECT_TRUE(ledger.TakeSend(b, 3, t + 300)) << "each address has its own limit";
  EXPECT_FALSE(ledger.TakeSend(a, 3, t + 59000));  // the same second, 59 s on
  EXPECT_TRUE(ledger.TakeSend(a, 3, t + 59500));   // the second 60 s on: all three gone
  EXPECT_TRUE(ledger.TakeSend(a, 3, t + 59600));
  EXPECT_TRUE(ledger.TakeSend(a, 3, t + 59700));
  EXPECT_FALSE(ledger.TakeSend(a, 3, t + 59800));
  EXPECT_TRUE(ledger.TakeSend(a, 3, t + 500000)) << "long quiet";
}

TEST(ClientLedger, FiveWrongPasswordsInAMinuteLockOutForAMinute) {
  ClientLedger ledger;
  const IpAddress a = Ip("10.0.0.1"), b = Ip("10.0.0.2");
  int64_t t = 5000;
  // Four in a minute, the fifth a minute after the first: no lock-out.
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(ledger.CountFailure(a, t + i * 1000));
  EXPECT_FALSE(ledger.CountFailure(a, t + 60000));
  EXPECT_FALSE(ledger.LockedOut(a, t + 60000));
  // One within a minute of the one four before it (t + 1000) locks.
  EXPECT_TRUE(ledger.CountFailure(a, t + 60500));
  EXPECT_TRUE(ledger.LockedOut(a, t + 60500));
  EXPECT_TRUE(ledger.LockedOut(a, t + 120499));
  EXPECT_FALSE(ledger.LockedOut(a, t + 120500));
  EXPECT_FALSE(ledger.LockedOut(b, t + 60500));
  // After the lock-out the count starts anew.
  EXPECT_FALSE(ledger.CountFailure(a, t + 120500));
}

TEST(ClientLedger, RefusalsAreFirstInTheirWindowOncePerAddressAndKind) {
  ClientLedger ledger;
  const IpAddress a = Ip("10.0.0.1"), b = Ip("10.0.0.2");
  EXPECT_TRUE(ledger.FirstInWindow(a, RefusalLog::kAddress, 0));
  EXPECT_FALSE(ledger.FirstInWindow(a, RefusalLog::kAddress, 59999));
  EXPECT_TRUE(ledger.FirstInWindow(a, RefusalLog::kSendLimit, 59999));
  EXPECT_TRUE(ledger.FirstInWindow(b, RefusalLog::kAddress, 59999));
  EXPECT_TRUE(ledger.FirstInWindow(a, RefusalLog::kAddress, 60000));
}

TEST(ClientLedger, AFloodOfAddressesKeepsItBoundedAndWashesNothingOut) {
  ClientLedger ledger(4096);
  const IpAddress limited = Ip("10.0.0.1"), locked = Ip("2001:db8:1:2::7");
  ASSERT_TRUE(ledger.TakeSend(limited, 1, 0));
  for (int i = 0; i < ClientLedger::kFailuresToLock; ++i) ledger.CountFailure(locked, 0);
  ASSERT_TRUE(ledger.LockedOut(locked, 0));
  // 5,000 other addresses, IPv4 and IPv6 networks, each with a refusal logged.
  for (int i = 0; i < 5000; ++i) {
    const IpAddress client =
        i % 2 ? Ip("2001:db8:" + std::to_string(i) + "::1")
              : Ip("10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1");
    ledger.FirstInWindow(client, RefusalLog::kAddress, 1 + i);
    ASSERT_LE(ledger.Size(), 4096u);
  }
  // The table is full: the newcomers share one record, and one limit.
  EXPECT_TRUE(ledger.TakeSend(Ip("10.200.0.1"), 1, 30000));
  EXPECT_FALSE(ledger.TakeSend(Ip("10.200.0.2"), 1, 30000));
  EXPECT_FALSE(ledger.TakeSend(limited, 1, 59999));
  EXPECT_TRUE(ledger.LockedOut(locked, 59999));
  // An IPv6 client counts by its /64: another address of the network is locked out too.
  EXPECT_TRUE(ledger.LockedOut(Ip("2001:db8:1:2:ffff::1"), 59999));
  EXPECT_FALSE(ledger.LockedOut(Ip("2001:db8:1:3::7"), 59999));
  // Quiet for a minute: everything is forgotten at the next look.
  EXPECT_TRUE(ledger.TakeSend(limited, 1, 5000 + 60000));
  EXPECT_EQ(ledger.Size(), 1u);
  EXPECT_TRUE(ledger.TakeSend(Ip("10.200.0.2"), 1, 5000 + 60000));
}

TEST(AccessPolicy, DecisionsAndTheirLogLines) {
  AccessSettings settings;
  std::string error;
  // SHA-512: quick to check, so that the table runs fast.
  const std::string hash =
      "$6$saltsalt$As4wrv0kZlfch1du9WeH7qhskyLriQWySXrZzynnvi46nFnNxjdpl6ksRegrrKexvhIa/Iny8S8uF3f"
      "VWTMuC1";  // "s3cret"
  ASSERT_TRUE(ParseAccessSettings("127.0.0.0/29 ::1", 2.0, hash, "127.0.0.1", settings, error))
      << error;
  AccessPolicy policy(settings);
  ASSERT_TRUE(policy.Active());
  auto request = [](const std::string& lines) { return "GET / HTTP/1.0\r\n" + lines + "\r\n"; };
  const std::string right = "Authorization: Basic dTpzM2NyZXQ=\r\n";  // u:s3cret
  const std::string wrong = "Authorization: Basic dTp4\r\n";          // u:x
  struct Case {
    const char* what;
    std::string peer;
    std::string lines;
    Refusal refusal;
    std::string client;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"allowed, right password", "127.0.0.2", right, Refusal::kNone, "127.0.0.2", {}},
      {"no password", "127.0.0.2", "", Refusal::kPassword, "127.0.0.2", {}},
      {"wrong password",
       "127.0.0.2",
       wrong,
       Refusal::kWrongPassword,
       "127.0.0.2",
       {"Wrong HTTP password from 127.0.0.2"}},
      {"outside",
       "10.0.0.1",
       right,
       Refusal::kAddress,
       "10.0.0.1",
       {"Refused HTTP request from 10.0.0.1"}},
      {"outside again: not logged", "10.0.0.1", right, Refusal::kAddress, "10.0.0.1", {}},
      {"through the proxy",
       "127.0.0.1",
       right + "X-Forwarded-For: 127.0.0.3\r\n",
       Refusal::kNone,
       "127.0.0.3",
       {}},
      {"through the proxy from outside",
       "127.0.0.1",
       "X-Forwarded-For: 10.0.0.9\r\n",
       Refusal::kAddress,
       "10.0.0.9",
       {"Refused HTTP request from 10.0.0.9"}},
      {"a claim from an untrusted peer",
       "127.0.0.2",
       right + "X-Forwarded-For: 10.0.0.9\r\n",
       Refusal::kNone,
       "127.0.0.2",
       {}},
      {"wrong 2", "127.0.0.2", wrong, Refusal::kWrongPassword, "127.0.0.2", {}},
      {"wrong 3", "127.0.0.2", wrong, Refusal::kWrongPassword, "127.0.0.2", {}},
      {"wrong 4", "127.0.0.2", wrong, Refusal::kWrongPassword, "127.0.0.2", {}},
      // A page of another site chooses the credentials: they never lock anyone out.
      {"wrong, cross-site",
       "127.0.0.2",
       wrong + "Sec-Fetch-Site: cross-site\r\n",
       Refusal::kWrongPassword,
       "127.0.0.2",
       {}},
      {"wrong, same-site",
       "127.0.0.2",
       wrong + "Sec-Fetch-Site: same-site\r\n",
       Refusal::kWrongPassword,
       "127.0.0.2",
       {}},
      {"wrong, another site's link",
       "127.0.0.2",
       wrong + "Host: velweb\r\nReferer: http://evil.example/x\r\n",
       Refusal::kWrongPassword,
       "127.0.0.2",
       {}},
      {"wrong 5",
       "127.0.0.2",
       wrong,
       Refusal::kLockedOut,
       "127.0.0.2",
       {"Locked out 127.0.0.2 for a minute after 5 wrong HTTP passwords"}},
      {"locked out", "127.0.0.2", right, Refusal::kLockedOut, "127.0.0.2", {}},
      {"IPv6", "::1", right, Refusal::kNone, "::1", {}},
  };
  size_t hashed = 0;
  for (const Case& c : cases) {
    AccessPolicy::Decision d = policy.Admit(Ip(c.peer), HttpRequest(request(c.lines)), 1000);
    // What the password thread does: hash a password not known yet, once.
    if (d.refusal == Refusal::kUnchecked) {
      ++hashed;
      EXPECT_TRUE(d.logLines.empty()) << c.what;
      d = policy.Checked(d.client, d.password, PasswordMatches(hash, d.password), 1000);
    }
    EXPECT_EQ(d.refusal, c.refusal) << c.what;
    EXPECT_EQ(d.client.ToText(), c.client) << c.what;
    EXPECT_EQ(d.logLines, c.log) << c.what;
  }
  EXPECT_EQ(hashed, 2u) << "the right password and the wrong one, each hashed once";
  // More passwords than the hasher takes: refused, logged once a minute per address.
  const IpAddress busy = Ip("127.0.0.4");
  EXPECT_EQ(policy.Busy(busy, 2000).logLines,
            std::vector<std::string>{
                "Too many HTTP passwords to check at once: refused one from 127.0.0.4"});
  EXPECT_EQ(policy.Busy(busy, 3000).refusal, Refusal::kBusy);
  EXPECT_TRUE(policy.Busy(busy, 3000).logLines.empty());
  // Two messages a minute for each address; the limit's line once a minute.
  const IpAddress a = Ip("127.0.0.2");
  EXPECT_TRUE(policy.TakeSend(a, 0).allowed);
  EXPECT_TRUE(policy.TakeSend(a, 10).allowed);
  EXPECT_EQ(policy.TakeSend(a, 20).logLines,
            std::vector<std::string>{"Send limit reached for 127.0.0.2"});
  const AccessPolicy::SendPermit again = policy.TakeSend(a, 30);
  EXPECT_FALSE(again.allowed);
  EXPECT_TRUE(again.logLines.empty());
  EXPECT_TRUE(policy.TakeSend(Ip("::1"), 30).allowed);
}

TEST(HostNames, OnlyTheServersOwnNamesAndAddressesPass) {
  const HostNames hosts("alarm.example.org, Velweb.LAN", {"box", "box.site.example"});
  struct Case {
    std::string lines;
    bool viaProxy;
    std::optional<std::string> refused;
  };
  const std::vector<Case> cases = {
      {"Host: 192.0.2.7:8080\r\n", false, std::nullopt},
      {"Host: [2001:db8::5]\r\n", false, std::nullopt},
      {"Host: LOCALHOST:80\r\n", false, std::nullopt},
      {"Host: box\r\n", false, std::nullopt},
      {"Host: box.site.example.\r\n", false, std::nullopt},
      {"Host: velweb.lan:443\r\n", false, std::nullopt},
      {"Host: attacker.example:8080\r\n", false, "attacker.example:8080"},
      {"Host: 192.0.2.7.attacker.example\r\n", false, "192.0.2.7.attacker.example"},
      {"Host: box\r\nHost: evil\r\n", false, "evil"},
      {"", false, ""},  // HTTP/1.1 without Host
      // Behind a trusted proxy its X-Forwarded-Host counts, where it sends one.
      {"Host: 127.0.0.1\r\nX-Forwarded-Host: evil.example\r\n", true, "evil.example"},
      {"Host: evil\r\nX-Forwarded-Host: alarm.example.org\r\n", true, std::nullopt},
      {"Host: 127.0.0.1\r\nX-Forwarded-Host: evil.example\r\n", false, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hosts.Refused(HttpRequest("GET / HTTP/1.1\r\n" + c.lines + "\r\n"), c.viaProxy),
              c.refused)
        << c.lines;
  }
  EXPECT_EQ(HostNames().Refused(HttpRequest("GET / HTTP/1.1\r\nHost: any\r\n\r\n"), false),
            std::nullopt);
  EXPECT_EQ(HostNames("*", {}).Refused(HttpRequest("GET / HTTP/1.1\r\nHost: a\r\n\r\n"), false),
            std::nullopt);
  EXPECT_EQ(HostNames("*", {}).Refused(HttpRequest("GET / HTTP/1.1\r\n\r\n"), false), "");
}

TEST(AccessPolicy, RefusalLinesOfAllAddressesHaveABudgetPerMinute) {
  AccessSettings settings;
  std::string error;
  ASSERT_TRUE(ParseAccessSettings("10.0.0.1", 0, "", "", settings, error));
  AccessPolicy policy(settings);
  size_t lines = 0;
  std::vector<std::string> last;
  for (int i = 0; i < 1000; ++i) {
    last = policy
               .Admit(Ip("2001:db8:" + std::to_string(i) + "::1"),
                      HttpRequest("GET / HTTP/1.0\r\n\r\n"), i)
               .logLines;
    lines += last.size();
    if (i == AccessPolicy::kRefusalLinesPerWindow) {
      EXPECT_EQ(last, std::vector<std::string>{"Too many refused HTTP requests: no more refusals "
                                               "are logged this minute"});
    }
  }
  EXPECT_EQ(lines, AccessPolicy::kRefusalLinesPerWindow + 1u);
  EXPECT_EQ(policy.Admit(Ip("2001:db8::1:1"), HttpRequest("GET / HTTP/1.0\r\n\r\n"), 61000)
                .logLines.size(),
            1u);
  // Without keys nothing is active and nothing is limited.
  AccessPolicy none;
  EXPECT_FALSE(none.Active());
  EXPECT_EQ(none.SendLimit(), 0);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(none.TakeSend(Ip("10.0.0.1"), i).allowed);
}

TEST(JsonMessage, FieldsBecomeASubmissionInWindows1252) {
  struct Case {
    const char* what;
    std::string body;
    std::string error;  // a piece of it; empty: none
    std::string receivers = "";
    std::string message = "";
    bool holdsSeparator = false;
  };
  const std::vector<Case> cases = {
      {"good",
       "{\"receivers\": [\"Fire Brigade\", \"alpha team\"], \"message\": \"Gas leak at school\"}",
       "",
       "Fire Brigade\xFE"
       "alpha team\xFE",
       "Gas leak at school"},
      {"letters of Windows-1252",
       "{\"message\": \"50 \xE2\x82\xAC \\u00e4\", \"receivers\": [\"B\xC3\xA4r\"]}", "",
       "B\xE4r\xFE", "50 \x80 \xE4"},
      {"outside Windows-1252", "{\"receivers\": [\"A\"], \"message\": \"\xF0\x9F\x9A\x92\"}",
       "\"message\": the character \xF0\x9F\x9A\x92 (U+1F692) has no place in Windows-1252"},
      {"a receiver outside", "{\"receivers\": [\"A\", \"\\u2622\"], \"message\": \"m\"}",
       "receiver 2: the character"},
      {"not JSON", "receivers=A&message=m", "the body is not JSON ("},
      {"cut short", "{\"receivers\": [\"A\"]", "the body is not JSON ("},
      {"not an object", "[\"A\"]", "must be a JSON object"},
      {"no receivers", "{\"message\": \"m\"}", "\"receivers\" must be a list"},
      {"receivers not a list", "{\"receivers\": \"A\", \"message\": \"m\"}",
       "\"receivers\" must be a list"},
      {"empty list", "{\"receivers\": [], \"message\": \"m\"}", "\"receivers\" must be a list"},
      {"an empty name", "{\"receivers\": [\"A\", \"\"], \"message\": \"m\"}",
       "receiver 2 must be a name"},
      {"a name that is no text", "{\"receivers\": [1], \"message\": \"m\"}",
       "receiver 1 must be a name"},
      {"no message", "{\"receivers\": [\"A\"]}", "\"message\" must be a text"},
      {"empty message", "{\"receivers\": [\"A\"], \"message\": \"\"}", "\"message\" must be"},
      {"a separator", "{\"receivers\": [\"A\"], \"message\": \"\xC3\xBE\"}", "", "A\xFE", "\xFE",
       true},
      {"a NUL", "{\"receivers\": [\"A\\u0000B\"], \"message\": \"m\"}", "",
       std::string("A\0B\xFE", 4), "m", true},
      // Nothing is changed on the way: no lone surrogate, no key given twice.
      {"a lone surrogate", "{\"receivers\": [\"A\"], \"message\": \"lone \\ud800 x\"}",
       "\"message\": holds a lone surrogate (\\ud800)"},
      {"a lone low surrogate", "{\"receivers\": [\"\\udc00\"], \"message\": \"m\"}",
       "receiver 1: holds a lone surrogate"},
      {"a key twice", "{\"receivers\": [\"A\"], \"message\": \"m\", \"receivers\": [\"B\"]}",
       "the key \"receivers\" is given twice"},
      {"a key twice, once escaped",
       "{\"message\": \"m\", \"receivers\": [\"A\"], \"m\\u0065ssage\": \"n\"}",
       "the key \"message\" is given twice"},
      {"the same key in two objects",
       "{\"receivers\": [\"A\"], \"message\": \"m\", \"x\": "
       "[{\"message\": 1}, {\"message\": \"}\"}]}",
       "", "A\xFE", "m"},
  };
  for (const Case& c : cases) {
    const JsonMessage m = ParseJsonMessage(c.body);
    if (c.error.empty()) {
      EXPECT_EQ(m.error, "") << c.what;
    } else {
      EXPECT_NE(m.error.find(c.error), std::string::npos) << c.what << ": " << m.error;
      continue;
    }
    EXPECT_EQ(m.submission.receivers, c.receivers) << c.what;
    EXPECT_EQ(m.submission.message, c.message) << c.what;
    EXPECT_EQ(m.submission.holdsSeparator, c.holdsSeparator) << c.what;
  }
  EXPECT_EQ(JsonSent("B\xE4r \"1\"\xFE"
                     "x\xFE"),
            "{\"sent\": true, \"receivers\": [\"B\xC3\xA4r \\\"1\\\"\", \"x\"]}\n");
  EXPECT_EQ(JsonNotSent("a \"b\""), "{\"sent\": false, \"error\": \"a \\\"b\\\"\"}\n");
}

// ---- the outbox's journal ----------------------------------------------------------------

// The journal's records read back whole; a torn or damaged tail is cut at the last whole
// record, wherever a crash cut the write or a byte went bad.
TEST(OutboxJournal, RecordsReadBackAndATornOrDamagedTailIsCut) {
  const std::vector<OutboxRecord> records = {
      {RecordType::kAccepted, 1, 1700000000000, "127.0.0.1", "FT:A\xFEhello", "alice"},
      {RecordType::kPassed, 1, 1700000000005, "", "", ""},
      {RecordType::kAccepted, 2, 1700000000010, "::1", std::string(4093, 'x'), ""},
      {RecordType::kTaken, 1, 1700000001000, "", "", ""},
  };
  std::string journal;
  std::vector<size_t> ends;
  for (const OutboxRecord& record : records) {
    journal += EncodeRecord(record);
    ends.push_back(journal.size());
  }
  const JournalReplay whole = ReplayJournal(journal);
  EXPECT_EQ(whole.records, records);
  EXPECT_EQ(whole.wholeBytes, journal.size());
  EXPECT_EQ(whole.tail, "");
  // Cut anywhere inside the last record: the three before it stand.
  for (size_t cut = ends[2]; cut < ends[3]; ++cut) {
    const JournalReplay torn = ReplayJournal(std::string_view(journal).substr(0, cut));
    ASSERT_EQ(torn.records.size(), 3u) << cut;
    EXPECT_EQ(torn.wholeBytes, ends[2]);
    EXPECT_EQ(torn.tail.empty(), cut == ends[2]) << cut;
  }
  // A bit changed anywhere in the second record: it and all after it are the tail.
  for (size_t at = ends[0]; at < ends[1]; ++at) {
    std::string damaged = journal;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    const JournalReplay replay = ReplayJournal(damaged);
    EXPECT_EQ(replay.records.size(), 1u) << at;
    EXPECT_EQ(replay.wholeBytes, ends[0]) << at;
    EXPECT_FALSE(replay.tail.empty()) << at;
  }
  EXPECT_EQ(Crc32c("123456789"), 0xE3069283u);  // CRC-32C's check value
}

// ---- the outbox ---------------------------------------------------------------------------

// The command buffer as the library keeps it: entries each followed by 0xFF, at most
// 4093 bytes of them (so that the closing zero byte has its place).
struct FakeCommandBuffer {
  std::string bytes;
  CommandBufferAccess Access() {
    return {[this] { return std::optional<std::string>(bytes); },
            [this](const std::string& entry) {
              if (bytes.size() + entry.size() > 4093) return false;
              bytes += entry + '\xFF';
              return true;
            }};
  }
  // Takes the first `n` entries out, as the alarm server does.
  void Take(size_t n) {
    for (; n > 0; --n) bytes.erase(0, bytes.find('\xFF') + 1);
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> entries;
    for (size_t at = 0, end; (end = bytes.find('\xFF', at)) != std::string::npos; at = end + 1)
      entries.push_back(bytes.substr(at, end - at));
    return entries;
  }
};

// An outbox on a journal of the test's own, opened; Accept waits until the message is on
// disk (or refused).
struct OpenOutbox {
  explicit OpenOutbox(const veltest::TempDir& dir, OutboxSettings settings = {100, 0})
      : box(settings, dir.File("vel_outbox.dat")) {
    std::string error;
    EXPECT_TRUE(box.Open(dir.File("vel_kept.dat"), dir.File("vel_kept.bad"), lines, error))
        << error;
  }
  Outbox::Accepted Accept(const std::string& sender, const std::string& entry) {
    std::promise<Outbox::Accepted> done;
    box.Accept(sender, entry, [&](Outbox::Accepted accepted) { done.set_value(accepted); });
    return done.get_future().get();
  }
  MessageState StateOf(uint64_t id) const { return box.Status(id).value().state; }
  Outbox box;
  std::vector<std::string> lines;
};

// Fair order: round-robin across senders, oldest first within one; an entry of another
// program that is byte for byte alike keeps a message "passed" (never taken early), and
// is left where it is; what the buffer has no room for waits its turn.
TEST(Outbox, PassesRoundRobinBySenderAndSaysTakenOnlyWhatLeftTheBuffer) {
  veltest::TempDir dir;
  OpenOutbox outbox(dir);
  std::map<std::string, uint64_t> ids;
  for (const char* name : {"a1", "a2", "a3", "b1", "c1"}) {
    const Outbox::Accepted accepted =
        outbox.Accept(std::string(1, name[0]), "FT:R\xFE" + std::string(name));
    ASSERT_EQ(accepted.refusal, Outbox::Refusal::kNone);
    ids[name] = accepted.id;
  }
  FakeCommandBuffer buffer;
  outbox.box.Feed(buffer.Access(), 1000);
  EXPECT_EQ(buffer.Entries(), (std::vector<std::string>{"FT:R\xFE"
                                                        "a1",
                                                        "FT:R\xFE"
                                                        "b1",
                                                        "FT:R\xFE"
                                                        "c1",
                                                        "FT:R\xFE"
                                                        "a2",
                                                        "FT:R\xFE"
                                                        "a3"}));
  buffer.bytes += std::string(
                      "FT:R\xFE"
                      "a3") +
                  '\xFF';  // a peer's entry, alike
  buffer.Take(5);
  outbox.box.Feed(buffer.Access(), 2000);
  for (const char* name : {"a1", "a2", "b1", "c1"})
    EXPECT_EQ(outbox.StateOf(ids[name]), MessageState::kTaken) << name;
  EXPECT_EQ(outbox.StateOf(ids["a3"]), MessageState::kPassed);
  EXPECT_EQ(buffer.Entries(), std::vector<std::string>{"FT:R\xFE"
                                                       "a3"});
  EXPECT_EQ(outbox.box.Status(ids["a1"])->endedMs, 2000);
  // A long entry waits until there is room for it; the sender after it waits with it.
  const uint64_t longOne = outbox.Accept("d", "FT:R\xFE" + std::string(4082, 'x')).id;
  const uint64_t shortOne = outbox.Accept("e", "FT:R\xFEshort").id;
  outbox.box.Feed(buffer.Access(), 3000);
  EXPECT_EQ(outbox.StateOf(longOne), MessageState::kQueued);
  EXPECT_EQ(outbox.StateOf(shortOne), MessageState::kQueued);
  buffer.Take(1);
  outbox.box.Feed(buffer.Access(), 4000);
  EXPECT_EQ(outbox.StateOf(ids["a3"]), MessageState::kTaken);
  EXPECT_EQ(outbox.StateOf(longOne), MessageState::kPassed);
  const OutboxCounts counts = outbox.box.Counts();
  EXPECT_EQ(counts.accepted, 7u);
  EXPECT_EQ(counts.taken, 5u);
  EXPECT_EQ(counts.Depth(), 2u);
}

// Over a crash and a start: states come back from the journal, a torn tail is cut with
// a line, and only the passed messages that the buffer no longer holds are passed again
// (counted and logged); a clean stop that takes the region's entries out gives the
// outbox's own back to it and hands the peer's on.
TEST(Outbox, StartReplaysTheJournalAndPassesAgainOnlyWhatTheBufferLost) {
  veltest::TempDir dir;
  FakeCommandBuffer buffer;
  std::vector<uint64_t> ids;
  {
    OpenOutbox outbox(dir);
    for (const char* text : {"one", "two", "three", "four"}) {
      ids.push_back(outbox.Accept("a", std::string("FT:R\xFE") + text).id);
    }
    outbox.box.Feed(buffer.Access(), 1000);
    buffer.Take(1);
    outbox.box.Feed(buffer.Access(), 2000);  // "one" taken
  }
  // A crash took the buffer's region with it but "four" (a region kept alive by another
  // program holds it still), and cut the journal's last write.
  buffer.bytes = std::string(
                     "FT:R\xFE"
                     "four") +
                 '\xFF';
  { std::ofstream(dir.File("vel_outbox.dat"), std::ios::app) << std::string("\x11\x22\x33", 3); }
  OpenOutbox outbox(dir);
  ASSERT_FALSE(outbox.lines.empty());
  EXPECT_NE(outbox.lines[0].find("cut vel_outbox.dat after byte"), std::string::npos);
  EXPECT_EQ(outbox.StateOf(ids[0]), MessageState::kTaken);
  EXPECT_EQ(outbox.StateOf(ids[1]), MessageState::kPassed);
  const std::vector<std::string> lines = outbox.box.Feed(buffer.Access(), 3000);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("passes 2 messages again"), std::string::npos);
  EXPECT_EQ(buffer.Entries(), (std::vector<std::string>{"FT:R\xFE"
                                                        "four",
                                                        "FT:R\xFE"
                                                        "two",
                                                        "FT:R\xFE"
                                                        "three"}));
  EXPECT_EQ(outbox.box.Counts().passedAgain, 2u);
  // A new message gets an id of its own, past every earlier one.
  EXPECT_GT(outbox
                .Accept("a",
                        "FT:R\xFE"
                        "five")
                .id,
            ids.back());
  // A stop takes everything out of a region that goes with it.
  std::vector<std::string> takenOut = buffer.Entries();
  takenOut.insert(takenOut.begin() + 1, "FT:P\xFEpeer");
  EXPECT_EQ(outbox.box.TakeBack(takenOut), std::vector<std::string>{"FT:P\xFEpeer"});
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(outbox.StateOf(ids[i]), MessageState::kQueued) << i;
}

// An older version's kept messages come first, in their order, and once; a journal
// that is mostly done is compacted to what still lives, which a start reads back.
TEST(Outbox, TakesKeptMessagesFirstAndCompactsWhatIsDone) {
  veltest::TempDir dir;
  dir.Write("vel_kept.dat", KeptCommandsBytes({"FT:K\xFEkept1", "FT:K\xFEkept2"}));
  FakeCommandBuffer buffer;
  uint64_t last = 0;
  {
    OpenOutbox outbox(dir);
    ASSERT_EQ(outbox.lines.size(), 2u);
    EXPECT_EQ(outbox.lines[0],
              "Velmar Web Server took 2 kept messages from vel_kept.dat into vel_outbox.dat");
    EXPECT_FALSE(dir.Has("vel_kept.dat"));
    outbox.Accept("a", "FT:A\xFEnew");
    outbox.box.Feed(buffer.Access(), 1000);
    EXPECT_EQ(buffer.Entries(),
              (std::vector<std::string>{"FT:K\xFEkept1", "FT:K\xFEkept2", "FT:A\xFEnew"}));
    buffer.Take(3);
    // 300 messages of 4 KB, each taken on its own: most of the journal is done.
    for (int i = 0; i < 300; ++i) {
      outbox.Accept("a", "FT:A\xFE" + std::to_string(i) + std::string(4000, 'x'));
      outbox.box.Feed(buffer.Access(), 2000 + i);
      buffer.Take(1);
    }
    last = outbox.Accept("b", "FT:B\xFElast").id;
    // 1.2 MB were written; compacted, far less stands.
    ASSERT_TRUE(veltest::WaitFor([&] {
      return std::filesystem::file_size(dir.File("vel_outbox.dat")) < 1024 * 1024;
    })) << std::filesystem::file_size(dir.File("vel_outbox.dat"));
  }
  OpenOutbox outbox(dir);
  EXPECT_EQ(outbox.StateOf(last), MessageState::kQueued);
  EXPECT_EQ(outbox.box.Counts().Depth(), 2u);  // the last of the 300, passed; and "last"
  EXPECT_EQ(veltest::ModeOf(dir.File("vel_outbox.dat")) & 0777, 0640u);
}

// Lifetime and size: a message not passed within ExpireSeconds is dropped with a line
// naming it; a passed one never expires; a full outbox accepts nothing.
TEST(Outbox, ExpiresUnpassedMessagesAndRefusesWhenFull) {
  veltest::TempDir dir;
  OpenOutbox outbox(dir, {2, 60});
  const uint64_t first = outbox.Accept("a", "FT:R\xFEone").id;
  const uint64_t second = outbox.Accept("b", "FT:R\xFEtwo").id;
  EXPECT_EQ(outbox.Accept("c", "FT:R\xFEthree").refusal, Outbox::Refusal::kFull);
  const int64_t accepted = outbox.box.Status(first)->acceptedMs;
  FakeCommandBuffer buffer;
  buffer.bytes = std::string(4090, 'p') + '\xFF';  // no room: nothing passes
  const CommandBufferAccess full = buffer.Access();
  EXPECT_TRUE(outbox.box.Feed(full, accepted + 59'000).empty());
  const std::vector<std::string> lines = outbox.box.Feed(full, accepted + 61'000);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" from a after 61 s"), std::string::npos) << lines[0];
  EXPECT_EQ(outbox.StateOf(first), MessageState::kExpired);
  EXPECT_EQ(outbox.StateOf(second), MessageState::kExpired);
  EXPECT_EQ(outbox.box.Counts().expired, 2u);
  // Room again, once they ended.
  const uint64_t third = outbox.Accept("c", "FT:R\xFEthree").id;
  buffer.bytes.clear();
  const int64_t thirdAccepted = outbox.box.Status(third)->acceptedMs;
  outbox.box.Feed(buffer.Access(), thirdAccepted + 1000);
  outbox.box.Feed(buffer.Access(), thirdAccepted + 999'000);
  EXPECT_EQ(outbox.StateOf(third), MessageState::kPassed);
}

// ---- the exchange thread ----------------------------------------------------------------

// Jobs run one at a time in the order asked (RunFirst before those waiting); the line of
// hand-overs is bounded, a waiting one can be called off and never runs, a started one
// cannot; after Finish, what is queued has run and new jobs run on the caller's thread.
// A core's worker (its scope) is the current one while it lives.
TEST(ExchangeWorker, OrderTheBoundedLineCallingOffAndFinish) {
  ExchangeWorker worker;
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::vector<int> ran;  // written by the exchange thread only, read after Finish
  worker.Run([open] { open.wait(); });
  std::vector<std::shared_ptr<ExchangeTicket>> tickets;
  for (int i = 0; i < ExchangeWorker::kMaxWaitingHandOvers; ++i) {
    tickets.push_back(worker.RunHandOver([&ran, i] { ran.push_back(i); }));
    ASSERT_NE(tickets.back(), nullptr) << i;
  }
  EXPECT_EQ(worker.RunHandOver([&ran] { ran.push_back(-2); }), nullptr);
  EXPECT_TRUE(worker.CallOff(*tickets[5]));
  EXPECT_FALSE(worker.CallOff(*tickets[5]));
  // A place called off is free again.
  EXPECT_NE(worker.RunHandOver([&ran] { ran.push_back(1000); }), nullptr);
  worker.RunFirst([&ran] { ran.push_back(-1); });
  gate.set_value();
  worker.Finish();
  EXPECT_FALSE(worker.CallOff(*tickets[0]));  // it has run

  std::vector<int> expected = {-1};
  for (int i = 0; i < ExchangeWorker::kMaxWaitingHandOvers; ++i) {
    if (i != 5) expected.push_back(i);
  }
  expected.push_back(1000);
  EXPECT_EQ(ran, expected);
  std::thread::id on;
  worker.Run([&on] { on = std::this_thread::get_id(); });
  EXPECT_EQ(on, std::this_thread::get_id());
  // Each core's scope is a worker with a thread of its own, one after the other.
  for (int core = 0; core < 2; ++core) {
    ExchangeScope scope;
    EXPECT_EQ(&ExchangeWorker::Instance(), &scope.Worker());
    std::promise<std::thread::id> ranOn;
    ExchangeWorker::Instance().Run([&ranOn] { ranOn.set_value(std::this_thread::get_id()); });
    EXPECT_NE(ranOn.get_future().get(), std::this_thread::get_id()) << core;
  }
  EXPECT_NE(&ExchangeWorker::Instance(), &worker);
}

// ---- kept messages --------------------------------------------------------------------

struct KeptFile {
  veltest::TempDir dir;
  std::string path = dir.File(kKeptCommandsFile);
  std::string aside = dir.File(kSetAsideCommandsFile);
  std::vector<std::string> handed;

  HandBackOutcome HandBack(size_t room = 1000) {
    return HandBackKeptFile(path, aside, [&](const std::string& command) {
      if (handed.size() == room) return false;
      handed.push_back(command);
      return true;
    });
  }
};

TEST(KeptMessages, GoodEntriesAreHandedBackInOrderAndTheOthersSetAside) {
  KeptFile kept;
  const std::string tooLong(4094, 'x');
  const std::string withZero("FT:A\xFEzero\0byte", 14);
  veltest::WriteFile(kept.path, KeptCommandsBytes({"FT:A\xFEone", tooLong, withZero,
                                                   std::string(4093, 'y'), "FT:B\xFEtwo"}) +
                                    "\xFF\xFF" + "cut sho");
  const HandBackOutcome outcome = kept.HandBack();
  EXPECT_TRUE(outcome.read);
  EXPECT_EQ(kept.handed,
            (std::vector<std::string>{"FT:A\xFEone", std::string(4093, 'y'), "FT:B\xFEtwo"}));
  EXPECT_EQ(outcome.setAside, 3u);
  EXPECT_EQ(outcome.left, 0u);
  EXPECT_FALSE(kept.dir.Has(kKeptCommandsFile));
  EXPECT_EQ(veltest::ReadFile(kept.aside), KeptCommandsBytes({tooLong, withZero, "cut sho"}));
  EXPECT_EQ(kept.HandBack().read, false);  // nothing left, nothing set aside twice
  EXPECT_EQ(veltest::ReadFile(kept.aside).size(), 4095u + 15u + 8u);
}

TEST(KeptMessages, WhatCannotBeHandedBackNowWaitsInOrder) {
  KeptFile kept;
  veltest::WriteFile(kept.path, KeptCommandsBytes({"a", "b", "c"}));
  EXPECT_EQ(kept.HandBack(1).left, 2u);
  EXPECT_EQ(veltest::ReadFile(kept.path), KeptCommandsBytes({"b", "c"}));
  struct stat info {};
  ASSERT_EQ(stat(kept.path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0027, 0u) << "readable beyond the group";
  EXPECT_EQ(kept.HandBack().left, 0u);
  EXPECT_EQ(kept.handed, (std::vector<std::string>{"a", "b", "c"}));
}

// Killed right after the library took an entry, before that was recorded: the next
// start repeats that one entry, and loses none.
TEST(KeptMessages, AKillWhileHandingBackRepeatsAtMostTheEntryInFlight) {
  KeptFile kept;
  veltest::WriteFile(kept.path, KeptCommandsBytes({"e1", "e2", "e3", "e4"}));
  const std::string taken = kept.dir.File("taken");
  const auto take = [&](const std::string& command) {
    std::ofstream(taken, std::ios::app) << command << "\n";
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HandBackKeptFile(kept.path, kept.aside, [&](const std::string& command) {
      take(command);
      if (command == "e2") _exit(9);
      return true;
    });
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
  const HandBackOutcome outcome = HandBackKeptFile(kept.path, kept.aside, [&](const auto& c) {
    take(c);
    return true;
  });
  EXPECT_EQ(outcome.handed, 3u);
  EXPECT_EQ(veltest::ReadFile(taken), "e1\ne2\ne2\ne3\ne4\n");
}

TEST(KeptMessages, OnlyARegularFileNamedWithoutALinkIsRead) {
  KeptFile kept;
  kept.dir.Write("elsewhere", KeptCommandsBytes({"not a kept message"}));
  ASSERT_EQ(symlink(kept.dir.File("elsewhere").c_str(), kept.path.c_str()), 0);
  HandBackOutcome outcome = kept.HandBack();
  EXPECT_FALSE(outcome.read);
  EXPECT_EQ(outcome.why, "it is a symbolic link");

  // A FIFO nobody writes to: refused at once, not waited on.
  ASSERT_EQ(unlink(kept.path.c_str()), 0);
  ASSERT_EQ(mkfifo(kept.path.c_str(), 0600), 0);
  outcome = kept.HandBack();
  EXPECT_EQ(outcome.why, "it is not a regular file");
  // Keeping puts a regular file in its place.
  ASSERT_TRUE(AppendToKeptFile(kept.path, KeptCommandsBytes({"kept"})));

  ASSERT_EQ(symlink(kept.dir.File("elsewhere").c_str(), kept.dir.File("link").c_str()), 0);
  ASSERT_TRUE(AppendToKeptFile(kept.dir.File("link"), KeptCommandsBytes({"kept too"})));
  EXPECT_EQ(kept.dir.Read("elsewhere"), KeptCommandsBytes({"not a kept message"}));

  veltest::WriteSparseFile(kept.dir.File("big"), kKeptFileLimit + 1);
  outcome = HandBackKeptFile(kept.dir.File("big"), kept.aside, [](const auto&) { return true; });
  EXPECT_EQ(outcome.why, "it is larger than 1 MiB");
  EXPECT_TRUE(kept.handed.empty());

  outcome = kept.HandBack();
  EXPECT_EQ(kept.handed, std::vector<std::string>{"kept"});
}

TEST(AlertWebhooks, TextIsCutAfterTheLastAlertThatFitsWithTheCountOfTheRest) {
  auto payload = [](int truncated) {
    return R"({"status":"firing","truncatedAlerts":)" + std::to_string(truncated) +
           R"(,"alerts":[{"labels":{"alertname":"Aaaa"}},{"labels":{"alertname":"Bbbb"}},)"
           R"({"labels":{"alertname":"Cccc","instance":"c"}}]})";
  };
  // "FIRING: Aaaa; Bbbb; Cccc (c)" is 28 bytes.
  const struct {
    size_t room;
    int truncated;
    std::string text;
  } cases[] = {
      {28, 0, "FIRING: Aaaa; Bbbb; Cccc (c)"},
      {27, 0, "FIRING: Aaaa (+2 more)"},  // two and "(+1 more)" would need 28
      {22, 0, "FIRING: Aaaa (+2 more)"},
      {21, 0, "FIRING: Aaa (+2 more)"},  // even the first does not fit: as much as does
      {28, 4, "FIRING: Aaaa; Bbbb (+5 more)"},
      {38, 4, "FIRING: Aaaa; Bbbb; Cccc (c) (+4 more)"},
      {5, 0, "FIRIN"},
  };
  for (const auto& c : cases) {
    const AlertText text = AlertMessage(PostSource::kAlertmanager, payload(c.truncated), c.room);
    EXPECT_EQ(text.error, "");
    EXPECT_EQ(text.text, c.text) << c.room;
  }
  // A title of Grafana's own form is left out; one of the admin's stands for no alerts.
  EXPECT_EQ(AlertMessage(PostSource::kGrafana,
                         R"({"status":"firing","title":"T\u00e9st \u20ac\u263a","alerts":[]})", 100)
                .text,
            "T\xE9st \x80?");
  EXPECT_EQ(AlertMessage(PostSource::kGrafana,
                         R"({"status":"firing","title":" \n","alerts":[{"labels":{}}]})", 100)
                .text,
            "FIRING: alert");
  EXPECT_EQ(
      AlertMessage(PostSource::kGrafana,
                   R"({"status":"firing","title":"[FIRING:1]","alerts":[{"labels":{}}]})", 100)
          .text,
      "FIRING: alert");
}

TEST(AlertWebhooks, PathsQueriesAndTheSourceOfAPost) {
  // The webhooks by their path; another post by its content type, the first Content-Type
  // line of the header block.
  const std::pair<std::string, PostSource> types[] = {
      {"POST /alertmanager HTTP/1.1\r\n\r\n", PostSource::kAlertmanager},
      {"post /AlertManager/?receivers=A HTTP/1.1\r\n\r\n", PostSource::kAlertmanager},
      {"POST http://alarm:8080/grafana?receivers=A HTTP/1.1\r\n\r\n", PostSource::kGrafana},
      {"POST /grafana.htm HTTP/1.1\r\n\r\n", PostSource::kForm},
      {"POST /x/grafana HTTP/1.1\r\n\r\n", PostSource::kForm},
      {"GET /grafana HTTP/1.1\r\n\r\n", PostSource::kForm},
      {"POST / HTTP/1.0\r\nContent-Type: Text/Plain; charset=utf-8\r\n\r\n", PostSource::kText},
      {"post /s.htm HTTP/1.0\r\ncontent-type: Application/JSON; charset=utf-8\r\n\r\n{}",
       PostSource::kJson},
      {"POST /s.htm HTTP/1.0\r\nContent-Type: application/jsonx\r\n\r\n", PostSource::kForm},
      {"GET / HTTP/1.0\r\nContent-Type: text/plain\r\n\r\n", PostSource::kForm},
      {"POST /s.htm HTTP/1.0\r\n\r\nContent-Type: application/json\r\n", PostSource::kForm},
  };
  for (const auto& [request, source] : types) {
    EXPECT_EQ(HttpRequest(request).Source(), source) << request;
  }

  // Receivers matched whole and in any case, empty ones skipped, UTF-8 names converted
  // and Windows-1252 ones kept; the body of a plain-text post loses its line end.
  auto posted = [](PostSource source, const std::string& target, const std::string& body) {
    return ParsePostedMessage(source, HttpRequest("POST " + target + " HTTP/1.0\r\n\r\n" + body));
  };
  auto text = [&](const std::string& query, const std::string& body) {
    return posted(PostSource::kText, "/s.htm?" + query, body);
  };
  PostedMessage m = text("RECEIVERS=A+1&xreceivers=X&receivers=&receivers=B%C3%A4r", "Hi\r\n");
  EXPECT_EQ(m.error, "");
  EXPECT_EQ(m.submission.receivers,
            "A 1\xFE"
            "B\xE4r\xFE");
  EXPECT_EQ(m.submission.message, "Hi");
  EXPECT_EQ(text("receivers=B%E4r", "Hi").submission.receivers, "B\xE4r\xFE");
  EXPECT_NE(text("receivers=%E2%98%A2", "Hi").error.find("U+2622"), std::string::npos);
  EXPECT_NE(text("receiver=A", "Hi").error.find("no receivers"), std::string::npos);
  EXPECT_EQ(text("receivers=A", "\r\n").error, "the message is empty");
  EXPECT_TRUE(text("receivers=A%FE", "Hi").submission.holdsSeparator);
  EXPECT_EQ(text("receivers=A", std::string(4088, 'm')).error, "");
  EXPECT_NE(text("receivers=A", std::string(4089, 'm')).error.find("too long"), std::string::npos);
  // Receivers that leave no room for a message.
  EXPECT_NE(text("receivers=" + std::string(4080, 'r'), "Hi").error.find("no room"),
            std::string::npos);
  // resolved=0 leaves resolved notifications, and the resolved alerts of firing ones, out.
  const std::string resolved =
      R"({"status":"resolved","alerts":[{"status":"resolved","labels":{"alertname":"A"}}]})";
  const std::string mixed =
      R"({"status":"firing","alerts":[{"status":"resolved","labels":{"alertname":"A"}},)"
      R"({"status":"firing","labels":{"alertname":"B"}}]})";
  auto alert = [&](const std::string& query, const std::string& body) {
    return posted(PostSource::kAlertmanager, "/alertmanager?" + query, body);
  };
  EXPECT_TRUE(alert("receivers=A&resolved=0", resolved).skipped);
  EXPECT_EQ(alert("receivers=A&resolved=0", resolved).error, "");
  EXPECT_EQ(alert("receivers=A", resolved).submission.message, "RESOLVED: A");
  EXPECT_EQ(alert("receivers=A&resolved=0", mixed).submission.message, "FIRING: B");
  EXPECT_EQ(alert("receivers=A", mixed).submission.message, "FIRING: B; RESOLVED: A");
}

}  // namespace
}  // namespace vel
