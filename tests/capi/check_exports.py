#!/usr/bin/env python3
"""Checks what the shared library exports: every C function that le/le.h
declares, the engine classes and functions hosts may link, and nothing else
of ours.  usage: check_exports.py LIBRARY LE_H"""
import re
import subprocess
import sys

# Namespaces and classes of the engine that hosts may link.
ALLOWED = (
    "le::Renderer",
    "le::Paste",
    "le::DriverCursor",
    "le::Identity",
    "le::Manifest",
    "le::loadManifest(",
    "le::loadDrive(",
    "le::GeometryStamp",
    "le::loadImageRGB(",
    "le::writePNG(",
    "le::pool::",
    "le::simd::",
    "le::tessera::",
    "le::rewrite",
    "le::normaliseStudentBlend(",
)
# How a symbol of a class shows when demangled, around its name.
PREFIXES = ("typeinfo name for ", "typeinfo for ", "vtable for ", "VTT for ",
            "non-virtual thunk to ", "virtual thunk to ", "guard variable for ")


def exported(library):
    out = subprocess.run(["nm", "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    mangled = [line.split()[-1] for line in out.splitlines() if line.strip()]
    demangled = subprocess.run(["c++filt"], input="\n".join(mangled), check=True,
                               capture_output=True, text=True).stdout.splitlines()
    return list(zip(mangled, demangled))


def ours(name):
    for p in PREFIXES:
        if name.startswith(p):
            name = name[len(p):]
    # A template of the standard library instantiated for one of our types
    # names ours inside its arguments; only the outermost name counts.
    return name if name.startswith("le::") or name.startswith("le_") else None


def main():
    library, header = sys.argv[1], sys.argv[2]
    declared = set(re.findall(r"\bLE_API\b[^;(]*?\b(le_[a-z0-9_]+)\s*\(", open(header).read()))
    symbols = exported(library)
    names = {m for m, _ in symbols}
    problems = [f"declared in le.h but not exported: {n}" for n in sorted(declared - names)]
    for mangled, name in symbols:
        own = ours(name)
        if own is None:
            continue
        if own.startswith("le_"):
            if own not in declared:
                problems.append(f"C symbol not declared in le.h: {own}")
        elif not own.startswith(ALLOWED):
            problems.append(f"internal symbol exported: {name}")
    print(f"{len(declared)} C functions declared, {len(symbols)} symbols exported")
    for p in problems:
        print(p)
    return 1 if problems or not declared else 0


if __name__ == "__main__":
    sys.exit(main())
