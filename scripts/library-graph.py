#!/usr/bin/env python3
"""Prints the program's libraries by folder, what each links, and any cycle among them.

    scripts/library-graph.py BUILD-FOLDER

Reads the link graph from CMake's graphviz output and the folder of each library from the
add_library() of src/*/CMakeLists.txt. Only the windows of display/, settings/ and history/ may
link each other both ways (they call each other the way start-up creates them); any other cycle
ends the script with status 1. The same holds for folders: a folder depends on another when one
of its libraries links one of the other's, and leaving out the links of those windows, the folders
form no cycle.
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

ALLOWED_CYCLE = {"zul_display", "zul_settings_dialog", "zul_history_windows"}


def folders(src):
    where = {}
    for cmake in glob.glob(os.path.join(src, "**", "CMakeLists.txt"), recursive=True):
        folder = os.path.relpath(os.path.dirname(cmake), src)
        for name in re.findall(r"add_library\((zul_\w+)", open(cmake).read()):
            where[name] = "src" if folder == "." else folder
    # The shared types under src/ sit below every folder; the start-up and command line above.
    if "zul_base" in where:
        where["zul_base"] = "base"
    return where


def links(build):
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["cmake", "--graphviz=" + os.path.join(tmp, "g.dot"), os.path.abspath(build)],
                       cwd=tmp, check=True, stdout=subprocess.DEVNULL)
        dot = open(os.path.join(tmp, "g.dot")).read()
    names = dict(re.findall(r'"(node\d+)" \[ label = "([^"]+)"', dot))
    edges = {}
    for a, b in re.findall(r'"(node\d+)" -> "(node\d+)"', dot):
        edges.setdefault(names[a], set()).add(names[b])
    return edges


def cycles(graph):
    # Tarjan's strongly connected components.
    index, low, stack, on, out = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = set()
            while True:
                w = stack.pop()
                on.discard(w)
                comp.add(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(comp)

    for v in list(graph):
        if v not in index:
            visit(v)
    return out


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    where = folders(src)
    graph = {a: {b for b in bs if b in where} for a, bs in links(build).items() if a in where}
    for lib in sorted(graph, key=lambda n: (where[n], n)):
        print(f"{where[lib]:9} {lib:20} -> {' '.join(sorted(graph[lib])) or '-'}")
    status = 0
    folder_graph = {}
    for lib, deps in graph.items():
        if lib in ALLOWED_CYCLE:
            continue
        for dep in deps:
            if where[dep] != where[lib]:
                folder_graph.setdefault(where[lib], set()).add(where[dep])
    for folder in sorted(folder_graph):
        print(f"folder {folder:9} -> {' '.join(sorted(folder_graph[folder]))}")
    for comp in cycles(folder_graph):
        print("library-graph: folder cycle " + " ".join(sorted(comp)), file=sys.stderr)
        status = 1
    for comp in cycles(graph):
        if comp == ALLOWED_CYCLE:
            print("start-up cycle: " + " ".join(sorted(comp)))
        else:
            print("library-graph: cycle " + " ".join(sorted(comp)), file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
