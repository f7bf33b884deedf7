#!/usr/bin/env python3
"""Lists the longest function bodies of C++ sources, by lines from the opening brace to the
closing one. A function is a brace block opened at namespace or class scope after a
parenthesised list; lambdas and local blocks count towards the function they sit in.

    tools/function_lengths.py [--over N] [--top N] PATH...
"""
import argparse
import pathlib
import re
import sys

SCOPE_WORDS = re.compile(r"\b(namespace|class|struct|union|enum)\b")


def code_only(text):
    """The text with comments, strings and character literals blanked, lines kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""' + "\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    text = code_only(path.read_text(encoding="utf-8", errors="replace"))
    stack = []  # one entry per open brace: 'scope', 'function' or 'block'
    head_start = 0  # where the text before the next brace began
    line = 1
    start_line = {}
    for i, c in enumerate(text):
        if c == "\n":
            line += 1
        elif c in ";":
            if all(kind == "scope" for kind in stack):
                head_start = i + 1
        elif c == "{":
            head = text[head_start:i]
            in_scope = all(kind == "scope" for kind in stack)
            if not in_scope:
                kind = "block"
            elif SCOPE_WORDS.search(head) and "(" not in head.split("{")[-1].split(")")[0][:0] \
                    and not re.search(r"\)\s*(const|override|noexcept|final|->[^{]*)*\s*$", head):
                kind = "scope"
            elif re.search(r"\)", head) and not re.search(r"=\s*$", head.strip()):
                kind = "function"
                start_line[len(stack)] = (line, head)
            else:
                kind = "block" if not in_scope else "scope"
            stack.append(kind)
            head_start = i + 1
        elif c == "}":
            if not stack:
                continue
            kind = stack.pop()
            if kind == "function":
                first, head = start_line.pop(len(stack))
                name = re.findall(r"([~\w:<>=!+\-*/\[\]]+)\s*\(", head)
                yield (line - first + 1, f"{path}:{first}", name[0] if name else "?")
            if all(k == "scope" for k in stack):
                head_start = i + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--over", type=int, default=0)
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args()
    found = []
    for root in args.paths:
        root = pathlib.Path(root)
        files = [root] if root.is_file() else sorted(
            p for p in root.rglob("*") if p.suffix in (".cpp", ".h"))
        for f in files:
            found.extend(functions(f))
    found.sort(reverse=True)
    shown = [f for f in found if f[0] > args.over] if args.over else found[: args.top]
    for length, where, name in shown:
        print(f"{length:5d}  {name:40s} {where}")
    return 1 if args.over and shown else 0


if __name__ == "__main__":
    sys.exit(main())
