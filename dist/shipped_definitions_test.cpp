// The shipped ad definitions block the usual advertising and tracking hosts
// and leave ordinary sites alone, for plain and secure requests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>

#include "filter/matcher.h"
#include "filter/rule_list.h"
#include "filter/rules_in_force.h"
#include "tests/support/machine.h"

namespace {

namespace fs = std::filesystem;
constexpr char TUNNEL[] = " *HTTPS*";

struct Request {
  const char* host;
  const char* path;
};
void PrintTo(const Request& request, std::ostream* out) {
  *out << request.host << request.path;
}

class ShippedDefinitions : public ::testing::TestWithParam<std::pair<Request, Verdict>> {
 protected:
  static void SetUpTestSuite() {
    machine_ = new vmtest::Machine("definitions");
    fs::copy_file(fs::path(VELLOMAR_SOURCE_DIR) / "dist" / "Vellomar.ini",
                  machine_->root() / "vellomar.ini");
    machine_->enter(machine_->root());
    load_ad_definitions();
  }
  static void TearDownTestSuite() {
    free_rule_list();
    delete machine_;
  }
  static vmtest::Machine* machine_;
};
vmtest::Machine* ShippedDefinitions::machine_ = nullptr;

TEST_P(ShippedDefinitions, GiveTheExpectedVerdict) {
  ASSERT_GT(current_rules().rules.size(), 200u);
  const auto& [request, verdict] = GetParam();
  EXPECT_EQ(match_request(request.host, request.path), verdict) << request.host << request.path;
}

std::string case_name(const ::testing::TestParamInfo<std::pair<Request, Verdict>>& info) {
  std::string name;
  for (const char* c = info.param.first.host; *c != '\0'; ++c) name += std::isalnum(*c) ? *c : '_';
  return name + "_" + std::to_string(info.index);
}

std::vector<std::pair<Request, Verdict>> cases(std::vector<Request> requests, Verdict verdict) {
  std::vector<std::pair<Request, Verdict>> out;
  for (const Request& request : requests) out.emplace_back(request, verdict);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    OrdinarySites, ShippedDefinitions,
    ::testing::ValuesIn(cases({{"www.google.com", "/search?q=weather"},
                               {"www.google.com", TUNNEL},
                               {"fonts.googleapis.com", TUNNEL},
                               {"ajax.googleapis.com", "/ajax/libs/jquery/3.7.1/jquery.min.js"},
                               {"www.youtube.com", "/watch?v=abc"},
                               {"i.ytimg.com", "/vi/abc/hqdefault.jpg"},
                               {"en.wikipedia.org", TUNNEL},
                               {"upload.wikimedia.org",
                                "/wikipedia/commons/a/ab/Uploads_and_loads.png"},
                               {"github.com", TUNNEL},
                               {"objects.githubusercontent.com", TUNNEL},
                               {"www.facebook.com", TUNNEL},
                               {"www.facebook.com", "/trending/"},
                               {"connect.facebook.net", TUNNEL},
                               {"t.co", TUNNEL},
                               {"www.amazon.com", "/gp/cart/view.html"},
                               {"m.media-amazon.com", "/images/I/abc.jpg"},
                               {"www.bbc.co.uk", "/news/uploads/headline.png"},
                               {"static.licdn.com", TUNNEL},
                               {"www.adobe.com", TUNNEL},
                               {"www.reddit.com", "/r/linux/"},
                               {"cdn.jsdelivr.net", "/npm/bootstrap@5/dist/js/bootstrap.min.js"},
                               {"somemedia.net", TUNNEL},
                               {"news.example.com", "/headers/top.png"}},
                              VERDICT_PASS)),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    AdvertisingAndTracking, ShippedDefinitions,
    ::testing::ValuesIn(cases({{"ad.doubleclick.net", TUNNEL},
                               {"doubleclick.net", "/x.gif"},
                               {"pagead2.googlesyndication.com", "/pagead/show_ads.js"},
                               {"www.googletagmanager.com", TUNNEL},
                               {"www.google-analytics.com", "/analytics.js"},
                               {"static.criteo.net", TUNNEL},
                               {"cdn.taboola.com", TUNNEL},
                               {"ib.adnxs.com", TUNNEL},
                               {"www.google.com", "/pagead/1p-user-list/123/"},
                               {"www.facebook.com", "/tr?id=1&ev=PageView"},
                               {"ads.example.com", "/www/delivery/ajs.php?zoneid=1"},
                               {"news.example.com", "/js/urchin.js"}},
                              VERDICT_BLOCK)),
    case_name);

}  // namespace
