#!/usr/bin/env python3
"""Reads an nginx access log written with the benchmark's log format
('$msec $request_time $connection $status $body_bytes_sent $request_uri')
and prints, for the file requests (URIs with /files/):

  span_seconds mean_gap_ms requests connections

span: from the start of the first request to the end of the last one (the
last byte handed to the socket); a request starts at $msec - $request_time.
gap: from the end of one request to the start of the next on the same
connection, averaged over all such pairs.
"""
import sys
from collections import defaultdict


def main(path):
    reqs = []
    for line in open(path):
        parts = line.split()
        if len(parts) < 6 or "/files/" not in parts[5]:
            continue
        end, took, conn = float(parts[0]), float(parts[1]), parts[2]
        reqs.append((end - took, end, conn))
    if not reqs:
        sys.exit("no file requests in " + path)
    by_conn = defaultdict(list)
    for start, end, conn in reqs:
        by_conn[conn].append((start, end))
    gaps = []
    for items in by_conn.values():
        items.sort()
        gaps += [b[0] - a[1] for a, b in zip(items, items[1:])]
    span = max(e for _, e, _ in reqs) - min(s for s, _, _ in reqs)
    gap_ms = 1000 * sum(gaps) / len(gaps) if gaps else 0.0
    print("%.3f %.2f %d %d" % (span, gap_ms, len(reqs), len(by_conn)))


if __name__ == "__main__":
    main(sys.argv[1])
