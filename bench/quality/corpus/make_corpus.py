#!/usr/bin/env python3
"""Writes the measurement corpus (JSON lines {"url", "sourceUrl", "type"}) from
the tab-separated request files beside it, in a fixed order.

    bench/quality/corpus/make_corpus.py > bench/quality/corpus/corpus.jsonl
"""
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

for name in ("testdata_requests.tsv", "ordinary.tsv"):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            kind, url, page = line.split("\t")
            sys.stdout.write(json.dumps({"url": url, "sourceUrl": page, "type": kind}) + "\n")
