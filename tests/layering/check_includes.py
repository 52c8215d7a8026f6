#!/usr/bin/python3
"""Keeps the library's folders depending in one direction.

Reads every `#include "tarnwick/bundle/..."` under src/tarnwick/bundle and fails on any include that
reaches a folder at the same level or above the including file's own (a file may always include its
own folder). LAYERS below is the one place the order is written down; the README draws it.

The front ends (FRONT_ENDS) see the library only through their public header: any other include of
the library, or of HDF5, in their sources is reported too.

Usage: check_includes.py [REPO_ROOT]     REPO_ROOT defaults to this repository
       check_includes.py --self-test     checks the checker on a small made-up tree
"""
import os
import re
import sys
import tempfile

# Lowest first. Folders on one line are peers: they may not include each other.
# The loose files at the top of the tree are named by file: errors.* is the foundation every
# folder may use, bundle.hpp is the public header over everything.
LAYERS = [
    ["errors"],
    ["fs"],
    ["h5"],
    ["host"],
    ["formats", "layout"],
    ["service"],
    ["selection"],
    ["drivers"],
    ["minbar", "tick", "checks", "reading"],
    ["audit"],
    ["status", "commands"],
    ["bundle"],
    ["command_line", "python_module"],
]

# Each front end's sources and the one library header they may include.
FRONT_ENDS = {
    "apps/tarnwick-bundle": "command_line.hpp",
    "python/src": "python_module.hpp",
}
HDF5_INCLUDE = re.compile(r'^\s*#\s*include\s+[<"]((?:hdf5|H5)[^">]*)[">]', re.M)
RANK = {name: level for level, names in enumerate(LAYERS) for name in names}
INCLUDE = re.compile(r'^\s*#\s*include\s+"tarnwick/bundle/([^"]+)"', re.M)


def unit_of(relative_path):
    """The folder a file belongs to; a loose top-level file is named by its stem."""
    head, _, rest = relative_path.partition("/")
    return head if rest else os.path.splitext(head)[0]


def violations(src_root):
    found = []
    for directory, _, names in os.walk(src_root):
        for name in sorted(names):
            if not name.endswith((".hpp", ".cpp", ".h")):
                continue
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, src_root).replace(os.sep, "/")
            source = unit_of(relative)
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for target_path in INCLUDE.findall(text):
                target = unit_of(target_path)
                if target == source:
                    continue
                if source not in RANK:
                    found.append((relative, target_path, f"folder '{source}' is not in the layer order"))
                elif target not in RANK:
                    found.append((relative, target_path, f"folder '{target}' is not in the layer order"))
                elif RANK[target] >= RANK[source]:
                    relation = "a peer of" if RANK[target] == RANK[source] else "above"
                    found.append((relative, target_path, f"'{target}' is {relation} '{source}'"))
    return sorted(found)


def front_end_violations(repo_root):
    found = []
    for folder, public_header in FRONT_ENDS.items():
        root = os.path.join(repo_root, folder)
        for directory, _, names in os.walk(root):
            for name in sorted(names):
                if not name.endswith((".hpp", ".cpp", ".h")):
                    continue
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, repo_root).replace(os.sep, "/")
                with open(path, encoding="utf-8") as f:
                    text = f.read()
                for target_path in INCLUDE.findall(text):
                    if target_path != public_header:
                        found.append((relative, target_path, f"a front end includes only {public_header}"))
                for header in HDF5_INCLUDE.findall(text):
                    found.append((relative, header, "a front end does not use HDF5"))
    return sorted(found)


def report(repo_root):
    found = violations(os.path.join(repo_root, "src", "tarnwick", "bundle")) + front_end_violations(repo_root)
    for file, include, rule in found:
        print(f"{file}: includes tarnwick/bundle/{include}: {rule}")
    order = " -> ".join(" | ".join(names) for names in LAYERS)
    if found:
        print(f"{len(found)} include(s) against the order {order}")
        return 1
    print(f"includes follow the order {order}; the front ends include only their public headers")
    return 0


def self_test():
    return self_test_layers() or self_test_front_ends()


def check_made_up_tree(files, find, expected, what):
    """Writes `files` into a temporary tree, runs `find` on it and compares (file, include) pairs."""
    with tempfile.TemporaryDirectory() as root:
        for relative, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(root, relative)), exist_ok=True)
            with open(os.path.join(root, relative), "w", encoding="utf-8") as f:
                f.write(text)
        got = [(file, include) for file, include, _ in find(root)]
    if got != expected:
        print(f"self-test: expected {expected}, got {got}")
        return 1
    print(f"self-test: {what}")
    return 0


def self_test_front_ends():
    files = {
        "apps/tarnwick-bundle/main.cpp": '#include "tarnwick/bundle/command_line.hpp"\n#include <string>\n',
        "apps/tarnwick-bundle/bad.cpp": '#include "tarnwick/bundle/host/log.hpp"\n',
        "python/src/module.cpp": '#include "tarnwick/bundle/python_module.hpp"\n#include <hdf5.h>\n',
        "python/src/other.cpp": '#include "tarnwick/bundle/command_line.hpp"\n',
    }
    expected = [("apps/tarnwick-bundle/bad.cpp", "host/log.hpp"), ("python/src/module.cpp", "hdf5.h"),
                ("python/src/other.cpp", "command_line.hpp")]
    return check_made_up_tree(files, front_end_violations, expected,
                              "a front end's includes other than its public header, and of HDF5, are reported")


def self_test_layers():
    files = {
        "errors.hpp": "",
        "h5/h5.hpp": '#include "tarnwick/bundle/errors.hpp"\n',
        "host/log.cpp": '#include "tarnwick/bundle/host/log.hpp"\n#include "tarnwick/bundle/h5/h5.hpp"\n',
        "host/log.hpp": "",
        "layout/paths.cpp": '#include "tarnwick/bundle/formats/npy.hpp"\n',
        "formats/npy.hpp": "",
        "h5/bad.cpp": '  #  include "tarnwick/bundle/tick/append.hpp"\n',
        "tick/append.hpp": "",
        "mystery/x.cpp": '#include "tarnwick/bundle/h5/h5.hpp"\n',
    }
    expected = [("h5/bad.cpp", "tick/append.hpp"), ("layout/paths.cpp", "formats/npy.hpp"),
                ("mystery/x.cpp", "h5/h5.hpp")]
    return check_made_up_tree(files, violations, expected,
                              "upward, peer and unknown-folder includes are reported, downward ones are not")


if __name__ == "__main__":
    if sys.argv[1:] == ["--self-test"]:
        sys.exit(self_test())
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    sys.exit(report(sys.argv[1] if len(sys.argv) > 1 else default))
