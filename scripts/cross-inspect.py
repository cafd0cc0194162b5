"""Inspects a linked module for another platform, for scripts/check-cross.

    cross-inspect.py STABLE_ABI_TOML ABI_VERSION SPEC...

Each SPEC is `PATH:FORMAT[:MIN_OS][:EXPECT]`, FORMAT one of macos, windows,
musl. A module passes when it exports its init function only, imports no
Python symbol outside the stable ABI of ABI_VERSION (as Misc/stable_abi.toml
of a CPython source tree lists it), loads no library but the platform's own
and the interpreter's, and, on macOS, says MIN_OS is its minimum system; on
musl, it must ask for no static (initial-exec) TLS, for which musl's loader
keeps no room in a module loaded after start-up. EXPECT, a `+`-separated
list of the kinds of finding (export, python, library, min-os, tls), turns
the SPEC into a negative control: it passes when the inspection reports
exactly those kinds, which shows that each of them can fail. Prints one line
per module and its findings; exits 1 if any SPEC fails.
"""

import sys
import tomllib

import lief

lief.logging.disable()

INIT = "PyInit_tarvella"

# What a module may load besides the interpreter: what every system of the
# kind has. On macOS zig links its own libc++ in, where Apple's toolchain
# would load the system's /usr/lib/libc++.1.dylib; both are system libraries.
SYSTEM_LIBRARIES = {
    "macos": lambda name: name in {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"},
    # The Universal CRT (its api-ms-win-crt-* sets) and the kernel's DLLs;
    # not MinGW's own runtime DLLs (libstdc++, libgcc_s, libwinpthread),
    # which no Windows has.
    "windows": lambda name: name.lower() == "python3.dll"
    or name.lower() in {"kernel32.dll", "ntdll.dll", "ucrtbase.dll", "advapi32.dll"}
    or name.lower().startswith("api-ms-win-crt-"),
    # zig names musl's C library libc.so; musl's loader takes any libc.so
    # name for itself.
    "musl": lambda name: name in {"libc.so", "libc.musl-x86_64.so.1", "libc.musl-aarch64.so.1"},
}

# Symbols that zig's Mach-O linker exports whatever the export list says
# (it ignores -exported_symbols_list): its own header symbols, and the
# replaceable operator new and delete of the libc++ it links in. Apple's
# ld64, which the release uses, exports the init function only.
MACOS_LINKER_EXPORTS = {"__mh_dylib_header", "___dso_handle"}


def stable_abi(path, version):
    """The function and data names of the stable ABI as of `version`."""
    want = tuple(int(part) for part in version.split("."))
    with open(path, "rb") as f:
        table = tomllib.load(f)
    names = set()
    for kind in ("function", "data"):
        for name, entry in table.get(kind, {}).items():
            if tuple(int(part) for part in entry["added"].split(".")) <= want:
                names.add(name)
    return names


def is_python(name):
    return name.startswith(("Py", "_Py"))


def inspect_macos(binary, min_os):
    findings = []
    binary = binary.at(0) if isinstance(binary, lief.MachO.FatBinary) else binary
    trie = binary.dyld_exports_trie if binary.has_dyld_exports_trie else binary.dyld_info
    exported = {entry.symbol.name for entry in trie.exports}
    extra = {
        name
        for name in exported - {"_" + INIT} - MACOS_LINKER_EXPORTS
        if not name.startswith(("__Znw", "__Zna", "__Zdl", "__Zda"))
    }
    if "_" + INIT not in exported:
        findings.append(("export", f"{INIT} is not exported"))
    if extra:
        findings.append(("export", "also exports " + " ".join(sorted(extra))))
    imported = [symbol.name[1:] for symbol in binary.imported_symbols if symbol.name.startswith("_")]
    # A dylib names itself among its libraries (LC_ID_DYLIB).
    libraries = [lib.name for lib in binary.libraries if lib.command != lief.MachO.LoadCommand.TYPE.ID_DYLIB]
    if binary.has_build_version:
        minos = binary.build_version.minos
    elif binary.has_version_min:
        minos = binary.version_min.version
    else:
        minos = None
    found_os = ".".join(str(part) for part in minos[:2]) if minos else "none"
    if found_os != min_os:
        findings.append(("min-os", f"minimum macOS {found_os}, not {min_os}"))
    return imported, libraries, findings, f"macOS {found_os}"


def inspect_windows(binary, _min_os):
    findings = []
    export = binary.get_export() if binary.has_exports else None
    exported = {entry.name for entry in export.entries} if export else set()
    if exported != {INIT}:
        findings.append(("export", "exports " + (" ".join(sorted(exported)) or "nothing")))
    imported = []
    libraries = []
    for library in binary.imports:
        libraries.append(library.name)
        if library.name.lower() == "python3.dll":
            imported += [entry.name for entry in library.entries]
        elif library.name.lower().startswith("python"):
            findings.append(("library", f"imports from {library.name}, not from python3.dll"))
    return imported, libraries, findings, ""


def inspect_musl(binary, _min_os):
    findings = []
    # By section index: lief's imported_symbols leaves out undefined symbols
    # that no symbol version names, the interpreter's among them.
    named = [symbol for symbol in binary.dynamic_symbols if symbol.name]
    exported = {symbol.name for symbol in named if symbol.shndx != 0}
    if exported != {INIT}:
        findings.append(("export", "exports " + (" ".join(sorted(exported)) or "nothing")))
    imported = [symbol.name for symbol in named if symbol.shndx == 0]
    libraries = list(binary.libraries)
    static_tls = []
    if binary.has(lief.ELF.DynamicEntry.TAG.FLAGS):
        flags = binary.get(lief.ELF.DynamicEntry.TAG.FLAGS)
        if flags.has(lief.ELF.DynamicEntryFlags.FLAG.STATIC_TLS):
            static_tls.append("DF_STATIC_TLS")
    # A dynamic relocation to a fixed offset from the thread pointer is
    # what the initial-exec model leaves for the loader.
    initial_exec = ("X86_64_TPOFF64", "X86_64_TPOFF32", "AARCH64_TLS_TPREL64", "AARCH64_TLS_TPREL")
    for reloc in binary.dynamic_relocations:
        name = str(reloc.type).rsplit(".", 1)[-1]
        if name.endswith(initial_exec):
            static_tls.append(name)
    if static_tls:
        findings.append(("tls", "initial-exec TLS: " + " ".join(sorted(set(static_tls)))))
    return imported, libraries, findings, ""


INSPECT = {"macos": inspect_macos, "windows": inspect_windows, "musl": inspect_musl}


def main():
    stable_path, version, *specs = sys.argv[1:]
    stable = stable_abi(stable_path, version)
    failed = 0
    for spec in specs:
        path, fmt, min_os, expect = (spec.split(":") + ["", ""])[:4]
        binary = lief.parse(path)
        if binary is None:
            print(f"  FAIL {path}: lief cannot read it")
            failed += 1
            continue
        imported, libraries, findings, detail = INSPECT[fmt](binary, min_os)
        python = sorted({name for name in imported if is_python(name)})
        if not python and not expect:
            findings.append(("python", "imports no Python symbol: the inspection cannot see them"))
        outside = [name for name in python if name not in stable]
        if outside:
            findings.append(("python", f"outside the {version} stable ABI: " + " ".join(outside)))
        foreign = [name for name in libraries if not SYSTEM_LIBRARIES[fmt](name)]
        if foreign:
            findings.append(("library", "loads " + " ".join(foreign)))
        kinds = {kind for kind, _ in findings}
        if expect:
            wanted = set(expect.split("+"))
            ok = kinds == wanted
            verdict = "ok  " if ok else "FAIL"
            print(f"  {verdict} control {path}: reported {' '.join(sorted(kinds)) or 'nothing'}"
                  f" (must report {' '.join(sorted(wanted))})")
            for _, text in findings:
                print(f"         {text}")
        else:
            ok = not findings
            verdict = "ok  " if ok else "FAIL"
            summary = f"{len(python)} Python symbols, all stable; loads {' '.join(libraries)}"
            print(f"  {verdict} {path}: {summary}{'; ' + detail if detail else ''}")
            for _, text in findings:
                print(f"         {text}")
        failed += not ok
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
