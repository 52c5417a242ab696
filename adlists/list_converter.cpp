// Converting Adblock-style lists and hosts files into definitions lines.
//
// The rule language tests a request's host, its path, or the two joined
// ("address", host immediately followed by path), each for equality, a
// prefix ("<"), a suffix (">") or a substring ("$"). A list rule is turned
// into one or more such tests whose union is never wider than the rule:
//   ||example.com^       host equal to example.com, or ending in .example.com
//   ||ads.               host starting with "ads.", or containing ".ads."
//   ||example.com/path   address starting with example.com/path, and for the
//                        subdomains an "S" line: host ending in .example.com
//                        and path starting with /path
//   |http://host/path    address starting with host/path
//   /banner/ad.          address containing /banner/ad.
//   x.gif|               address ending in x.gif
// A trailing "^" (a separator or the end) becomes the end plus the usual
// separators "/", "?", "&", "=", ";". Wildcards inside a pattern and regular
// expressions are skipped. A rule limited to resource types or to pages of
// some sites becomes "#T" lines (filter/imported_list.h), which apply only
// where the request's headers show such a type and such a page; a rule
// limited to types that no header can single out is skipped.
#include "adlists/list_converter.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

#include "filter/imported_list.h"

namespace adlists {
namespace {

enum class Outcome { EXACT, APPROXIMATED, SKIPPED };

struct Converted {
  Outcome outcome = Outcome::EXACT;
  std::string reason;  // for APPROXIMATED and SKIPPED
  std::vector<std::string> lines;
};

Converted skip(std::string reason) {
  Converted c;
  c.outcome = Outcome::SKIPPED;
  c.reason = std::move(reason);
  return c;
}

void approximate(Converted& c, const std::string& reason) {
  if (c.outcome == Outcome::EXACT) {
    c.outcome = Outcome::APPROXIMATED;
    c.reason = reason;
  }
}

// Reasons, as the report shows them.
const char R_REGEX[] = "regular expression";
const char R_WILDCARD[] = "wildcard (*) inside the pattern";
const char R_SEPARATOR[] = "separator (^) inside the pattern";
const char R_ANCHOR[] = "anchor (|) inside the pattern";
const char R_NO_PATTERN[] = "no pattern (matches every address)";
const char R_SCHEME[] = "scheme or port in the pattern";
const char R_HTTPS_ONLY[] = "HTTPS address only (the proxy sees just the host of HTTPS requests)";
const char R_BAD_HOST[] = "not a host name after ||";
const char R_NOT_ASCII[] = "characters other than printable ASCII";
const char R_TOO_LONG[] = "longer than a definitions line";
const char R_DOMAIN[] = "limited to pages of some sites ($domain=)";
const char R_TYPES[] = "limited to resource types";
const char R_FIRST_PARTY[] = "limited to first-party requests";
const char R_POPUP[] = "pop-up windows only";
const char R_PAGE_EXCEPTION[] = "exception for a whole page (the proxy does not know the page)";
const char R_OPTION[] = "option the proxy cannot honour: $";
const char R_HOSTS_ADDRESS[] = "hosts entry that maps a name to a real address";
const char R_HOSTS_NAME[] = "hosts entry without a valid host name";
const char A_SUBDOMAINS[] = "host-and-path rule ending at | kept for the named host only";
const char A_SEPARATOR[] = "trailing ^ read as the end, /, ?, &, = or ;";
const char A_EXCEPTION[] = "exception applied more widely (its options are ignored)";
const char A_PAGE_EXCEPTION[] =
    "exception for pages of some sites: applied on those, and wherever the page is unknown "
    "(tunnels); its other options are ignored";
const char A_IMPORTANT[] = "$important: the list's exceptions still apply";
const char A_TYPES[] =
    "limited to resource types: applied where the request's headers show one of them (Accept; "
    "Sec-Fetch-Dest inside HTTPS inspection)";
const char A_PAGES[] =
    "limited to pages of some sites ($domain=): applied where the Referer shows the page, "
    "except to pages and frames themselves";

bool is_host_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool starts_with(std::string_view s, std::string_view p) {
  return s.substr(0, p.size()) == p;
}
bool ends_with(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

const char* const SEPARATORS[] = {"/", "?", "&", "=", ";"};

// Rules for `body` (an address text) that end at a separator or the end.
void add_separator_variants(Converted& c, char op, const std::string& body) {
  // op '<': address starts with body + separator, or equals body.
  // op '$': address contains body + separator, or ends with body.
  c.lines.push_back(std::string("U") + (op == '<' ? "" : ">") + body);
  for (const char* sep : SEPARATORS) c.lines.push_back(std::string("U") + op + body + sep);
  approximate(c, A_SEPARATOR);
}

// A host-anchored pattern that names a host and maybe a path.
Converted convert_host_anchored(std::string_view p, bool end_anchor, bool subdomains) {
  std::size_t cut = 0;
  while (cut < p.size() && is_host_char(static_cast<char>(std::tolower(p[cut])))) ++cut;
  std::string host = lower(p.substr(0, cut));
  std::string_view rest = p.substr(cut);
  if (host.empty() || host.front() == '.' || host.find("..") != std::string::npos) {
    return skip(R_BAD_HOST);
  }
  Converted c;
  if (rest.empty()) {
    if (end_anchor) return skip(R_ANCHOR);
    if (!subdomains) return skip(R_SCHEME);
    // "||ads." and "||example.com": a host whose labels start that way.
    c.lines.push_back("A<" + host);
    c.lines.push_back("A$." + host);
    return c;
  }
  if (rest == "^") {
    if (end_anchor) return skip(R_ANCHOR);
    if (subdomains) {
      c.lines.push_back("A" + host);
      c.lines.push_back("A>." + host);
    } else {
      // Plain HTTP only: a tunnel's address never has "/" after the host.
      c.lines.push_back("U<" + host + "/");
    }
    return c;
  }
  if (rest.front() != '/') {
    if (rest.front() == ':') return skip(R_SCHEME);
    if (rest.front() == '^') return skip(R_SEPARATOR);
    return skip(R_BAD_HOST);
  }
  std::string path(rest);
  if (path.find('^') != std::string::npos && path.find('^') != path.size() - 1) {
    return skip(R_SEPARATOR);
  }
  if (path.back() == '^') {
    if (end_anchor) return skip(R_ANCHOR);
    path.pop_back();
    add_separator_variants(c, '<', host + path);
    if (subdomains) {
      for (const char* sep : SEPARATORS) c.lines.push_back("#S" + host + path + sep);
    }
  } else if (end_anchor) {
    c.lines.push_back("U" + host + path);
    if (subdomains) approximate(c, A_SUBDOMAINS);
  } else {
    c.lines.push_back("U<" + host + path);
    // The subdomains: a test the definitions language cannot say (host
    // ending in "." + host and path starting with `path`), read by the list
    // loader alone.
    if (subdomains) c.lines.push_back("#S" + host + path);
  }
  return c;
}

// The pattern part of a rule (options and "@@" removed).
Converted convert_pattern(std::string_view p) {
  if (p.size() >= 2 && p.front() == '/' && p.back() == '/') return skip(R_REGEX);
  bool host_anchor = starts_with(p, "||");
  bool start_anchor = !host_anchor && starts_with(p, "|");
  if (host_anchor) p.remove_prefix(2);
  if (start_anchor) p.remove_prefix(1);
  bool end_anchor = ends_with(p, "|");
  if (end_anchor) p.remove_suffix(1);
  if (!host_anchor && !start_anchor) {
    while (!p.empty() && p.front() == '*') p.remove_prefix(1);
  }
  if (!p.empty() && p.back() == '*') {
    while (!p.empty() && p.back() == '*') p.remove_suffix(1);
    end_anchor = false;
    // "||host^*" and "||host*" say the same as without the star.
  }
  if (p.empty()) return skip(R_NO_PATTERN);
  for (char ch : p) {
    auto u = static_cast<unsigned char>(ch);
    if (u <= 0x20 || u >= 0x7f) return skip(R_NOT_ASCII);
  }
  if (p.find('*') != std::string_view::npos) return skip(R_WILDCARD);
  if (p.find('|') != std::string_view::npos) return skip(R_ANCHOR);

  Converted c;
  if (host_anchor) {
    c = convert_host_anchored(p, end_anchor, true);
  } else if (start_anchor) {
    if (starts_with(p, "https://")) return skip(R_HTTPS_ONLY);
    if (!starts_with(p, "http://")) return skip(R_SCHEME);
    p.remove_prefix(7);
    c = convert_host_anchored(p, end_anchor, false);
  } else {
    if (p.find(':') != std::string_view::npos) return skip(R_SCHEME);
    std::string body(p);
    std::size_t sep = body.find('^');
    if (sep != std::string::npos && sep != body.size() - 1) return skip(R_SEPARATOR);
    if (sep != std::string::npos) {
      if (end_anchor) return skip(R_ANCHOR);
      body.pop_back();
      if (body.empty()) return skip(R_NO_PATTERN);
      add_separator_variants(c, '$', body);
    } else if (end_anchor) {
      c.lines.push_back("U>" + body);
    } else {
      c.lines.push_back("U$" + body);
    }
  }
  for (const std::string& line : c.lines) {
    if (line.size() > MAX_RULE_TEXT) return skip(R_TOO_LONG);
  }
  return c;
}

// The resource type bit of a type option (filter/imported_list.h); 0 for
// types a proxy never sees a request of (and for CSP-only ones).
unsigned type_bit(std::string_view name) {
  static const std::pair<const char*, unsigned> aliases[] = {
      {"img", RESOURCE_IMAGE}, {"css", RESOURCE_STYLESHEET},    {"xhr", RESOURCE_XHR},
      {"fetch", RESOURCE_XHR}, {"frame", RESOURCE_SUBDOCUMENT}, {"beacon", RESOURCE_PING}};
  for (const auto& [alias, bit] : aliases) {
    if (name == alias) return bit;
  }
  return resource_type_named(name);
}

// "a.example|~b.example" of a blocking rule's "domain=", checked and in
// lower case; empty when some entry is not a plain host name.
std::string site_list(std::string_view value) {
  std::string out;
  while (!value.empty()) {
    const std::size_t bar = value.find('|');
    std::string site = lower(value.substr(0, bar));
    value.remove_prefix(bar == std::string_view::npos ? value.size() : bar + 1);
    const std::size_t name = site.rfind('~', 0) == 0 ? 1 : 0;
    if (site.size() == name || site[name] == '.' || site.back() == '.' ||
        !std::all_of(site.begin() + static_cast<std::ptrdiff_t>(name), site.end(), is_host_char)) {
      return {};
    }
    if (!out.empty()) out += '|';
    out += site;
  }
  return out;
}

bool is_type_option(std::string_view name) {
  static const char* const types[] = {"script",
                                      "image",
                                      "stylesheet",
                                      "css",
                                      "object",
                                      "xmlhttprequest",
                                      "xhr",
                                      "subdocument",
                                      "frame",
                                      "ping",
                                      "beacon",
                                      "media",
                                      "font",
                                      "other",
                                      "websocket",
                                      "webrtc",
                                      "object-subrequest",
                                      "webbundle",
                                      "fetch",
                                      "img",
                                      "inline-script",
                                      "inline-font"};
  for (const char* t : types) {
    if (name == t) return true;
  }
  return false;
}

bool is_page_option(std::string_view name) {
  static const char* const page[] = {
      "document", "doc",          "elemhide", "ehide",    "generichide", "ghide", "specifichide",
      "shide",    "genericblock", "content",  "jsinject", "urlblock",    "popup"};
  for (const char* t : page) {
    if (name == t) return true;
  }
  return false;
}

// Where the options of a rule begin: after the last "$" that is followed by
// an option name (a letter, a digit or "~"); npos when there are none.
std::size_t options_start(std::string_view rule) {
  std::size_t dollar = rule.rfind('$');
  if (dollar == std::string_view::npos || dollar + 1 >= rule.size()) return std::string_view::npos;
  char next = rule[dollar + 1];
  if (std::isalnum(static_cast<unsigned char>(next)) || next == '~') return dollar;
  return std::string_view::npos;
}

bool is_cosmetic(std::string_view line) {
  static const char* const markers[] = {"##", "#@#", "#?#", "#$#", "#%#", "#@$#", "#@?#", "#@%#"};
  for (const char* m : markers) {
    if (line.find(m) != std::string_view::npos) return true;
  }
  return false;
}

// One Adblock line that is a network rule. Exceptions come out as "#@"
// lines, third-party rules as "#3" lines.
Converted convert_network_rule(std::string_view rule) {
  bool exception = starts_with(rule, "@@");
  if (exception) rule.remove_prefix(2);
  std::string_view pattern = rule;
  std::vector<std::string> options;
  if (std::size_t at = options_start(rule); at != std::string_view::npos) {
    pattern = rule.substr(0, at);
    std::string_view list = rule.substr(at + 1);
    while (!list.empty()) {
      std::size_t comma = list.find(',');
      options.push_back(lower(list.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  bool third_party = false;
  bool important = false;
  bool widened = false;
  bool has_types = false;
  bool some_type_named = false;
  unsigned types_named = 0;     // the rule's type options
  unsigned types_excluded = 0;  // its "~type" options
  bool document_named = false;
  std::string sites;         // a blocking rule's "domain=", when it has one
  std::string page_domains;  // an exception's "domain=", when all are sites it names
  for (const std::string& option : options) {
    std::string name = option.substr(0, option.find('='));
    bool negated = !name.empty() && name[0] == '~';
    std::string bare = negated ? name.substr(1) : name;
    if (exception) {
      if (!negated && is_page_option(bare)) return skip(R_PAGE_EXCEPTION);
      if (bare == "badfilter" || bare == "csp" || bare == "redirect" || bare == "redirect-rule" ||
          bare == "removeparam" || bare == "header" || bare == "permissions" ||
          bare == "urltransform" || bare == "replace") {
        return skip(R_OPTION + bare);
      }
      if ((bare == "domain" || bare == "from") && !negated && page_domains.empty()) {
        std::string_view value = std::string_view(option).substr(option.find('=') + 1);
        bool all_named = !value.empty() && value.find('~') == std::string_view::npos;
        for (char ch : value) all_named = all_named && (is_host_char(ch) || ch == '|');
        if (all_named) page_domains = std::string(value);
      }
      if (bare != "match-case") widened = true;
      continue;
    }
    if (bare == "third-party" || bare == "3p" || bare == "strict3p" ||
        bare == "strict-third-party") {
      if (negated) return skip(R_FIRST_PARTY);
      third_party = true;
    } else if (bare == "first-party" || bare == "1p" || bare == "strict1p" ||
               bare == "strict-first-party") {
      if (negated) {
        third_party = true;
      } else {
        return skip(R_FIRST_PARTY);
      }
    } else if (bare == "domain" || bare == "from") {
      if (negated || !sites.empty()) return skip(R_DOMAIN);
      sites = site_list(std::string_view(option).substr(option.find('=') + 1));
      if (sites.empty()) return skip(R_DOMAIN);
    } else if (is_type_option(bare)) {
      // A type no request through a proxy has: naming it adds nothing the
      // proxy could see, excluding it leaves out nothing.
      has_types = true;
      some_type_named = some_type_named || !negated;
      (negated ? types_excluded : types_named) |= type_bit(bare);
    } else if ((bare == "document" || bare == "doc") && negated) {
      has_types = true;
      types_excluded |= RESOURCE_DOCUMENT;
    } else if (bare == "popup" || bare == "popunder") {
      return skip(R_POPUP);
    } else if (bare == "important") {
      important = true;
    } else if (bare == "match-case" || bare == "all" || bare == "document" || bare == "doc") {
      // Matching is by bytes already; "all" and "document" add the page
      // itself, which the rule's tests cover as they stand (beside other
      // types, "document" is one of them).
      document_named = document_named || bare == "document" || bare == "doc";
    } else {
      return skip(R_OPTION + bare);
    }
  }
  unsigned types = ANY_RESOURCE;
  if (has_types) {
    if (some_type_named) types = types_named | (document_named ? RESOURCE_DOCUMENT : 0u);
    types &= ~types_excluded;
    if (!resource_types_can_be_told(types)) return skip(R_TYPES);
  }
  Converted c = convert_pattern(pattern);
  if (c.outcome == Outcome::SKIPPED) return c;
  if (!exception && (types != ANY_RESOURCE || !sites.empty())) {
    // "#T" + types + " " + sites + " " + the rule line (filter/imported_list.h).
    const std::string prefix = "#T" + (types == ANY_RESOURCE ? "*" : resource_type_names(types)) +
                               (third_party ? "/3p " : " ") + (sites.empty() ? "*" : sites) + " ";
    for (std::string& line : c.lines) {
      if (line.rfind("#S", 0) == 0) line.erase(0, 1);
      line.insert(0, prefix);
      if (line.size() > MAX_RULE_TEXT) return skip(R_TOO_LONG);
    }
    approximate(c, types != ANY_RESOURCE ? A_TYPES : A_PAGES);
    if (important) approximate(c, A_IMPORTANT);
    return c;
  }
  // "@@||host^$...,domain=a|b": the host and its subdomains, excepted on the
  // pages of a and b (and wherever the page is unknown): a form only the list
  // loader reads. Other exceptions with options apply on every page.
  if (exception && !page_domains.empty() && c.lines.size() == 2 && c.lines[0][0] == 'A' &&
      c.lines[1] == "A>." + c.lines[0].substr(1)) {
    Converted limited;
    limited.lines.push_back("#@H" + c.lines[0].substr(1) + " " + page_domains);
    if (limited.lines[0].size() > MAX_RULE_TEXT) return c;
    approximate(limited, A_PAGE_EXCEPTION);
    return limited;
  }
  if (exception && widened) approximate(c, A_EXCEPTION);
  if (important) approximate(c, A_IMPORTANT);
  const char* prefix = exception ? "#@" : third_party ? "#3" : "";
  if (*prefix != '\0') {
    for (std::string& line : c.lines) {
      // "#S..." behind a prefix drops its own "#": "#3S...", "#@S...".
      if (line.rfind("#S", 0) == 0) line.erase(0, 1);
      line.insert(0, prefix);
    }
  }
  return c;
}

// ---- reading a whole list --------------------------------------------------

struct LineSink {
  ConvertedList& out;
  std::unordered_set<std::string> written;

  void take(const std::string& original, Converted c) {
    ConversionReport& r = out.report;
    switch (c.outcome) {
      case Outcome::SKIPPED:
        ++r.skipped;
        r.skipped_by_reason[c.reason].push_back(original);
        return;
      case Outcome::APPROXIMATED:
        ++r.approximated;
        ++r.approximated_by_reason[c.reason];
        break;
      case Outcome::EXACT:
        ++r.exact;
        break;
    }
    for (std::string& line : c.lines) {
      if (!written.insert(line).second) continue;
      out.definitions += line;
      out.definitions += '\n';
      ++out.definition_lines;
    }
  }
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

template <class Fn>
void for_each_line(std::string_view text, Fn fn) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    fn(trim(text.substr(0, end)));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool is_sinkhole_address(std::string_view a) {
  return a == "0.0.0.0" || a == "127.0.0.1" || a == "::" || a == "::1" || a == "0" || a == "::0" ||
         a == "0:0:0:0:0:0:0:0" || a == "0:0:0:0:0:0:0:1";
}

bool looks_like_address(std::string_view a) {
  if (a.empty()) return false;
  bool has_separator = false;
  for (char ch : a) {
    if (ch == '.' || ch == ':') {
      has_separator = true;
    } else if (!std::isxdigit(static_cast<unsigned char>(ch)) && ch != '%') {
      return false;
    }
  }
  return has_separator || a == "0";
}

bool is_local_name(std::string_view h) {
  return h == "localhost" || h == "localhost.localdomain" || h == "local" || h == "broadcasthost" ||
         h == "0.0.0.0" || starts_with(h, "ip6-");
}

bool valid_host_name(std::string_view h) {
  if (h.empty() || h.size() > 253 || h.front() == '.' || h.back() == '.' || h.front() == '-') {
    return false;
  }
  if (h.find("..") != std::string_view::npos) return false;
  return std::all_of(h.begin(), h.end(), is_host_char);
}

void convert_hosts_line(std::string_view line, LineSink& sink) {
  if (std::size_t hash = line.find('#'); hash != std::string_view::npos)
    line = line.substr(0, hash);
  line = trim(line);
  if (line.empty()) return;
  std::vector<std::string_view> words;
  while (!line.empty()) {
    std::size_t end = line.find_first_of(" \t");
    words.push_back(line.substr(0, end));
    if (end == std::string_view::npos) break;
    line = trim(line.substr(end));
  }
  if (words.size() == 1) {
    // A bare host name, as some hosts-style lists write it.
    std::string host = lower(words[0]);
    if (!valid_host_name(host)) {
      sink.take(std::string(words[0]), skip(R_HOSTS_NAME));
    } else {
      sink.take(host, Converted{Outcome::EXACT, "", {"A" + host}});
    }
    return;
  }
  bool sinkhole = is_sinkhole_address(words[0]);
  for (std::size_t i = 1; i < words.size(); ++i) {
    std::string host = lower(words[i]);
    std::string entry = std::string(words[0]) + " " + std::string(words[i]);
    if (is_local_name(host)) continue;
    if (!sinkhole) {
      sink.take(entry, skip(R_HOSTS_ADDRESS));
    } else if (!valid_host_name(host)) {
      sink.take(entry, skip(R_HOSTS_NAME));
    } else {
      sink.take(entry, Converted{Outcome::EXACT, "", {"A" + host}});
    }
  }
}

void convert_adblock_line(std::string_view line, ConvertedList& out, LineSink& sink) {
  if (line.empty() || line.front() == '!' || line.front() == '[') {
    if (starts_with(line, "! Title:")) out.title = std::string(trim(line.substr(8)));
    if (starts_with(line, "! Expires:")) {
      if (auto seconds = parse_expires(line.substr(10))) out.expires_seconds = *seconds;
    }
    return;
  }
  if (is_cosmetic(line)) {
    ++out.report.cosmetic;
    return;
  }
  // A "#" comment (hosts-style) inside an Adblock list.
  if (line.front() == '#') return;
  sink.take(std::string(line), convert_network_rule(line));
}

// Which format the text is in, judged from its first rule lines; nothing
// when it is in neither.
std::optional<ListFormat> detect_format(std::string_view text, std::string* error) {
  std::size_t hosts_like = 0;
  std::size_t adblock_like = 0;
  std::size_t other = 0;
  std::size_t seen = 0;
  bool adblock_header = false;
  bool html = false;
  for_each_line(text, [&](std::string_view line) {
    if (seen >= 500 || line.empty()) return;
    if (seen == 0 && line.front() == '<') html = true;
    if (starts_with(line, "[Adblock")) adblock_header = true;
    if (line.front() == '!' || line.front() == '[') {
      ++adblock_like;
      return;
    }
    if (line.front() == '#' && !is_cosmetic(line)) return;
    ++seen;
    std::size_t space = line.find_first_of(" \t");
    if (space != std::string_view::npos && looks_like_address(line.substr(0, space))) {
      ++hosts_like;
    } else if (space == std::string_view::npos &&
               (starts_with(line, "||") || starts_with(line, "@@") || starts_with(line, "|") ||
                is_cosmetic(line) || line.find('$') != std::string_view::npos ||
                line.find('/') != std::string_view::npos ||
                line.find('^') != std::string_view::npos || valid_host_name(lower(line)))) {
      ++adblock_like;
    } else {
      ++other;
    }
  });
  if (html) {
    *error = "this is an HTML page, not an ad list";
    return std::nullopt;
  }
  if (adblock_header) return ListFormat::ADBLOCK;
  if (hosts_like > 0 && hosts_like * 2 > seen) return ListFormat::HOSTS;
  if (adblock_like > 0 && other * 4 <= adblock_like) return ListFormat::ADBLOCK;
  *error = "this is neither an Adblock-style list nor a hosts file";
  return std::nullopt;
}

bool looks_binary(std::string_view text) {
  std::size_t control = 0;
  std::size_t sample = std::min<std::size_t>(text.size(), 65536);
  for (std::size_t i = 0; i < sample; ++i) {
    auto u = static_cast<unsigned char>(text[i]);
    if (u == 0) return true;
    if (u < 0x20 && u != '\n' && u != '\r' && u != '\t') ++control;
  }
  return control * 100 > sample;
}

}  // namespace

std::optional<long> parse_expires(std::string_view value) {
  value = trim(value);
  long number = 0;
  std::size_t i = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9' && number < 100000; ++i) {
    number = number * 10 + (value[i] - '0');
  }
  if (i == 0 || number <= 0) return std::nullopt;
  std::string_view unit = trim(value.substr(i));
  if (starts_with(unit, "hour")) return number * 3600;
  if (starts_with(unit, "day") || unit.empty() || unit.front() == '(') return number * 24 * 3600;
  return std::nullopt;
}

std::optional<ConvertedList> convert_list(std::string_view text, std::string* error) {
  if (text.size() > MAX_LIST_BYTES) {
    *error = "the list is larger than " + std::to_string(MAX_LIST_BYTES / (1024 * 1024)) + " MiB";
    return std::nullopt;
  }
  if (starts_with(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.empty() || looks_binary(text)) {
    *error = text.empty() ? "the list is empty" : "this is binary data, not an ad list";
    return std::nullopt;
  }
  std::optional<ListFormat> format = detect_format(text, error);
  if (!format) return std::nullopt;
  ConvertedList out;
  out.format = *format;
  LineSink sink{out, {}};
  for_each_line(text, [&](std::string_view line) {
    if (out.format == ListFormat::HOSTS) {
      convert_hosts_line(line, sink);
    } else {
      convert_adblock_line(line, out, sink);
    }
  });
  if (out.definition_lines == 0) {
    *error = "the list holds no rule that can be converted";
    return std::nullopt;
  }
  return out;
}

std::string format_report(const ConversionReport& r) {
  std::string out;
  out += "Network rules: " + std::to_string(r.exact) + " converted exactly, " +
         std::to_string(r.approximated) + " approximated, " + std::to_string(r.skipped) +
         " skipped\n";
  out += "Element-hiding rules (not for a proxy): " + std::to_string(r.cosmetic) + "\n";
  if (!r.approximated_by_reason.empty()) out += "\nApproximated:\n";
  for (const auto& [reason, count] : r.approximated_by_reason) {
    out += "  " + std::to_string(count) + "  " + reason + "\n";
  }
  std::vector<std::pair<std::string, const std::vector<std::string>*>> reasons;
  for (const auto& [reason, lines] : r.skipped_by_reason) reasons.emplace_back(reason, &lines);
  std::stable_sort(reasons.begin(), reasons.end(), [](const auto& a, const auto& b) {
    return a.second->size() > b.second->size();
  });
  for (const auto& [reason, lines] : reasons) {
    out += "\nSkipped, " + reason + " (" + std::to_string(lines->size()) + "):\n";
    for (const std::string& line : *lines) out += "  " + line + "\n";
  }
  return out;
}

}  // namespace adlists
