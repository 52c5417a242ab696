// Ad lists imported by vmlists: the converted files of the "Lists" folder of
// the installation, read beside the user's own "vellomar.ini".
//
// A converted file is written in the definitions language, so it could be
// read as a definitions file; only A, F and U lines count here ("P", "N",
// "L" and "O" lines are ignored: a list must not choose the upstream proxy,
// close windows or touch replies). Two kinds of comment lines carry what that
// language cannot say and only this loader reads:
//   "#@" + rule line   an exception: a request it matches is not blocked by
//                      any imported list
//   "#3" + rule line   a rule for third-party requests only
//   "#S" + host + path a rule for the subdomains of host: the request's host
//                      ends in "." + host and its path starts with path
//                      (also "#@S..." and "#3S...")
//   "#@H" + host + " " + sites
//                      an exception for host and its subdomains on the pages
//                      of the sites ("a.example|b.example", each with its
//                      subdomains), and wherever the page is unknown
//   "#T" + types + " " + sites + " " + rule line
//                      a rule limited to resource types and/or pages: types
//                      "image,script" or "*" (any), followed by "/3p" for
//                      third-party requests only; sites "a.example|~b.example"
//                      (pages of a.example but not of b.example, each with
//                      its subdomains) or "*" (any page); the rule line an A,
//                      F or U line or "S" + host + path. It applies only where
//                      the request's headers show it is of those types and
//                      made by such a page (RequestTraits), never on a guess.
// The user's own rules are asked first; the lists only ever block. A host
// name is the same host in any letter case and with one trailing dot, so the
// lists' rules see the request's host in lower case without that dot.
//
// Everything here is built once and never changed afterwards, so any number
// of threads may match against it at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filter/host_set.h"
#include "filter/verdict.h"

// The folder of the installation that holds the converted lists, and the
// ending of their file names.
inline constexpr char IMPORTED_LISTS_DIR[] = "Lists";
inline constexpr char IMPORTED_LIST_SUFFIX[] = ".ini";

class RuleIndex;
struct AdRule;

// What the proxy knows of the page that made a request.
enum class RequestParty {
  UNKNOWN,      // a tunnel: no header can be seen
  FIRST_PARTY,  // same site as the Referer, or no Referer (a page the user opened)
  THIRD_PARTY,  // the Referer names another site
};

// Resource types of requests, as the lists' rules name them: bits of a set.
inline constexpr unsigned RESOURCE_DOCUMENT = 1u << 0;     // a page in a tab
inline constexpr unsigned RESOURCE_SUBDOCUMENT = 1u << 1;  // a frame
inline constexpr unsigned RESOURCE_IMAGE = 1u << 2;
inline constexpr unsigned RESOURCE_STYLESHEET = 1u << 3;
inline constexpr unsigned RESOURCE_SCRIPT = 1u << 4;
inline constexpr unsigned RESOURCE_XHR = 1u << 5;  // XMLHttpRequest and fetch
inline constexpr unsigned RESOURCE_FONT = 1u << 6;
inline constexpr unsigned RESOURCE_MEDIA = 1u << 7;
inline constexpr unsigned RESOURCE_OBJECT = 1u << 8;
inline constexpr unsigned RESOURCE_PING = 1u << 9;
inline constexpr unsigned RESOURCE_WEBSOCKET = 1u << 10;
inline constexpr unsigned RESOURCE_OTHER = 1u << 11;
inline constexpr unsigned ANY_RESOURCE = (1u << 12) - 1;

// The bit of a type by its name in a converted list ("image", "stylesheet",
// "xmlhttprequest", ...: resource_type_names' names); 0 for another name.
unsigned resource_type_named(std::string_view name);
// The names of the bits of `types`, comma-separated, in bit order.
std::string resource_type_names(unsigned types);
// Whether the headers of some browser request can show that it is of no type
// outside `types` (resource_types_from_headers): a rule limited to `types`
// can then ever apply.
bool resource_types_can_be_told(unsigned types);

