// Fuzzes the setup pages' request handling short of acting on it: taking the
// form values out of a request target (against a plain model of the rules:
// value 1 after the first "=", cut at the next "&"; value 2 after the first
// "=" behind that "&", cut likewise; value 3 after the first "=" behind the
// second "&", uncut), choosing the page, judging the request's headers, and
// the not-found page, whose copy of the target must carry no markup.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "setupweb/pages.h"
#include "setupweb/router.h"

namespace {

struct Model {
  std::string target;  // after the cuts: "&" turned into zero bytes
  std::vector<std::size_t> starts;
};

Model model_values(std::string target) {
  Model m;
  std::size_t from = 0;
  for (int n = 0; n < 3; ++n) {
    const std::size_t equals = target.find('=', from);
    if (equals == std::string::npos) break;
    m.starts.push_back(equals + 1);
    if (n == 2) break;
    const std::size_t ampersand = target.find('&', equals + 1);
    if (ampersand == std::string::npos) break;
    target[ampersand] = '\0';
    from = ampersand + 1;
  }
  m.target = target;
  return m;
}

SetupPage model_page(std::string_view target) {
  if (target.empty() || target[0] == '?') return SetupPage::General;
  if (target.substr(0, 4) == "defi") return SetupPage::Definitions;
  if (target.substr(0, 6) == "proxy/") return SetupPage::Proxy;
  if (target.substr(0, 6) == "about/") return SetupPage::About;
  return SetupPage::NotFound;
}

std::size_t count(std::string_view text, char c) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= 32768) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);

  // The target is the request text up to its first zero, as dispatch hands
  // it over; a heap copy of exactly that size lets ASan see any overrun.
  const std::string target(input.c_str());
  std::vector<char> buffer(target.begin(), target.end());
  buffer.push_back('\0');
  const FormValues values = extract_form_values(buffer.data());
  const Model model = model_values(target);
  FUZZ_CHECK(std::string_view(buffer.data(), target.size()) == model.target);
  for (std::size_t n = 0; n < 3; ++n) {
    if (n < model.starts.size()) {
      FUZZ_CHECK(values.value[n] == buffer.data() + model.starts[n]);
    } else {
      FUZZ_CHECK(values.value[n] == nullptr);
    }
  }
  if (values.value[0] != nullptr) FUZZ_CHECK(std::strchr(values.value[0], '&') == nullptr);
  if (values.value[1] != nullptr) FUZZ_CHECK(std::strchr(values.value[1], '&') == nullptr);

  const SetupPage page = choose_page(buffer.data());
  FUZZ_CHECK(page == model_page(buffer.data()));

  // The whole input as the request's headers.
  const RequestTrust trust = judge_request(input.c_str());
  FUZZ_CHECK(trust == RequestTrust::Act || trust == RequestTrust::PlainVisit ||
             trust == RequestTrust::Forbidden);
  // Without header lines there is no Host naming the setup pages, so the
  // request may show a page but never act.
  if (input.find('\n') == std::string::npos) FUZZ_CHECK(trust == RequestTrust::PlainVisit);

  // The not-found page shows the target, escaped: it adds no markup.
  static const std::string empty_page = compose_not_found_page("");
  const std::string page_text = compose_not_found_page(buffer.data());
  FUZZ_CHECK(count(page_text, '<') == count(empty_page, '<'));
  FUZZ_CHECK(count(page_text, '>') == count(empty_page, '>'));
  FUZZ_CHECK(count(page_text, '"') == count(empty_page, '"'));
  return 0;
}
