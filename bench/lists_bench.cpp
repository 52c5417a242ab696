// The cost of imported ad lists: converting EasyList and EasyPrivacy (what
// "vmlists add" does), loading their converted files (what start-up and each
// reload add), and match_request with the shipped definitions alone and with
// both lists. The lists are the copies Debian's packaged browser extension
// ships; without them the benchmarks are skipped.
//
// Requests: half are made from hosts and paths the lists name (so that they
// are blocked), half from made-up hosts and paths that no rule names.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "adlists/list_converter.h"
#include "filter/definitions_parser.h"
#include "filter/imported_list.h"
#include "filter/matcher.h"
#include "filter/rule_list.h"

namespace {

const char* const kListDirs[] = {
    "/usr/share/chromium/extensions/ublock-origin/assets/thirdparties/easylist/",
    "/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}/"
    "uBlock0@raymondhill.net/assets/thirdparties/easylist/"};

std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct Request {
  std::string host;
  std::string path;
};

struct World {
  std::vector<std::string> sources;    // EasyList, EasyPrivacy
  std::vector<std::string> converted;  // their converted files
  std::shared_ptr<RuleList> user_only;
  std::shared_ptr<RuleList> with_lists;
  std::vector<Request> requests;
};

const World& world() {
  static World* w = [] {
    auto* w = new World;
    for (const char* dir : kListDirs) {
      std::string a = read_file(std::string(dir) + "easylist.txt");
      std::string b = read_file(std::string(dir) + "easyprivacy.txt");
      if (!a.empty() && !b.empty()) {
        w->sources = {a, b};
        break;
      }
    }
    std::string shipped = read_file(std::string(VELLOMAR_SOURCE_DIR) + "/dist/Vellomar.ini");
    if (shipped.empty()) std::fprintf(stderr, "lists_bench: no shipped Vellomar.ini\n");
    std::vector<ProxyLine> proxies;
    w->user_only = parse_ad_definitions(shipped, &proxies);
    w->with_lists = parse_ad_definitions(shipped, &proxies);
    std::mt19937 random(7);
    for (const std::string& source : w->sources) {
      std::string error;
      auto out = adlists::convert_list(source, &error);
      if (!out) continue;
      w->converted.push_back(out->definitions);
      w->with_lists->imported.push_back(parse_imported_list("bench", out->definitions));
      // Requests from the list's own host and path rules.
      std::size_t at = 0;
      while ((at = out->definitions.find('\n', at)) != std::string::npos) {
        ++at;
        // Comment lines (exceptions, third-party and conditional rules) are
        // passed over before the draw, so the same rule lines give the same
        // requests whatever the converter writes beside them.
        if (out->definitions.compare(at, 1, "#") == 0 || random() % 50 != 0) continue;
        std::string line = out->definitions.substr(at, out->definitions.find('\n', at) - at);
        if (line.size() < 3) continue;
        std::string body = line.substr(line[1] == '<' || line[1] == '>' || line[1] == '$' ? 2 : 1);
        if (line[0] == 'A') {
          w->requests.push_back({body[0] == '.' ? "www" + body : body, "/x/banner.gif"});
        } else if (line[0] == 'U' && body.find('/') != std::string::npos && body[0] != '/') {
          w->requests.push_back({body.substr(0, body.find('/')), body.substr(body.find('/'))});
        } else if (line[0] == 'U') {
          w->requests.push_back({"www.news-site.example", "/img" + body + "x.gif"});
        }
      }
    }
    std::size_t matched = w->requests.size();
    for (std::size_t i = 0; i < matched; ++i) {
      w->requests.push_back({"static" + std::to_string(random() % 100000) + ".news-site.example",
                             "/assets/app" + std::to_string(random() % 100000) + ".js"});
    }
    std::shuffle(w->requests.begin(), w->requests.end(), random);
    return w;
  }();
  return *w;
}

void BM_ConvertLists(benchmark::State& state) {
  const World& w = world();
  if (w.sources.empty()) return state.SkipWithError("EasyList and EasyPrivacy are not installed");
  for (auto _ : state) {
    for (const std::string& source : w.sources) {
      std::string error;
      benchmark::DoNotOptimize(adlists::convert_list(source, &error));
    }
  }
}
BENCHMARK(BM_ConvertLists)->Unit(benchmark::kMillisecond);

void BM_LoadConvertedLists(benchmark::State& state) {
  const World& w = world();
  if (w.converted.empty()) return state.SkipWithError("EasyList and EasyPrivacy are not installed");
  for (auto _ : state) {
    for (const std::string& text : w.converted) {
      benchmark::DoNotOptimize(parse_imported_list("bench", text));
    }
  }
}
BENCHMARK(BM_LoadConvertedLists)->Unit(benchmark::kMillisecond);

void match_all(benchmark::State& state, const RuleList& rules) {
  const World& w = world();
  if (w.requests.empty()) return state.SkipWithError("EasyList and EasyPrivacy are not installed");
  // The verdicts of the whole request set, as one number, so that two builds
  // can be shown to decide every request alike.
  std::uint32_t digest = 2166136261u;
  for (std::size_t k = 0; k < w.requests.size(); ++k) {
    const Request& r = w.requests[k];
    const Verdict verdict =
        match_request_in(rules, r.host.c_str(), r.path.c_str(),
                         k % 2 ? RequestParty::THIRD_PARTY : RequestParty::FIRST_PARTY);
    digest = (digest ^ static_cast<std::uint32_t>(verdict)) * 16777619u;
  }
  state.counters["verdicts_digest"] = digest;
  std::size_t i = 0;
  std::size_t blocked = 0;
  for (auto _ : state) {
    const Request& r = w.requests[i];
    Verdict verdict = match_request_in(rules, r.host.c_str(), r.path.c_str(),
                                       i % 2 ? RequestParty::THIRD_PARTY : RequestParty::UNKNOWN);
    blocked += verdict == VERDICT_BLOCK;
    i = i + 1 == w.requests.size() ? 0 : i + 1;
  }
  state.counters["blocked_share"] =
      static_cast<double>(blocked) / static_cast<double>(state.iterations());
}

void BM_MatchRequest_ShippedFileOnly(benchmark::State& state) {
  match_all(state, *world().user_only);
}
BENCHMARK(BM_MatchRequest_ShippedFileOnly)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_MatchRequest_WithBothLists(benchmark::State& state) {
  match_all(state, *world().with_lists);
}
BENCHMARK(BM_MatchRequest_WithBothLists)->Repetitions(5)->ReportAggregatesOnly(true);

// The same requests as plain HTTP ones whose headers tell the most: an image
// (Accept) asked for by a page of another site (Referer), so that the lists'
// rules limited to resource types or pages are asked too.
void BM_MatchRequest_WithBothLists_ImageFromPage(benchmark::State& state) {
  const World& w = world();
  if (w.requests.empty()) return state.SkipWithError("EasyList and EasyPrivacy are not installed");
  const std::string head =
      "GET / HTTP/1.1\r\nAccept: image/avif,image/webp,*/*\r\n"
      "Referer: http://www.news.example/story\r\n\r\n";
  std::size_t i = 0;
  std::size_t blocked = 0;
  for (auto _ : state) {
    const Request& r = w.requests[i];
    const RequestTraits traits = traits_from_headers(head, r.host);
    blocked +=
        match_request_in(*w.with_lists, r.host.c_str(), r.path.c_str(), traits) == VERDICT_BLOCK;
    i = i + 1 == w.requests.size() ? 0 : i + 1;
  }
  state.counters["blocked_share"] =
      static_cast<double>(blocked) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MatchRequest_WithBothLists_ImageFromPage)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
