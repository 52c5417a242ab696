-- wrk request script for bench/compare/run.sh: the path (absolute URI when
-- wrk talks to a proxy), the origin's Host header, optionally one connection
-- per request, and a machine-readable summary line.
wrk.path = os.getenv("BENCH_PATH") or "/"
wrk.headers["Host"] = os.getenv("BENCH_HOST")
if os.getenv("BENCH_CLOSE") == "1" then
  wrk.headers["Connection"] = "close"
end

done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT %d %d %d %d %d %d %d %d %d\n",
    summary.requests, summary.duration,
    latency:percentile(50), latency:percentile(99),
    e.connect, e.read, e.write, e.status, e.timeout))
end
