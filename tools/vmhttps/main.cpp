// vmhttps: filtering inside HTTPS with a local certificate authority.
//
//   vmhttps on                 create the authority if needed, switch inspection on
//   vmhttps off [--delete-key] switch it off (and delete the authority's key)
//   vmhttps status             the switch, the authority and where it is trusted
//   vmhttps trust | untrust    add it to / remove it from the browsers' trust stores
//
// It works on this machine's folder (VELLOMAR_PREFIX) and asks a running
// Vellomar to reload after every change of the switch. Exit status: 0 done,
// 1 a failure, 2 a wrong command line. Messages go to stderr, status to
// stdout. The key is never printed.
#include <cstdio>
#include <string>
#include <vector>

#include "adlists/list_update.h"
#include "browsercfg/ca_trust.h"
#include "browsercfg/inspection_setup.h"
#include "certauth/authority.h"
#include "platform/process.h"
#include "settings/registry_settings.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: vmhttps COMMAND\n"
    "  on                  create the local authority if needed and switch inspection on\n"
    "  off [--delete-key]  switch inspection off (and delete the authority's private key)\n"
    "  status              show the switch, the authority and where it is trusted\n"
    "  trust               add the authority to the browsers' trust stores\n"
    "  untrust             remove it from them again\n";

int usage(const std::string& problem) {
  std::fprintf(stderr, "vmhttps: %s\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

void say(const std::string& line) {
  std::fprintf(stderr, "vmhttps: %s\n", line.c_str());
}

// A running Vellomar reads the switch and the authority again at its reload.
void reload() {
  bool running = false;
  adlists::reload_running_vellomar(&running);
  say(running ? "the running Vellomar reloaded its settings"
              : "no Vellomar answered on 127.0.0.1:8000; the change applies when it starts");
}

// One line per store; true when every store is as asked.
bool print_stores(const browsercfg::TrustReport& report) {
  if (!report.error.empty()) {
    say(report.error);
    return false;
  }
  for (const browsercfg::StoreResult& store : report.stores) {
    std::string line = store.label + ": " + store.detail;
    if (store.browser_running && store.changed) {
      line += " (Firefox is running; restart it if it does not use the change)";
    }
    say(line);
  }
  return report.ok();
}

int on_command() {
  std::string error;
  const bool had_usable = certauth::authority_status().usable;
  if (!certauth::create_authority(&error)) {
    say("cannot create the certificate authority: " + error);
    // An authority the browsers may still trust is never replaced silently.
    say("to start again with a new one: \"vmhttps untrust\", then \"vmhttps off --delete-key\"");
    return kExitFailed;
  }
  const certauth::AuthorityStatus status = certauth::authority_status();
  if (!status.usable) {
    say("the certificate authority is not usable: " + status.reason);
    return kExitFailed;
  }
  if (!had_usable) say("created the certificate authority " + certauth::authority_directory());
  if (!set_https_inspection_enabled(true)) {
    say("cannot store the switch in the registry");
    return kExitFailed;
  }
  say("HTTPS inspection is on");
  reload();
  browsercfg::TrustReport trust = browsercfg::authority_trust_status(status.sha256_fingerprint);
  bool everywhere = trust.error.empty() && !trust.stores.empty();
  for (const browsercfg::StoreResult& store : trust.stores) everywhere &= store.trusted;
  if (!everywhere) say("next: run \"vmhttps trust\" so that the browsers accept it");
  return 0;
}

int off_command(bool delete_key) {
  if (!set_https_inspection_enabled(false)) {
    say("cannot store the switch in the registry");
    return kExitFailed;
  }
  say("HTTPS inspection is off");
  reload();
  if (!delete_key) return 0;
  browsercfg::InspectionRemoval removal = browsercfg::delete_authority_key();
  for (const std::string& line : removal.lines) say(line);
  return removal.ok ? 0 : kExitFailed;
}

int status_command() {
  const certauth::AuthorityStatus status = certauth::authority_status();
  std::printf("Inspection: %s\n", https_inspection_enabled() ? "on" : "off");
  if (!status.present) {
    std::printf("Authority:  none (\"vmhttps on\" creates one)\n");
  } else {
    std::printf("Authority:  %s\n",
                status.usable ? "usable" : ("not usable: " + status.reason).c_str());
    std::printf("Subject:    %s\n", status.subject.c_str());
    std::printf("SHA-256:    %s\n", status.sha256_fingerprint.c_str());
    std::printf("Valid to:   %s\n", status.not_after.c_str());
    std::printf("Folder:     %s\n", certauth::authority_directory().c_str());
  }
  if (https_inspection_enabled() && !status.usable) {
    std::printf("Inspection is switched on but not used while the authority is not usable.\n");
  }
  if (status.sha256_fingerprint.empty()) return 0;
  browsercfg::TrustReport trust = browsercfg::authority_trust_status(status.sha256_fingerprint);
  if (!trust.error.empty()) {
    std::printf("Trusted in: unknown (%s)\n", trust.error.c_str());
    return kExitFailed;
  }
  if (trust.stores.empty()) std::printf("Trusted in: no browser store (\"vmhttps trust\")\n");
  for (const browsercfg::StoreResult& store : trust.stores) {
    std::printf("Store:      %s: %s\n", store.label.c_str(), store.detail.c_str());
  }
  return trust.ok() ? 0 : kExitFailed;
}

int trust_command() {
  const certauth::AuthorityStatus status = certauth::authority_status();
  if (!status.usable) {
    say(status.present ? "the certificate authority is not usable (" + status.reason +
                             "); \"vmhttps on\" makes a new one"
                       : "there is no certificate authority yet; run \"vmhttps on\" first");
    return kExitFailed;
  }
  bool ok = print_stores(browsercfg::trust_authority(certauth::authority_certificate_path()));
  if (ok) say("restart the browsers that are running to be sure they use it");
  return ok ? 0 : kExitFailed;
}

int untrust_command() {
  std::string error;
  const std::string fingerprint =
      browsercfg::certificate_fingerprint(certauth::authority_certificate_path(), &error);
  if (fingerprint.empty()) {
    say(error + "; nothing to remove (an entry of another authority is never removed)");
    return kExitFailed;
  }
  return print_stores(browsercfg::untrust_authority(fingerprint)) ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  platform::init_process();
  std::vector<std::string> args;
  bool delete_key = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--delete-key") {
      delete_key = true;
    } else if (a.rfind("-", 0) == 0) {
      return usage("unknown option " + a);
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return usage("no command given");
  if (args.size() > 1) return usage("one command at a time");
  const std::string& command = args[0];
  if (delete_key && command != "off") return usage("--delete-key goes with off only");
  if (command == "on") return on_command();
  if (command == "off") return off_command(delete_key);
  if (command == "status") return status_command();
  if (command == "trust") return trust_command();
  if (command == "untrust") return untrust_command();
  return usage("unknown command " + command);
}
