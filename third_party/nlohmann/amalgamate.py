#!/usr/bin/env python3
"""Makes the single json.hpp from the multi-header tree that Debian's
nlohmann-json3-dev installs (/usr/include/nlohmann), the way upstream's
single_include is made: each `#include <nlohmann/...>` is replaced by that
header's text the first time it appears and dropped after that.

usage: amalgamate.py [INCLUDE_DIR] > json.hpp   (default /usr/include)
"""
import os
import re
import sys

root = sys.argv[1] if len(sys.argv) > 1 else "/usr/include"
include = re.compile(r"^\s*#\s*include\s*<(nlohmann/[^>]+)>\s*$")
seen = set()


def inline(name, out):
    seen.add(name)
    with open(os.path.join(root, name), encoding="utf-8") as f:
        for line in f:
            m = include.match(line)
            if m:
                if m.group(1) not in seen:
                    out.append(f"// #include <{m.group(1)}>\n")
                    inline(m.group(1), out)
                continue
            out.append(line)


out = []
inline("nlohmann/json.hpp", out)
sys.stdout.write("".join(out))
