#include "proxy/request_framing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// One request, and how long it is (-1: its end cannot be known, so it never
// ends). The tests follow it with the start of the next.
struct FramingCase {
  const char* name;
  std::string request;
  long length;
};

const std::string NEXT = "GET http://h/next HTTP/1.1\r\n";

class FramingTest : public testing::TestWithParam<FramingCase> {};

// Whatever the cuts between pieces, the request ends at the same byte.
TEST_P(FramingTest, EndsWhereTheRequestEndsHoweverItIsCut) {
  const FramingCase& c = GetParam();
  const std::string bytes = c.request + NEXT;
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    for (std::size_t step : {std::size_t{1}, bytes.size()}) {
      RequestFraming framing;
      std::size_t taken = 0;
      bool ended = false;
      // The first `cut` bytes in pieces of `step`, then the rest whole.
      std::size_t at = 0;
      while (at < bytes.size() && !ended) {
        const std::size_t size = at < cut ? std::min(step, cut - at) : bytes.size() - at;
        const std::size_t used = framing.follow_current(std::string_view(bytes).substr(at, size));
        taken += used;
        at += size;
        ended = used < size || framing.at_request_start();
      }
      if (c.length < 0) {
        EXPECT_TRUE(framing.lost()) << c.name;
        EXPECT_EQ(taken, bytes.size()) << c.name;
      } else {
        EXPECT_TRUE(framing.at_request_start()) << c.name << " cut " << cut;
        EXPECT_EQ(taken, static_cast<std::size_t>(c.length)) << c.name << " cut " << cut;
      }
    }
  }
}

std::string request(const std::string& headers, const std::string& body = "") {
  return "POST http://h/ HTTP/1.1\r\nHost: h\r\n" + headers + "\r\n" + body;
}

FramingCase framed(const char* name, const std::string& headers, const std::string& body) {
  const std::string r = request(headers, body);
  return {name, r, static_cast<long>(r.size())};
}

FramingCase lost(const char* name, const std::string& headers) {
  return {name, request(headers, "abc"), -1};
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FramingTest,
    testing::Values(
        framed("NoBody", "", ""), framed("ZeroLength", "Content-Length: 0\r\n", ""),
        framed("Length", "content-LENGTH:  \t12 \r\n", "/definitions"),
        framed("SameLengthTwice", "Content-Length: 3\r\nContent-Length: 3\r\n", "a/b"),
        framed("OtherNamesIgnored", "X-Content-Length: 9\r\nContent-Lengthy: 9\r\n", ""),
        framed("Chunked", "Transfer-Encoding: gzip, Chunked\r\n",
               "5;ext=\"x\"\r\nabc=/\r\nA\r\n0123456789\r\n0\r\nTrailer: t\r\n\r\n"),
        framed("ChunkedBeatsLength", "Content-Length: 100\r\nTransfer-Encoding: chunked\r\n",
               "1\r\nx\r\n0\r\n\r\n"),
        framed("BareLineFeeds", "Content-Length: 2\n", "ab"),
        framed("AfterLinesThatFrameNothing",
               "Accept: */*\r\nno colon here\r\nContent-Length: 2\r\nCookie: a=b\r\n", "ab"),
        lost("LengthNotANumber", "Content-Length: 1x\r\n"),
        lost("LengthsDiffer", "Content-Length: 1\r\nContent-Length: 2\r\n"),
        lost("LengthTooLarge", "Content-Length: 999999999999999999999\r\n"),
        lost("LastCodingNotChunked", "Transfer-Encoding: chunked, gzip\r\n"),
        lost("ChunkSizeNotHex", "Transfer-Encoding: chunked\r\n\r\nzz")),
    [](const testing::TestParamInfo<FramingCase>& info) { return info.param.name; });

TEST(Framing, FollowGoesThroughSeveralRequests) {
  RequestFraming framing;
  framing.follow(request("Content-Length: 4\r\n", "abcd") + NEXT + "\r\n" + "POST http://h/ H");
  EXPECT_FALSE(framing.at_request_start());
  framing.follow("TTP/1.1\r\nContent-Length: 1\r\n\r\nx");
  EXPECT_TRUE(framing.at_request_start());
}

}  // namespace
