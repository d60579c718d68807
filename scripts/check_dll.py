#!/usr/bin/python3
"""Checks a built QuelmarAlg.dll against the public header, from its PE tables.

- It exports exactly the functions the header declares with QUELMARALG_API,
  by their plain C names (no decoration, no ordinal-only entry, no data),
  under its own name QuelmarAlg.dll.
- It imports system DLLs only: KERNEL32 and the C runtime (msvcrt, or the
  Universal C Runtime), so that a host needs no other file beside it; and it
  delays no import.
- With --no-tls, it has no TLS directory, so that the loader grants its
  DisableThreadLibraryCalls.
- With --abi-baseline (abi/libQuelmarAlg.so.N.abi, scripts/check_abi.py), it
  still exports every function of the ABI that hosts are built against: a
  name gone fails, a name added is reported (the header then names it too).

Usage: check_dll.py --objdump OBJDUMP --header QuelmarAlg.h [--macro QUELMARALG_API] [--no-tls]
                    [--abi-baseline BASELINE] DLL
(QuelmarAlgWol.dll: --header QuelmarAlgWol.h --macro QUELMARWOL_API; the DLL's
own name is the file's.)
Prints what it found; exits 1 on the first rule broken.
"""
import argparse
import os
import re
import subprocess
import sys

ALLOWED_IMPORTS = [r"kernel32\.dll", r"msvcrt\.dll", r"ucrtbase\.dll", r"api-ms-win-crt-[a-z0-9-]+\.dll"]
TLS_ENTRY = 9
DELAY_IMPORT_ENTRY = 0xD


def header_names(path, macro):
    """The functions the header declares for export with `macro`, in header order."""
    with open(path, encoding="utf-8") as header:
        text = header.read()
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.findall(r"^\s*" + macro + r"\s[^;{(]*?\b(\w+)\s*\(", text, flags=re.M)


def baseline_names(path):
    """The exported functions an ABI baseline (abidw's XML) records."""
    with open(path, encoding="utf-8") as xml:
        text = xml.read()
    functions = text.split("<elf-function-symbols>", 1)[-1].split("</elf-function-symbols>", 1)[0]
    return re.findall(r"<elf-symbol name='(\w+)'", functions)


def pe_tables(objdump, dll):
    """(DLL name, export names, export address count, imported DLLs, {entry: size}) from objdump -p."""
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    name = re.search(r"^Name\s+[0-9a-fA-F]+\s+(\S+)", text, flags=re.M)
    count = re.search(r"Export Address Table\s+([0-9a-fA-F]+)", text)
    names = []
    if "[Ordinal/Name Pointer] Table" in text:
        table = text.split("[Ordinal/Name Pointer] Table", 1)[1]
        for line in table.splitlines()[1:]:
            entry = re.match(r"\s+\[\s*\d+\]\s+(\S+)\s*$", line)
            if not entry:
                break
            names.append(entry.group(1))
    imports = re.findall(r"^\s*DLL Name:\s*(\S+)", text, flags=re.M)
    entries = {int(i, 16): int(size, 16)
               for i, size in re.findall(r"^Entry ([0-9a-f]) [0-9a-fA-F]+ ([0-9a-fA-F]+)", text, flags=re.M)}
    return (name.group(1) if name else None, names, int(count.group(1), 16) if count else 0, imports, entries)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--header", required=True)
    parser.add_argument("--macro", default="QUELMARALG_API")
    parser.add_argument("--no-tls", action="store_true")
    parser.add_argument("--abi-baseline")
    parser.add_argument("dll")
    args = parser.parse_args()

    declared = header_names(args.header, args.macro)
    own_name = os.path.basename(args.dll)
    dll_name, exported, addresses, imports, entries = pe_tables(args.objdump, args.dll)
    failures = []

    print(f"{os.path.basename(args.dll)}: {len(exported)} exports, {len(declared)} declared by the header")
    if dll_name != own_name:
        failures.append(f"the DLL calls itself {dll_name}, not {own_name}")
    missing = sorted(set(declared) - set(exported))
    extra = sorted(set(exported) - set(declared))
    if missing:
        failures.append("not exported: " + " ".join(missing))
    if extra:
        failures.append("exported beyond the header: " + " ".join(extra))
    if len(set(declared)) != len(declared):
        failures.append("the header declares a name twice")
    if addresses != len(exported):
        failures.append(f"{addresses} export addresses for {len(exported)} names (entries by ordinal only)")

    if args.abi_baseline:
        promised = baseline_names(args.abi_baseline)
        gone = sorted(set(promised) - set(exported))
        added = sorted(set(exported) - set(promised))
        print(f"ABI baseline {os.path.basename(args.abi_baseline)}: {len(promised)} functions"
              + (f"; added since (compatible): {' '.join(added)}" if added else ""))
        if not promised:
            failures.append(f"{args.abi_baseline} records no function")
        if gone:
            failures.append("functions of the ABI baseline not exported (incompatible): " + " ".join(gone))

    print("imports: " + " ".join(imports))
    foreign = [dll for dll in imports if not any(re.fullmatch(rule, dll, flags=re.I) for rule in ALLOWED_IMPORTS)]
    if foreign:
        failures.append("imports beyond the system DLLs: " + " ".join(foreign))
    if entries.get(DELAY_IMPORT_ENTRY, 0) != 0:
        failures.append("delay-loaded imports present")

    tls = entries.get(TLS_ENTRY)
    print(f"TLS directory: {'none' if tls == 0 else f'{tls} bytes'}")
    if tls is None:
        failures.append("objdump printed no data directory table")
    elif args.no_tls and tls != 0:
        failures.append("a TLS directory is present: DisableThreadLibraryCalls would be refused")

    for failure in failures:
        print("check_dll: " + failure, file=sys.stderr)
    if not failures:
        print("check_dll: exports, imports and TLS as required")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
