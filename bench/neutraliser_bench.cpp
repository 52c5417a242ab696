// neutralise_popups on a full 32 KiB reply piece of page-like text, for a
// host that an O rule and an L rule name, with and without occurrences.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "filter/definitions_parser.h"
#include "filter/popup_neutraliser.h"
#include "filter/rule_list.h"

namespace {

std::string page_text(std::size_t size, int occurrences, std::vector<std::size_t>* placed) {
  const std::string filler =
      "<div class=\"row\"><a href=\"/show?id=1\" onclick=\"return open_window(this)\">"
      "Open the window of the news</a> <script>var w = window; w.onload = go;</script></div>\n";
  std::string text;
  while (text.size() < size) text += filler;
  text.resize(size);
  for (int i = 0; i < occurrences; ++i) {
    std::size_t at = (size / (occurrences + 1)) * (i + 1);
    text.replace(at, 11, i % 2 == 0 ? "window.open" : "onUnload=x;");
    placed->push_back(at);
  }
  return text;
}

void run(benchmark::State& state, int occurrences, const char* host = "pop.example.com",
         bool reads_piece = true) {
  auto rules = parse_ad_definitions("Ads.example.com\nO$example.com\nL<pop.\nF>.gif\n", nullptr);
  std::vector<std::size_t> changed;
  const std::string original = page_text(REPLY_PIECE_SIZE - 1, occurrences, &changed);
  std::string piece = original;
  for (auto _ : state) {
    int count = neutralise_popups_quietly(*rules, piece.data(), host);
    benchmark::DoNotOptimize(count);
    // Put back what was overwritten, without copying the whole piece.
    for (std::size_t at : changed) {
      piece[at] = original[at];
      piece[at + 1] = original[at + 1];
    }
  }
  if (!reads_piece) return;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(original.size()));
}

void BM_NeutraliseNoOccurrence(benchmark::State& state) {
  run(state, 0);
}
void BM_NeutraliseTwentyOccurrences(benchmark::State& state) {
  run(state, 20);
}

// The common case: a host that no pop-up rule names; the piece is not read.
void BM_NeutraliseOtherHost(benchmark::State& state) {
  run(state, 20, "www.example.org", false);
}

BENCHMARK(BM_NeutraliseNoOccurrence);
BENCHMARK(BM_NeutraliseOtherHost);
BENCHMARK(BM_NeutraliseTwentyOccurrences);

}  // namespace
