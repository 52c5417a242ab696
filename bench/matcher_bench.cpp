// match_request against rule lists of 10 to 1 000 000 rules of mixed kinds
// and operators, through the list's index and by walking the list.
//
// Rules and requests come from one seeded generator of ad-server-like host
// names and paths; about half of the requests are taken from the hosts and
// paths the rules were cut from, so both matches and passes are measured.
#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "filter/matcher.h"
#include "filter/rule_index.h"
#include "filter/rule_list.h"
#include "filter/rules_in_force.h"

namespace {

const char* const kWords[] = {"ad",    "ads",   "banner",  "track", "click", "pixel", "promo",
                              "media", "img",   "static",  "cdn",   "stats", "count", "pop",
                              "view",  "serve", "sponsor", "news",  "shop",  "video", "www"};
const char* const kTlds[] = {".com", ".net", ".org", ".de", ".co.uk"};
const char* const kExtensions[] = {".gif", ".js", ".png", ".jpg", ".php", "/"};

struct Request {
  std::string host;
  std::string path;
};

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  std::string word() { return kWords[pick(std::size(kWords))]; }
  std::string number() { return std::to_string(10000000 + pick(90000000)); }

  Request request() {
    Request r;
    r.host = word() + number() + "." + word() + kTlds[pick(std::size(kTlds))];
    r.path = std::string("/") + word() + "/" + word() + number() +
             kExtensions[pick(std::size(kExtensions))];
    if (pick(4) == 0) r.path += "?id=" + number();
    return r;
  }

  // A rule cut from `r`: its kind decides the target, its operator the part.
  AdRule rule(const Request& r) {
    static const char kKinds[] = "AAAAAAAFFFFUUUUUNLLOO";
    char kind = kKinds[pick(sizeof kKinds - 1)];
    std::string target = kind == 'A' || kind == 'L' || kind == 'O' ? r.host
                         : kind == 'F'                             ? r.path
                                                                   : r.host + r.path;
    // Every cut keeps the host's or path's number, so that a rule names one
    // server or one file as rules of a real list do.
    std::size_t n = target.size();
    std::size_t digits = target.find_first_of("0123456789");
    std::size_t digits_end = target.find_first_not_of("0123456789", digits);
    switch (pick(20)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
        return {std::string("<") + target.substr(0, digits_end + pick(n - digits_end + 1)), kind};
      case 5:
      case 6:
      case 7:
        return {std::string(">") + target.substr(pick(digits + 1)), kind};
      case 8:
      case 9:
      case 10:
      case 11: {
        std::size_t from = pick(digits + 1);
        return {std::string("$") + target.substr(from, digits_end - from + pick(4)), kind};
      }
      default:
        return {target, kind};
    }
  }

  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

 private:
  std::mt19937_64 random_;
};

struct Workload {
  RuleList indexed;
  RuleList plain;
  std::vector<Request> requests;
  std::vector<Request> passing;  // those of `requests` that no rule blocks
};

const Workload& workload(std::size_t rule_count) {
  static std::map<std::size_t, Workload> cache;
  auto found = cache.find(rule_count);
  if (found != cache.end()) return found->second;
  Workload& w = cache[rule_count];
  Generator generate(42);
  std::vector<Request> sources;
  for (std::size_t i = 0; i < rule_count; ++i) {
    sources.push_back(generate.request());
    w.indexed.rules.push_back(generate.rule(sources.back()));
  }
  for (int i = 0; i < 4096; ++i) {
    w.requests.push_back(i % 2 == 0 || sources.empty() ? generate.request()
                                                       : sources[generate.pick(sources.size())]);
  }
  w.indexed.index = build_rule_index(w.indexed.rules);
  for (const Request& r : w.requests) {
    if (match_request_in(w.indexed, r.host.c_str(), r.path.c_str()) == VERDICT_PASS) {
      w.passing.push_back(r);
    }
  }
  while (w.passing.size() < 4096) w.passing.push_back(w.passing[w.passing.size() % 2048]);
  if (rule_count <= 100000) w.plain.rules = w.indexed.rules;
  return w;
}

void run(benchmark::State& state, const RuleList& list, const std::vector<Request>& requests) {
  std::size_t i = 0;
  int blocked = 0;
  for (auto _ : state) {
    const Request& r = requests[i++ & 4095];
    const Verdict verdict = match_request_in(list, r.host.c_str(), r.path.c_str());
    blocked += verdict != VERDICT_PASS;
    benchmark::DoNotOptimize(verdict);
  }
  state.counters["blocked_share"] =
      benchmark::Counter(static_cast<double>(blocked) / static_cast<double>(state.iterations()));
}

void BM_MatchIndexed(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  run(state, w.indexed, w.requests);
}

// Requests that pass, as most do: every structure is searched to the end.
void BM_MatchIndexedPassing(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  run(state, w.indexed, w.passing);
}

void BM_MatchLinear(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  run(state, w.plain, w.requests);
}

// Building the index, as a load or reload does once the file is read.
void BM_BuildIndex(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::shared_ptr<const RuleIndex> index = build_rule_index(w.indexed.rules);
    benchmark::DoNotOptimize(index);
  }
}

BENCHMARK(BM_BuildIndex)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MatchIndexed)->Arg(0)->Arg(10)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_MatchIndexedPassing)->Arg(10)->Arg(1000)->Arg(100000)->Arg(1000000);
BENCHMARK(BM_MatchLinear)->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace
