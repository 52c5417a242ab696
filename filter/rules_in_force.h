// The matcher and the pop-up neutraliser against the rule list in force
// (filter/rule_list.h), and the neutraliser's log lines. Safe from any number
// of threads: each call reads one published list.
#pragma once

#include <string_view>

#include "filter/imported_list.h"
#include "filter/verdict.h"

struct RuleList;

// The filter verdict (filter/matcher.h) of one request. host: the request's
// host name without port; path: the request's path, or " *HTTPS*" for tunnels
// and requests through an upstream proxy.
Verdict match_request(const char* host, const char* path);
// The same for a request whose party is known: rules of imported lists that
// are limited to third-party requests apply unless it is a first-party one
// (match_request: UNKNOWN). `page`: the host of the page that made it
// (traits_from_headers), for the lists' exceptions limited to some sites.
Verdict match_request_from(const char* host, const char* path, RequestParty party,
                           std::string_view page = {});
// The same with all that a plain request's headers tell (traits_from_headers).
Verdict match_request_from(const char* host, const char* path, const RequestTraits& traits);
// The same for a plain request whose head (request line and header lines)
// is `head`: its headers are read (traits_from_headers) only when imported
// lists are in force to use what they tell, which saves every request the
// reading when there are none.
Verdict match_request_with_head(const char* host, const char* path, std::string_view head);

// Neutralises a reply piece (filter/popup_neutraliser.h) and logs one
// "Blocked Popup: <host>" line per overwritten occurrence. piece: the reply
// bytes followed by a zero byte; host: the host of the latest request.
void neutralise_popups(char* piece, const char* host);
void neutralise_popups_in(const RuleList& rules, char* piece, const char* host);
