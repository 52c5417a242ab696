// The setup request router: takes the form values out of the request target,
// checks that the request came from the setup pages themselves, chooses the
// page and sends it whole behind a status line.
#include "setupweb/router.h"

#include <cstring>
#include <string>

#include "platform/winsock.h"
#include "text/text_helpers.h"

namespace {

// The first `c` in [from, end), or null. The target holds zeros where "&"
// characters were overwritten, so the search runs by length, not by string.
char* find_in(char* from, char* end, char c) {
  if (from >= end) return nullptr;
  return static_cast<char*>(std::memchr(from, c, static_cast<std::size_t>(end - from)));
}

bool is_setup_host(std::string_view host) {
  for (std::string_view own : SETUP_HOSTS) {
    if (equal_ignoring_case(host, own)) return true;
  }
  return false;
}

// "http://" followed by one of the setup hosts.
bool is_setup_origin(std::string_view origin) {
  constexpr std::string_view scheme = "http://";
  if (origin.size() < scheme.size() ||
      !equal_ignoring_case(origin.substr(0, scheme.size()), scheme))
    return false;
  return is_setup_host(origin.substr(scheme.size()));
}

// A Referer on one of the setup sites: its origin followed by nothing or by a
// path, query or fragment (so "http://127.0.0.1:8000.example/" is foreign).
bool is_setup_referer(std::string_view referer) {
  const std::size_t authority_end =
      referer.find_first_of("/?#", std::string_view("http://").size());
  return is_setup_origin(referer.substr(0, authority_end));
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

void send_answer(SOCKET client, std::string_view head, std::string_view page) {
  // One buffer, one send_all: the head, the page whole however long, and the
  // line feed the original sender appended. A failed send is not retried;
  // the caller closes the connection in any case.
  std::string answer;
  answer.reserve(head.size() + page.size() + 1);
  answer.append(head);
  answer.append(page);
  answer.push_back('\n');
  send_all(client, answer.data(), answer.size());
}

}  // namespace

FormValues extract_form_values(char* target) {
  FormValues values;
  char* const end = target + std::strlen(target);
  char* from = target;
  for (int n = 0; n < 3; ++n) {
    char* equals = find_in(from, end, '=');
    if (equals == nullptr) break;
    values.value[n] = equals + 1;
    if (n == 2) break;  // the last value runs to the end, "&" included
    char* ampersand = find_in(equals + 1, end, '&');
    if (ampersand == nullptr) break;
    *ampersand = '\0';
    from = ampersand + 1;
  }
  return values;
}

SetupPage choose_page(const char* target) {
  if (target[0] == '\0' || target[0] == '?') return SetupPage::General;
  if (std::strncmp(target, "defi", 4) == 0) return SetupPage::Definitions;
  if (std::strncmp(target, "proxy/", 6) == 0) return SetupPage::Proxy;
  if (std::strncmp(target, "about/", 6) == 0) return SetupPage::About;
  return SetupPage::NotFound;
}

RequestTrust judge_request(const char* request) {
  if (request == nullptr) return RequestTrust::PlainVisit;
  std::string_view rest(request);
  // Skip the request line; then one header per line up to the empty line.
  std::size_t line_end = rest.find('\n');
  if (line_end == std::string_view::npos) return RequestTrust::PlainVisit;
  rest.remove_prefix(line_end + 1);
  RequestTrust trust = RequestTrust::Act;
  bool own_host = false;
  while (!rest.empty()) {
    line_end = rest.find('\n');
    std::string_view line = rest.substr(0, line_end);
    rest.remove_prefix(line_end == std::string_view::npos ? rest.size() : line_end + 1);
    if (trim(line).empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (equal_ignoring_case(name, "Host")) {
      if (!is_setup_host(value)) return RequestTrust::Forbidden;
      own_host = true;
    } else if (equal_ignoring_case(name, "Sec-Fetch-Site")) {
      if (!equal_ignoring_case(value, "same-origin") && !equal_ignoring_case(value, "none"))
        trust = RequestTrust::PlainVisit;
    } else if (equal_ignoring_case(name, "Origin")) {
      if (!is_setup_origin(value)) trust = RequestTrust::PlainVisit;
    } else if (equal_ignoring_case(name, "Referer")) {
      if (!is_setup_referer(value)) trust = RequestTrust::PlainVisit;
    }
  }
  return own_host ? trust : RequestTrust::PlainVisit;
}

void refuse_setup_request(SOCKET client) {
  send_answer(client, TOO_LARGE_HEAD, TOO_LARGE_PAGE);
}

void serve_setup_request(SOCKET client, char* target, const char* headers) {
  FormValues values = extract_form_values(target);
  const RequestTrust trust = judge_request(headers);
  if (trust == RequestTrust::Forbidden) {
    send_answer(client, FORBIDDEN_HEAD, "");
    return;
  }
  // Another site's request is answered as a plain visit: no values, no action.
  if (trust == RequestTrust::PlainVisit) values = FormValues{};
  const SetupPage page = choose_page(target);
  if (page == SetupPage::NotFound) {
    send_answer(client, NOT_FOUND_HEAD, compose_not_found_page(target));
    return;
  }
  send_answer(client, SETUP_PAGE_HEAD, run_setup_page(page, values));
}
