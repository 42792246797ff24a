#!/usr/bin/env python3
"""function_length.py SOURCE_DIR [MAX]: no hand-written C++ function is
longer than MAX lines (80 by default), from the line of its opening brace to
the line of its closing one.

A plain brace-matching scan of every .cc/.h file under the directories of
hand-written code: comments, string and character literals are blanked
first; a brace opens a function body when the text before it (back to the
last ';', '{' or '}') has a parameter list and is no class, namespace, enum
or control statement, outside any other function. Lambdas and local classes
count towards the function holding them.
"""
import os
import re
import sys

# Every directory of hand-written C++; generated code (the schema's
# classes) lives in the build tree, not here.
DIRS = ["core", "model", "stream", "validate", "formats", "transport", "tools",
        "python", "bench", "fuzz", "demo", "synthetic", "tests", "compat"]
SKIP_PARTS = {"build", "third_party", "vendor", "data", "golden"}

SCOPE = re.compile(r"\b(namespace|class|struct|union|enum)\b|extern\s*\"C\"")
CONTROL = re.compile(r"^\s*(if|for|while|switch|catch|do|else|try|return)\b")
STRIP = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"(?P<d>[^(\s]*)\(.*?\)(?P=d)"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'',
    re.S)


def blank(match):
    # Keeps the newlines, so that line numbers stay right.
    text = match.group(0)
    keep = '""' if text.startswith(('"', 'R"')) else ''
    return keep + "\n" * text.count("\n")


def functions(text):
    """(name, first line, last line) of every function body in `text`."""
    code = STRIP.sub(blank, text)
    code = re.sub(r"^\s*#[^\n]*", "", code, flags=re.M)  # preprocessor lines
    stack = []  # per open brace: None, or (name, line) for a function body
    start = 0   # where the text before the next brace begins
    line = 1
    in_function = 0
    for i, ch in enumerate(code):
        if ch == "\n":
            line += 1
        elif ch == ";":
            start = i + 1
        elif ch == "{":
            head = code[start:i]
            entry = None
            if (not in_function and "(" in head and not SCOPE.search(head)
                    and not CONTROL.match(head) and not re.search(r"=\s*$", head)):
                name = re.findall(r"([~\w:]+)\s*\(", head)
                entry = (name[0] if name else "?", line)
                in_function += 1
            stack.append(entry)
            start = i + 1
        elif ch == "}":
            entry = stack.pop() if stack else None
            if entry is not None:
                in_function -= 1
                yield entry[0], entry[1], line
            start = i + 1


def main():
    root = sys.argv[1]
    limit = int(sys.argv[2]) if len(sys.argv) > 2 else 80
    long_ones = []
    for top in DIRS:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            dirnames[:] = sorted(d for d in dirnames if d not in SKIP_PARTS)
            for filename in sorted(filenames):
                if not filename.endswith((".cc", ".h", ".cpp")):
                    continue
                path = os.path.join(dirpath, filename)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for name, first, last in functions(text):
                    if last - first + 1 > limit:
                        long_ones.append(
                            f"{os.path.relpath(path, root)}:{first}: {name}: {last - first + 1} lines")
    if long_ones:
        print(f"functions over {limit} lines (split them):")
        print("\n".join(long_ones))
        return 1
    print(f"no function over {limit} lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
