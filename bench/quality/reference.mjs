// The reference verdicts for the blocking-quality measurement: a full
// filter-list engine (used here only as a test oracle, never shipped) decides
// each request of a corpus on the same lists Vellomar imported.
//
//   node reference.mjs LIST... < corpus.jsonl > verdicts.jsonl
//
// Corpus lines: {"url": ..., "sourceUrl": ..., "type": ...}. Each request is
// judged twice: as plain HTTP (its address with the http scheme) and as
// HTTPS, since the proxy sees the two differently. A verdict names the rule
// that decided it and whether that rule looks at the host alone (anchored
// at a host name, no path, no page or resource-type limits): the only rules
// a proxy can apply to a tunnel, which shows it nothing but the host.
import { readFileSync } from 'node:fs';
import { FiltersEngine, Request } from '@ghostery/adblocker';

const lists = process.argv.slice(2).map((f) => readFileSync(f, 'utf8')).join('\n');
const engine = FiltersEngine.parse(lists, { loadCosmeticFilters: false, debug: true });
const lines = readFileSync(0, 'utf8').split('\n').filter((l) => l.trim() !== '');
for (const line of lines) {
  const r = JSON.parse(line);
  const rest = r.url.replace(/^https?:\/\//, '');
  for (const scheme of ['http', 'https']) {
    const url = `${scheme}://${rest}`;
    const request = Request.fromRawDetails({ url, sourceUrl: r.sourceUrl, type: r.type });
    const { match, filter } = engine.match(request);
    const hostOnly = match && filter.isHostnameAnchor() && !filter.hasFilter() &&
      !filter.hasDomains() && filter.fromAny() && !filter.isRegex();
    process.stdout.write(JSON.stringify({
      url, sourceUrl: r.sourceUrl, type: r.type, blocked: match,
      filter: filter ? filter.rawLine : null, hostOnly }) + '\n');
  }
}
