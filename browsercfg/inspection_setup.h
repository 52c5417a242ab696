// Taking HTTPS inspection away: the switch, the browsers' trust and the
// authority's key. Shared by vmhttps and the remove program so both leave
// the same state behind.
//
// Runs on the caller's thread; never throws. The key is a secret that
// outlives its use if left behind, so it is deleted whenever inspection is
// taken away for good. Its certificate (not secret) stays while a browser
// store still trusts it: untrusting needs its fingerprint.
#pragma once

#include <string>
#include <vector>

namespace browsercfg {

struct InspectionRemoval {
  bool ok = false;                 // nothing that was asked for is left behind
  std::vector<std::string> lines;  // what was done, one sentence each, for the user and the log
};

// Deletes the authority's private key, and its certificate too when no
// browser store trusts it (or none can be asked: then the certificate stays).
InspectionRemoval delete_authority_key();

// The remove program's part: inspection switched off, the authority taken
// out of every browser store, and its key deleted.
InspectionRemoval remove_inspection();

}  // namespace browsercfg
