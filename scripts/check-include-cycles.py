#!/usr/bin/env python3
"""Fails when the C++ files include each other in a circle, and names them.

A source file and its header (foo.cpp, foo.h) count as one node, so a circle
through a definition is found too: foo.cpp includes bar.h while bar.cpp
includes foo.h. Quoted includes are resolved from the top of the tree and
from the including file's folder; system includes are ignored. Prints each
circle (a strongly connected set of nodes) on a line of its own and exits 1
when there is one that scripts/known-include-circles.txt does not list (a
circle someone is breaking, written the way this script prints it), 0
otherwise. A listed circle that is gone is named, so that its line goes too.
"""
import os
import re
import subprocess
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def tracked_sources(top):
    listed = subprocess.run(
        ['git', '-C', top, 'ls-files', '--cached', '--others', '--exclude-standard', '*.cpp', '*.h'],
        capture_output=True, text=True, check=True).stdout.split()
    return sorted({f for f in listed if os.path.isfile(os.path.join(top, f))})


def include_graph(top, files):
    known = set(files)
    node = lambda path: os.path.splitext(path)[0]
    graph = {node(f): set() for f in files}
    for f in files:
        with open(os.path.join(top, f), encoding='utf-8', errors='replace') as text:
            for line in text:
                m = INCLUDE.match(line)
                if not m:
                    continue
                beside = os.path.normpath(os.path.join(os.path.dirname(f), m.group(1)))
                target = beside if beside in known else m.group(1) if m.group(1) in known else None
                if target and node(target) != node(f):
                    graph[node(f)].add(node(target))
    return graph


def circles(graph):
    """Tarjan's strongly connected components of more than one node, without recursion."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph[start])))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            v, edges = work[-1]
            w = next(edges, None)
            if w is not None:
                if w not in index:
                    index[w] = low[w] = counter
                    counter += 1
                    stack.append(w)
                    on_stack.add(w)
                    work.append((w, iter(sorted(graph.get(w, ())))))
                elif w in on_stack:
                    low[v] = min(low[v], index[w])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[v])
            if low[v] == index[v]:
                component = []
                while True:
                    w = stack.pop()
                    on_stack.discard(w)
                    component.append(w)
                    if w == v:
                        break
                if len(component) > 1:
                    found.append(sorted(component))
    return found


def main():
    top = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
    files = tracked_sources(top)
    known = set()
    known_path = os.path.join(top, 'scripts', 'known-include-circles.txt')
    if os.path.exists(known_path):
        with open(known_path, encoding='utf-8') as text:
            known = {line.strip() for line in text if line.strip() and not line.startswith('#')}
    found = [' <-> '.join(component) for component in circles(include_graph(top, files))]
    new = [circle for circle in found if circle not in known]
    for circle in found:
        print(('known include circle: ' if circle in known else 'include circle: ') + circle)
    for circle in sorted(known - set(found)):
        print('gone (take it out of scripts/known-include-circles.txt): ' + circle)
    if new:
        print('check-include-cycles: break each circle with a header that owns the shared '
              'declarations', file=sys.stderr)
        return 1
    print(f'check-include-cycles: {len(files)} files, no new circle')
    return 0


if __name__ == '__main__':
    sys.exit(main())
