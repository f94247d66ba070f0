// What taking a complete request apart once (HttpRequest: the request line, the header
// lines, the source of a post, the status path) costs, beside the request line's parse
// alone: the per-request price of reading every later fact from one structure.
#include <benchmark/benchmark.h>

#include <string>

#include "request.h"

namespace {

// What the load client sends, and what a browser sends for a page.
const std::string kBare = "GET /INDEX.HTM HTTP/1.0\r\n\r\n";
const std::string kBrowser =
    "GET /INDEX.HTM HTTP/1.1\r\nHost: alarm.example:8080\r\nConnection: keep-alive\r\n"
    "Upgrade-Insecure-Requests: 1\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) "
    "AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Sec-Fetch-Site: none\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-User: ?1\r\n"
    "Sec-Fetch-Dest: document\r\nAccept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-GB,en;q=0.9\r\n\r\n";
const std::string kPost =
    "POST /SEND.HTM HTTP/1.1\r\nHost: alarm.example:8080\r\nOrigin: http://alarm.example:8080\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 36\r\n\r\n"
    "message=Gas+leak&receivers=Fire+One";

const std::string& RequestOf(int64_t which) {
  return which == 0 ? kBare : which == 1 ? kBrowser : kPost;
}

void BM_RequestLineOnly(benchmark::State& state) {
  const std::string& text = RequestOf(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(vel::ParseRequestTarget(text));
}

void BM_TakenApart(benchmark::State& state) {
  const std::string& text = RequestOf(state.range(0));
  const size_t headerLength = text.find("\r\n\r\n") + 4;
  for (auto _ : state) {
    std::string copy = text;  // the connection hands its buffer over; a copy stands for it
    vel::HttpRequest request(std::move(copy), headerLength);
    benchmark::DoNotOptimize(request.Source());
  }
}

void BM_CopyOnly(benchmark::State& state) {
  const std::string& text = RequestOf(state.range(0));
  for (auto _ : state) {
    std::string copy = text;
    benchmark::DoNotOptimize(copy.data());
  }
}

// 0: the load client's GET, 1: a browser's GET, 2: a browser's form post.
BENCHMARK(BM_RequestLineOnly)->DenseRange(0, 2);
BENCHMARK(BM_TakenApart)->DenseRange(0, 2);
BENCHMARK(BM_CopyOnly)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