// What the request head of a plain (or inspected) request tells of it.
struct RequestTraits {
  RequestParty party = RequestParty::UNKNOWN;
  // The host of the page that made it (its Referer's host, or the request's own host without one),
  // for exceptions limited to some sites; empty when unknown.
  std::string_view page;
  // The types it may be of (resource_types_from_headers); ANY_RESOURCE when
  // its headers do not tell.
  unsigned types = ANY_RESOURCE;
  // The page for rules limited to some sites: the Referer's host, and only
  // when the request can be neither a page nor a frame (whose "page" is
  // itself or its parent, which a Referer does not tell apart); else empty.
  std::string_view site_page;
};

// The types a request may be of, from its head: Sec-Fetch-Dest when present
// (browsers send it over HTTPS; the proxy sees it inside inspection), else
// the Accept header browsers send by type ("image/..." for images,
// "text/css,..." for stylesheets, "text/html,..." for pages and frames,
// exactly "*/*" for scripts, XHR/fetch, pings and the rest). ANY_RESOURCE
// when neither tells.
unsigned resource_types_from_headers(std::string_view request_head);

// All of RequestTraits from a request head and the request's host.
RequestTraits traits_from_headers(std::string_view request_head, std::string_view host);

// Host-and-path prefixes for the subdomains of hosts ("#S" lines), or for
// hosts themselves ("U<" + host + path lines, read into a separate set).
class SubdomainPaths {
 public:
  SubdomainPaths() = default;
  SubdomainPaths(const SubdomainPaths&) = delete;
  SubdomainPaths& operator=(const SubdomainPaths&) = delete;
  void add(std::string_view host_and_path);
  bool empty() const { return by_host_.empty(); }
  // Each name entered; in no particular order.
  template <class Visit>
  void for_each_host(Visit visit) const {
    for (const auto& entry : by_host_) visit(entry.first);
  }
  // Whether some entry's host is a parent domain of `host` (not `host`
  // itself) and its path begins `path`.
  bool matches(std::string_view host, std::string_view path) const;
  // Whether an entry for `host` itself has a path that begins `path`.
  bool matches_host(std::string_view host, std::string_view path) const;

 private:
  std::deque<std::string> texts_;  // owns what the map's views point to (never move)
  std::unordered_map<std::string_view, std::vector<std::string_view>> by_host_;
};

// Rules limited to resource types or to pages of some sites ("#T" lines),
// grouped by their condition: a request asks only the groups whose condition
// its traits meet.
class ConditionalRules {
 public:
  ConditionalRules();
  ~ConditionalRules();
  ConditionalRules(const ConditionalRules&) = delete;
  ConditionalRules& operator=(const ConditionalRules&) = delete;
  // While building: `condition` is "types sites" as the "#T" line has them;
  // `rule` the rule line. False when the condition cannot be read.
  bool add(std::string_view condition, std::string_view rule);
  // Appends every group's A, F and U rules to `into` (for an index of the
  // caller's that can tell whether any of them matches); before finish().
  void append_rules(std::vector<AdRule>& into) const;
  // Builds the groups' indexes; call once all are added.
  void finish();
  bool empty() const { return groups_.empty(); }
  // What the caller knows already of this request and the A, F and U rules
  // of all groups together.
  enum class Known { NOTHING, SOME_RULE_MATCHES, NO_RULE_MATCHES };
  // Whether some rule whose condition `traits` meet matches the request
  // (`host` folded as imported_lists_verdict folds it).
  bool matches(const char* host, std::size_t host_size, const char* path, std::size_t path_size,
               const RequestTraits& traits, Known known = Known::NOTHING) const;

 private:
  struct Group;
  std::vector<std::unique_ptr<Group>> groups_;
  // Every group's rules together: a request that none of them matches (most
  // requests) is done with one query, without asking the groups.
  std::shared_ptr<const RuleIndex> any_rule_;
  SubdomainPaths any_subdomain_path_;
  std::unordered_map<std::string, std::size_t> group_of_condition_;  // while building
};

// Exceptions for a host and its subdomains on the pages of some sites ("#@H"
// lines).
class PageExceptions {
 public:
  PageExceptions() = default;
  PageExceptions(const PageExceptions&) = delete;
  PageExceptions& operator=(const PageExceptions&) = delete;
  void add(std::string_view host, std::string_view sites);
  bool empty() const { return sites_by_host_.empty(); }
  // Whether an entry for `host` (folded) or a parent domain of it holds on
  // `page` (the host of the page that made the request; empty: unknown).
  bool matches(std::string_view host, std::string_view page) const;

