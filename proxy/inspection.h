// HTTPS inspection: which CONNECT requests are inspected and what with.
//
// The state (the switch, the authority and its host certificates, the TLS
// contexts, the pass-through hosts) is read at start and at every reload of
// the definitions, and published as one immutable snapshot that sessions
// take whole; a reload never changes what a session already holds. The
// hosts remembered for asking for a client certificate are kept apart (they
// grow while sessions run), guarded by a lock and stored in the authority's
// folder. All calls are safe from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "certauth/leaf_certs.h"
#include "certauth/origin_tls.h"

// The user's list of hosts never to inspect, beside the definitions file.
inline constexpr char PASS_THROUGH_FILE[] = "passthrough.txt";
// Hosts whose origin asked for a client certificate, one per line.
inline constexpr char REMEMBERED_HOSTS_FILE[] = "client-certificate-hosts";
// Only CONNECT requests to this port are inspected.
inline constexpr int INSPECTED_PORT = 443;
// Time limits of the two handshakes and of an upstream proxy's CONNECT reply.
inline constexpr int ORIGIN_HANDSHAKE_TIMEOUT_MS = 15000;
inline constexpr int BROWSER_HANDSHAKE_TIMEOUT_MS = 15000;
// The most bytes of an upstream proxy's reply to our CONNECT.
inline constexpr std::size_t PROXY_REPLY_LIMIT = 8192;
// At most this many hosts are remembered; further ones are not stored.
inline constexpr std::size_t REMEMBERED_HOSTS_LIMIT = 4096;

// Host suffixes: "example.com" (or ".example.com", "*.example.com") stands
// for example.com and every name under it. Letter case is ignored.
class HostSuffixes {
 public:
  // One entry per line; blank lines and lines starting with "#" are skipped.
  static HostSuffixes parse(std::string_view text);
  void add(std::string_view entry);
  bool matches(std::string_view host) const;
  bool empty() const { return suffixes_.empty(); }

 private:
  std::vector<std::string> suffixes_;
};

struct InspectionState {
  bool enabled = false;  // the switch is on and the authority usable
  std::string reason;    // why not, when the switch is on
  std::shared_ptr<certauth::LeafCache> leaves;
  certauth::ContextPtr origin_context;
  certauth::ContextPtr browser_context;
  HostSuffixes pass_through;
};

// The snapshot in force; never null (inspection off before the first load).
std::shared_ptr<const InspectionState> current_inspection();

// Reads the switch, the authority and the pass-through file (in the current
// directory, the installation folder) and publishes the result. Keeps the
// host certificates already minted when the authority is the same one.
void reload_inspection();

// Publishes a state made elsewhere (tests, fuzzing).
void publish_inspection(std::shared_ptr<const InspectionState> state);

// Whether `host` is tunnelled untouched: on the user's list, or remembered.
bool passes_through(const InspectionState& state, std::string_view host);

// Remembers that `host` asked for a client certificate: from now on it
// passes through. Stored at once (aside, then renamed).
void remember_client_certificate_host(std::string_view host);

// The answer to every request over an inspected connection whose origin
// failed verification: a page naming the host and the reason, both
// HTML-escaped; the connection closes after it.
std::string origin_failure_page(std::string_view host, std::string_view reason);
