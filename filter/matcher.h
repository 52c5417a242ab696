// The request matcher and the blocking switch.
//
// match_request gives the filter verdict for one request: the reload host,
// the blocking switch, the built-in advertisement page, the exemptions for
// short paths and page extensions, then the first rule of the list in force
// whose test holds. It allocates nothing, keeps no state, and may be called
// from any number of threads at once.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "filter/imported_list.h"
#include "filter/verdict.h"

// The host whose every request reloads the ad definitions.
inline constexpr char RELOAD_HOST[] = "vellomar.reload";

// The built-in advertisement page, recognised without any rule.
inline constexpr char BUILTIN_AD_PAGE[] =
    "home.netscape.com/computing/download/smartdownload/ib/index.html";

// 0: ad blocking on; 1: off. Set to 0 at every start, toggled by the tray.
extern std::atomic<int> blocking_off;

struct RuleList;

// The verdict against a given list (match_request, filter/rules_in_force.h,
// asks the list in force). host: the request's host name without port; path:
// the request's path, or " *HTTPS*" for tunnels and requests through an
// upstream proxy. The rules of imported lists that are limited to third-party
// requests apply unless `party` says the request is a first-party one. The
// imported lists are asked after the user's rules, and also for the site
// roots and pages that the user's rules never block.
Verdict match_request_in(const RuleList& rules, const char* host, const char* path,
                         RequestParty party = RequestParty::UNKNOWN, std::string_view page = {});
// The same with all that the request's headers tell (traits_from_headers):
// the lists' rules limited to resource types or pages apply only by them.
Verdict match_request_in(const RuleList& rules, const char* host, const char* path,
                         const RequestTraits& traits);

// The rule walk alone, without the fixed tests before it: the verdict of the
// first rule of kind A, F, U or N (in list order) whose test holds, or
// VERDICT_PASS. The first through the list's index when it has one, the second
// always by walking the list; both give the same verdict.
Verdict first_rule_verdict(const RuleList& rules, const char* host, const char* path);
Verdict first_rule_verdict_linear(const RuleList& rules, const char* host, const char* path);
