#!/usr/bin/env python3
"""Checks every #include of src/, sim/ against the floors of the program.

  net <- results <- history, lookup, session, analysis <- search <- wizard   (the core)
      <- ui (src/ui: what every window uses)
      <- windows (*_window, *_model, *_qt files beside their subsystem)
      <- app (the shell: main window, entry point, demo, tour)
  cli and sim stand on the core only; tests, benches and fuzz may use anything.

A core file includes no Qt header and no window file; a window file reads no
network and no JSON itself (net/http.h, net/json.h), and includes no window of
another folder. Prints each broken rule as FILE:LINE and exits 1.

  scripts/check-layers.py [ROOT]     ROOT defaults to the checkout
  scripts/check-layers.py --self-test
"""
import os
import re
import sys
import tempfile

# What each core folder may include, itself included.
CORE = {
    "net": {"net"},
    "results": {"net", "results"},
    "history": {"net", "results", "history"},
    "lookup": {"net", "results", "lookup"},
    "session": {"net", "results", "session"},
    "analysis": {"net", "results", "analysis"},
    "search": {"net", "results", "lookup", "session", "search"},
    "wizard": {"net", "results", "lookup", "session", "search", "wizard"},
}
ALL_CORE = set(CORE)
WINDOW_NAME = re.compile(r"(_window|_model|_qt)\.(h|cpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
NETWORK_READING = {"net/http.h", "net/json.h"}


def is_window(path):
    """A window-floor file: in ui/ or app/, or named as a window beside its subsystem."""
    folder = path.split("/")[0]
    return folder in ("ui", "app") or bool(WINDOW_NAME.search(path))


def floor_of(rel):
    """(kind, folder) of a file given relative to the checkout."""
    parts = rel.split("/")
    if parts[0] == "sim":
        return "sim", "sim"
    folder = parts[1] if len(parts) > 2 else ""
    if folder in ("app", "ui", "cli"):
        return folder, folder
    if folder in CORE:
        return ("window" if WINDOW_NAME.search(parts[-1]) else "core"), folder
    return "unknown", folder


def broken_rule(rel, kind, folder, bracket, target):
    """The rule `target` breaks when included from `rel`, or None."""
    if bracket == "<":
        if kind in ("core", "cli", "sim") and re.match(r"Q[A-Za-z]*(/|$)", target):
            return f"{folder} is below the windows: no Qt header"
        return None
    if "/" not in target:
        return None  # a header of the file's own folder
    to = target.split("/")[0]
    if kind == "sim":
        if to in ALL_CORE and not is_window(target):
            return None
        return "sim stands on the core only (" + ", ".join(sorted(ALL_CORE)) + ")"
    if to not in ALL_CORE | {"ui", "app", "cli"}:
        return f"no folder src/{to}"
    if kind == "app":
        return None
    if kind == "cli":
        if to in ALL_CORE and not is_window(target) or to == "cli":
            return None
        return "cli stands on the core only (" + ", ".join(sorted(ALL_CORE)) + ")"
    if kind == "core":
        if to in CORE[folder] and not is_window(target):
            return None
        return f"{folder} may include only {', '.join(sorted(CORE[folder]))} (and no window file)"
    if kind == "ui":
        if (to in ALL_CORE and not is_window(target)) or to == "ui":
            return None
        return "ui may include only the core and ui"
    if kind == "window":
        if target in NETWORK_READING:
            return "a window file reads no network and no JSON: put that in a core function"
        if (to in ALL_CORE and not is_window(target)) or to == "ui" or to == folder:
            return None
        return f"a window of {folder} may include the core, ui and {folder} only"
    return "a file outside the known folders"


def check(root):
    problems = []
    edges = {}  # (folder, included folder) -> the first file:line that makes it
    for top in ("src", "sim"):
        for dirpath, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith((".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, name)
                rel = os.path.relpath(path, root).replace(os.sep, "/")
                kind, folder = floor_of(rel)
                if kind == "unknown":
                    problems.append(f"{rel}:1: a file outside the known folders of src/")
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = m.group(2)
                        if m.group(1) == '"' and "/" in target and target.split("/")[0] != folder:
                            edges.setdefault((folder, target.split("/")[0]), f"{rel}:{number}")
                        rule = broken_rule(rel, kind, folder, m.group(1), m.group(2))
                        if rule:
                            closing = ">" if m.group(1) == "<" else '"'
                            problems.append(f"{rel}:{number}: includes {m.group(1)}{m.group(2)}{closing}: {rule}")
    # Windows beside their subsystem stand above ui, but a folder as a whole must
    # still not include a folder that includes it back.
    for (a, b), where in sorted(edges.items()):
        if a < b and (b, a) in edges:
            problems.append(f"{where}: {a} includes {b}, and {b} includes {a} back ({edges[(b, a)]})")
    return problems


def self_test():
    """The check passes a tree that keeps the floors and names each planted fault."""
    cases = {
        "src/lookup/item.cpp": ('#include "net/http.h"\n#include "results/host.h"\n'
                                '#include "app/main_window.h"\n'),  # line 3 climbs
        "src/net/codec.cpp": "#include <QString>\n",
        "src/search/tabs_qt.cpp": '#include <QWidget>\n#include "net/json.h"\n#include "wizard/w_window.h"\n',
        "src/wizard/walk.cpp": '#include "search/run.h"\n',
        "src/search/run.cpp": '#include "wizard/walk.h"\n',
        "src/app/main.cpp": '#include "search/tabs_qt.h"\n#include "ui/calls_qt.h"\n',
        "src/cli/main.cpp": '#include "ui/calls_qt.h"\n',
        "sim/app.cpp": '#include "net/codec.h"\n',
        "src/ui/host_qt.cpp": '#include "session/login.h"\n',  # allowed alone, but:
        "src/session/login_window.cpp": '#include "ui/calls_qt.h"\n',  # session includes ui back
    }
    with tempfile.TemporaryDirectory() as root:
        for rel, text in cases.items():
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        found = {p.split(": ")[0] for p in check(root)}
    expected = {"src/lookup/item.cpp:3", "src/net/codec.cpp:1", "src/search/tabs_qt.cpp:2",
                "src/search/tabs_qt.cpp:3", "src/search/run.cpp:1", "src/cli/main.cpp:1",
                "src/search/run.cpp:1", "src/session/login_window.cpp:1"}
    if found != expected:
        print(f"check-layers self-test: found {sorted(found)}, expected {sorted(expected)}", file=sys.stderr)
        return 1
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = check(os.path.abspath(root))
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
