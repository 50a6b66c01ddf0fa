#!/usr/bin/env python3
"""Binds the driver suites to the shipped image instead of the driver's host objects.

The suites refer to driver functions and data by their host names. The image,
mapped at its preferred base, holds the same functions and data under mingw's
names. For each driver symbol the test objects need, this writes a linker-script
assignment of the host name to the image's address, so that a test calls the
image's code and reads the image's data. A symbol the image does not contain (the
linker dropped code nothing calls yet) gets a trap instead: a function that stops
the test with the symbol's name, so a test that needs it cannot pass by accident.

usage: bind_symbols.py NM CXXFILT IMAGE DRIVER_LIB OUT_LD OUT_CPP OBJECT...
"""
import re
import subprocess
import sys


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def demangle(cxxfilt, names):
    if not names:
        return []
    out = subprocess.run([cxxfilt], input="\n".join(names) + "\n", check=True, capture_output=True, text=True).stdout
    return out.rstrip("\n").split("\n")


def normalise(signature):
    """The same declaration as the two compilers spell it: ULONG and LONG are long on
    mingw and int on Linux i386, WCHAR is wchar_t on one and char16_t on the other."""
    s = signature.replace("long long", "\0")
    s = re.sub(r"\bunsigned long\b", "unsigned int", s)
    s = re.sub(r"\blong\b", "int", s)
    s = s.replace("\0", "long long").replace("wchar_t", "char16_t")
    return s.replace(" ", "")


def main():
    nm, cxxfilt, image, driver_lib, out_ld, out_cpp = sys.argv[1:7]
    objects = sys.argv[7:]

    # What the tests need that the driver's host objects define.
    needed = set()
    for line in run(nm, "-u", *objects).split("\n"):
        parts = line.split()
        if len(parts) == 2 and parts[0] == "U":
            needed.add(parts[1])
    driver = set()
    for line in run(nm, "--defined-only", driver_lib).split("\n"):
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TtDdBbRr":
            driver.add(parts[2])
    wanted = sorted(needed & driver)

    # The image's symbols: mingw adds a leading underscore and, for stdcall, @bytes.
    image_syms = {}
    for line in run("i686-w64-mingw32-nm", image).split("\n"):
        parts = line.split()
        if len(parts) != 3 or parts[1] not in "TDBR":
            continue
        name = re.sub(r"@\d+$", "", parts[2])
        if name.startswith("_"):
            name = name[1:]
        image_syms.setdefault(name, int(parts[0], 16))
    image_names = sorted(image_syms)
    image_by_signature = {}
    for raw, pretty in zip(image_names, demangle(cxxfilt, image_names)):
        image_by_signature.setdefault(normalise(pretty), image_syms[raw])

    assignments, traps = [], []
    for raw, pretty in zip(wanted, demangle(cxxfilt, wanted)):
        address = image_by_signature.get(normalise(pretty))
        if address is None:
            traps.append((raw, pretty))
        else:
            assignments.append((raw, address, pretty))

    with open(out_ld, "w") as f:
        f.write("/* Driver symbols of the suites bound to the image at its preferred base. */\n")
        for raw, address, pretty in assignments:
            f.write(f"{raw} = 0x{address:08x}; /* {pretty} */\n")
    with open(out_cpp, "w") as f:
        f.write("// Driver symbols the suites use that the image does not contain.\n")
        f.write('#include "support/image_traps.h"\n\n')
        for i, (raw, pretty) in enumerate(traps):
            f.write(f'extern "C" void vcom_trap_{i}() __asm__("{raw}");\n')
            f.write(f'extern "C" void vcom_trap_{i}() {{ ImageSymbolMissing("{pretty}"); }}\n')
        f.write(f"const int kImageSymbolsBound = {len(assignments)};\n")
        f.write(f"const int kImageSymbolsMissing = {len(traps)};\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
