-- wrk script for the proxy benchmark. wrk sends its path as the request
-- target, so a proxy-style absolute address makes it a proxy request:
--   TARGET_URL  the address to request (absolute through the proxy, a plain
--               path straight to the origin)
--   CLOSE=1     ask for one connection per request ("Connection: close")
-- Prints one line "RESULT <requests> <requests/s> <p99 ms> <errors>".
local target = os.getenv("TARGET_URL")
if target and target ~= "" then
  wrk.path = target
end
if os.getenv("CLOSE") == "1" then
  wrk.headers["Connection"] = "close"
end

done = function(summary, latency, requests)
  local seconds = summary.duration / 1e6
  local e = summary.errors
  local errors = e.connect + e.read + e.write + e.status + e.timeout
  io.write(string.format("RESULT %d %.1f %.3f %d\n", summary.requests,
                         summary.requests / seconds, latency:percentile(99) / 1000, errors))
end