 private:
  std::deque<std::string> hosts_;  // owns what the map's keys point to (never move)
  std::unordered_map<std::string_view, std::string> sites_by_host_;  // "|"-separated
};

struct ImportedList {
  std::string name;
  // The whole-host rules: "A" + a host name (that host) and "A>." + a host
  // name (its subdomains), the bulk of every list, kept compact.
  // One table for the three kinds, so that a request's host is looked up
  // once: bits of kind k are k * EXACT (the host) and k * SUBDOMAINS (its
  // subdomains), with BLOCKING, THIRD_PARTY and EXCEPTION as k; the bits
  // *_PATHS say that the *_subdomains of that kind hold the name, the bits
  // *_HOST_PATHS that the *_host_paths do.
  HostSet hosts;
  static constexpr unsigned BLOCKING = 1, THIRD_PARTY = 4, EXCEPTION = 16;
  static constexpr unsigned BLOCKING_PATHS = 64, THIRD_PARTY_PATHS = 128, EXCEPTION_PATHS = 256;
  static constexpr unsigned BLOCKING_HOST_PATHS = 512, THIRD_PARTY_HOST_PATHS = 1024,
                            EXCEPTION_HOST_PATHS = 2048;
  SubdomainPaths block_subdomains;
  SubdomainPaths third_party_subdomains;
  SubdomainPaths exception_subdomains;
  // "U<" + host + path rules (most of a list's host-and-path rules): by their
  // host, which the request's host is looked up as anyway, rather than among
  // the general rules' prefixes.
  SubdomainPaths block_host_paths;
  SubdomainPaths third_party_host_paths;
  SubdomainPaths exception_host_paths;
  PageExceptions page_exceptions;
  ConditionalRules conditional;
  // The other blocking rules, then from position `third_party_from` on those
  // for THIRD_PARTY and UNKNOWN requests only, then from `conditional_from`
  // on the A, F and U rules of `conditional`: one index, so that a request
  // costs one query for all that apply to it (null when the list has none).
  std::shared_ptr<const RuleIndex> blocking;
  std::size_t third_party_from = 0;
  std::size_t conditional_from = 0;
  std::shared_ptr<const RuleIndex> exceptions;
  std::size_t rule_lines = 0;
  // Of the files' names and contents: a reload that finds the same files
  // keeps this list instead of building it again.
  std::uint64_t source_digest = 0;
};

// Builds a list from a converted file's text (lines end in LF; CR before it
// is dropped). Nothing of `text` is kept. May throw std::bad_alloc.
std::shared_ptr<const ImportedList> parse_imported_list(std::string name, std::string_view text);

// VERDICT_BLOCK when some list blocks the request and none of that list's
// exceptions matches it; VERDICT_PASS otherwise. `traits`: what the request's
// headers tell (nothing for a tunnel).
Verdict imported_lists_verdict(const std::vector<std::shared_ptr<const ImportedList>>& lists,
                               const char* host, std::size_t host_size, const char* path,
                               std::size_t path_size, const RequestTraits& traits);
// The same with the party and the page alone (`page`: as traits_from_headers tells it,
// empty when unknown).
inline Verdict imported_lists_verdict(const std::vector<std::shared_ptr<const ImportedList>>& lists,
                                      const char* host, std::size_t host_size, const char* path,
                                      std::size_t path_size, RequestParty party,
                                      std::string_view page = {}) {
  RequestTraits traits;
  traits.party = party;
  traits.page = page;
  return imported_lists_verdict(lists, host, host_size, path, path_size, traits);
}

// Reads every "*.ini" of IMPORTED_LISTS_DIR (in the current directory) in
// name order, all into one ImportedList (so exceptions apply across lists).
// A missing folder gives no lists; a file that cannot be read is left out and
// logged. When the files are those `previous` was built from, `previous` is
// returned as it is, so a reload costs no building and no second copy.
std::vector<std::shared_ptr<const ImportedList>> load_imported_lists(
    const std::vector<std::shared_ptr<const ImportedList>>& previous = {});

// Whether a request for `host` made by a page of `referer_host` is a
// third-party one: the two hosts do not share their registrable domain
// (judged from the last labels, without a public-suffix table: two labels,
// or three when the second-to-last is a short one under a country code, as
// in example.co.uk).
bool is_third_party(std::string_view host, std::string_view referer_host);
