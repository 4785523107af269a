#!/usr/bin/env python3
"""Writes the C++ table of the functions that mingw-w64's headers declare at Windows
Server 2003's API level: what tarnwell-pecheck knows the system to have.

Usage: declared_functions.py --output FILE [--depfile FILE] COMPILER...

Each COMPILER (a mingw-w64 gcc or g++) preprocesses the system's headers and, apart, the C
runtime's; a name that any of them declares is in the table. A function the headers hide
at this level (or never declare) is not known, so an import of it fails the check.
"""
import argparse
import re
import subprocess
import sys

# Server 2003 SP2 and the msvcrt.dll it ships (7.0). Given on the command line because
# _mingw.h sets a newer level of its own when none is.
LEVEL = [
    "-D_WIN32_WINNT=0x0502",
    "-DWINVER=0x0502",
    "-DNTDDI_VERSION=0x05020200",
    "-D__MSVCRT_VERSION__=0x0700",
    # Otherwise C99 mode swaps the printf family for mingw's own inline versions.
    "-D__USE_MINGW_ANSI_STDIO=0",
]

# The headers of the DLLs that server2003.cpp lets a program import (kShippedDlls).
# winsock2.h goes before windows.h, which would otherwise bring in the old winsock.h.
SYSTEM_HEADERS = [
    "winsock2.h", "ws2tcpip.h", "windows.h", "winternl.h", "commctrl.h", "commdlg.h",
    "shellapi.h", "shlobj.h", "shlwapi.h", "ole2.h", "oleauto.h", "activeds.h", "psapi.h",
    "tlhelp32.h", "uxtheme.h", "winver.h", "aclapi.h", "sddl.h", "winsvc.h", "excpt.h",
]

# msvcrt.dll's: kept apart, so that a system function is not taken for a C runtime one.
RUNTIME_HEADERS = [
    "assert.h", "conio.h", "ctype.h", "direct.h", "errno.h", "excpt.h", "fcntl.h", "float.h",
    "io.h", "locale.h", "malloc.h", "math.h", "mbstring.h", "process.h", "search.h",
    "setjmp.h", "signal.h", "stdio.h", "stdlib.h", "string.h", "sys/stat.h", "sys/timeb.h",
    "sys/utime.h", "time.h", "wchar.h", "wctype.h",
]

TOKEN = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|[A-Za-z_]\w*|\d\w*|\S')
IDENTIFIER = re.compile(r"[A-Za-z_]\w*$")
HEADER_FILE = re.compile(r'^#\s*\d+\s+"(/[^"]*)"', re.MULTILINE)  # line markers' files
# Groups that carry no name: attributes, calling conventions, asm labels.
ATTRIBUTES = {"__attribute__", "__declspec", "__asm__", "__asm", "asm"}
# Words before a "(" that are not a declarator's name.
NOT_NAMES = {
    "void", "char", "short", "int", "long", "float", "double", "signed", "unsigned", "_Bool",
    "const", "volatile", "restrict", "__restrict__", "__restrict", "extern", "static",
    "inline", "__inline", "__inline__", "register", "struct", "union", "enum", "sizeof",
    "__typeof__", "typeof", "__extension__", "__int64", "__int128",
}


def declarations(text):
    """The tokens of each declaration at file scope that ends in ';'. Braces are skipped
    whole: a function's body (an inline definition is no export) or a struct's."""
    tokens, depth = [], 0
    for line in text.splitlines():
        if line.startswith("#"):  # a line marker or a pragma
            continue
        for t in TOKEN.findall(line):
            if depth:
                depth += {"{": 1, "}": -1}.get(t, 0)
            elif t == "{":
                depth, tokens = 1, []
            elif t == ";":
                yield tokens
                tokens = []
            elif t == "}":
                tokens = []
            else:
                tokens.append(t)


def function_name(tokens):
    """The name a declaration gives a function, or None: on 64-bit Windows WINAPI is
    empty, so a prototype is told by its shape, not by a calling convention."""
    if "typedef" in tokens:
        return None
    plain, i = [], 0
    while i < len(tokens):
        if tokens[i] in ATTRIBUTES and i + 1 < len(tokens) and tokens[i + 1] == "(":
            depth, i = 0, i + 1
            while i < len(tokens):
                depth += {"(": 1, ")": -1}.get(tokens[i], 0)
                i += 1
                if depth == 0:
                    break
            continue
        plain.append(tokens[i])
        i += 1
    if "_Static_assert" in plain[:2]:
        return None
    # The declarator is the first name followed by its parameter list; "(*" opens a
    # pointer declarator instead (a function pointer, or a function returning one).
    for name, paren, after in zip(plain, plain[1:], plain[2:] + [""]):
        if paren == "(" and after != "*" and IDENTIFIER.match(name) and name not in NOT_NAMES:
            return name
    return None


def declared(compiler, headers):
    source = "".join(f"#include <{h}>\n" for h in headers)
    run = subprocess.run([compiler, "-x", "c", "-E", *LEVEL, "-"], input=source, capture_output=True,
                         text=True, check=False)
    if run.returncode != 0:
        sys.exit(f"declared_functions.py: {compiler} could not read the headers:\n{run.stderr}")
    names = {function_name(tokens) for tokens in declarations(run.stdout)} - {None}
    files = set(HEADER_FILE.findall(run.stdout))
    return names, files


def table(name, names):
    lines = [f"constexpr std::array<std::string_view, {len(names)}> {name} = {{"]
    lines += [f'    "{n}",' for n in sorted(names)]
    lines.append("};")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--output", required=True)
    parser.add_argument("--depfile")
    parser.add_argument("compilers", nargs="+")
    args = parser.parse_args()

    system, runtime, files = set(), set(), set()
    for compiler in args.compilers:
        for names, headers in ((system, SYSTEM_HEADERS), (runtime, RUNTIME_HEADERS)):
            found, read = declared(compiler, headers)
            names |= found
            files |= read
    for needed in ("CreateFileW", "malloc"):  # a change of the headers' layout stops here
        if needed not in system | runtime:
            sys.exit(f"declared_functions.py: found no declaration of {needed}: is this mingw-w64?")

    text = "\n".join([
        "// Made by tools/pecheck/declared_functions.py from mingw-w64's headers when the tool",
        "// is built; not to be edited.",
        '#include "tools/pecheck/known_functions.h"',
        "",
        "#include <array>",
        "",
        "namespace tarnwell::pecheck {",
        "",
        "namespace {",
        "",
        table("kSystem", system),
        "",
        table("kRuntime", runtime),
        "",
        "}  // namespace",
        "",
        "const KnownFunctions& HeaderFunctions() {",
        "  static const KnownFunctions known{true, kSystem, kRuntime};",
        "  return known;",
        "}",
        "",
        "}  // namespace tarnwell::pecheck",
        "",
    ])
    with open(args.output, "w", encoding="ascii") as out:
        out.write(text)
    if args.depfile:
        # The table is made again when a header it was read from changes.
        with open(args.depfile, "w", encoding="utf-8") as dep:
            dep.write(args.output.replace(" ", "\\ ") + ":")
            for f in sorted(files):
                dep.write(" \\\n  " + f.replace(" ", "\\ "))
            dep.write("\n")


if __name__ == "__main__":
    main()
