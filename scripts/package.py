#!/usr/bin/python3
"""Writes the release archives from built trees, byte for byte reproducibly.

  package.py --version V --linux-stage DIR --windows-build DIR --out DIR

--linux-stage is the library's install component (cmake --install
--component library); --windows-build the MinGW-w64 build folder. Writes
  QuelmarAlg-V-linux-x86_64.tar.gz: the shared object with its soname links,
      the header, the pkg-config and CMake package files, the .NET binding,
      the licence and SHA256SUMS;
  QuelmarAlg-V-windows-x64.zip: QuelmarAlg.dll, its import library and .def,
      the header, the .NET binding, the README's sections for hosts, the
      licence and SHA256SUMS.
Every entry has the time SOURCE_DATE_EPOCH (required), owner 0:0 without
names and a fixed mode (0755 folders and libraries, 0644 other files);
entries are sorted by path; gzip's header carries no name and no time.
"""
import argparse
import gzip
import hashlib
import io
import os
import re
import shutil
import stat
import sys
import tarfile
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The README's sections a host developer needs, for the Windows archive.
HOST_SECTIONS = ("Using the library", "Versions and the ABI", "Windows")
ZIP_EPOCH = 315532800  # 1980-01-01, the earliest time a zip entry can hold
LIBRARY = re.compile(r"\.(so(\.\d+)*|dll)$")


def mode_of(path):
    """The fixed mode of a staged file or folder."""
    if os.path.isdir(path) or LIBRARY.search(path):
        return 0o755
    return 0o644


def entries(stage):
    """Every path under stage, relative, sorted, folders before their contents."""
    found = []
    for folder, dirs, files in os.walk(stage):
        for name in dirs + files:
            found.append(os.path.relpath(os.path.join(folder, name), stage))
    return sorted(found, key=lambda path: path.split(os.sep))


def write_checksums(stage):
    """SHA256SUMS of every regular file, as sha256sum -c reads it from the folder."""
    lines = []
    for path in entries(stage):
        full = os.path.join(stage, path)
        if os.path.isfile(full) and not os.path.islink(full) and path != "SHA256SUMS":
            with open(full, "rb") as data:
                lines.append(f"{hashlib.sha256(data.read()).hexdigest()}  {path}\n")
    with open(os.path.join(stage, "SHA256SUMS"), "w", encoding="ascii") as out:
        out.writelines(lines)


def write_tar_gz(stage, top, out, epoch):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for path in [""] + entries(stage):
            full = os.path.join(stage, path)
            info = tarfile.TarInfo(os.path.join(top, path).rstrip("/"))
            info.mtime, info.uid, info.gid, info.uname, info.gname = epoch, 0, 0, "", ""
            if os.path.islink(full):
                info.type, info.linkname, info.mode = tarfile.SYMTYPE, os.readlink(full), 0o777
                tar.addfile(info)
            elif os.path.isdir(full):
                info.type, info.mode = tarfile.DIRTYPE, 0o755
                tar.addfile(info)
            else:
                info.size, info.mode = os.path.getsize(full), mode_of(full)
                with open(full, "rb") as data:
                    tar.addfile(info, data)
    with open(out, "wb") as file, gzip.GzipFile(filename="", mode="wb", fileobj=file, mtime=epoch,
                                                compresslevel=9) as packed:
        packed.write(raw.getvalue())


def write_zip(stage, top, out, epoch):
    when = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    with zipfile.ZipFile(out, "w") as archive:
        for path in entries(stage):
            full = os.path.join(stage, path)
            name = "/".join([top] + path.split(os.sep))
            if os.path.islink(full):
                raise SystemExit(f"package: {path} is a link, which a zip cannot hold")
            folder = os.path.isdir(full)
            info = zipfile.ZipInfo(name + "/" if folder else name, date_time=when)
            info.create_system = 3  # the modes below are Unix modes
            info.external_attr = ((stat.S_IFDIR if folder else stat.S_IFREG) | mode_of(full)) << 16
            if folder:
                archive.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(full, "rb") as data:
                    archive.writestr(info, data.read(), compresslevel=9)


# Both libraries a host may link: the core and the window-of-linearity road.
LIBRARIES = ("QuelmarAlg", "QuelmarAlgWol")


def host_readme(version):
    """The README's sections for hosts, under a title of their own."""
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    sections = re.split(r"(?m)^(?=## )", text)
    kept = [s for s in sections if s.startswith("## ") and s[3:].splitlines()[0].strip() in HOST_SECTIONS]
    if len(kept) != len(HOST_SECTIONS):
        raise SystemExit(f"package: README.md lacks one of the sections {HOST_SECTIONS}")
    return f"# QuelmarAlg {version} for Windows hosts\n\n" + "\n".join(s.rstrip() + "\n" for s in kept)


def copy_binding(stage):
    """The .NET binding: its README, sources and project file."""
    source = os.path.join(ROOT, "bindings", "dotnet")
    target = os.path.join(stage, "bindings", "dotnet")
    os.makedirs(os.path.join(target, "src"))
    shutil.copyfile(os.path.join(source, "README.md"), os.path.join(target, "README.md"))
    for name in sorted(os.listdir(os.path.join(source, "src"))):
        if name.endswith((".cs", ".csproj")):
            shutil.copyfile(os.path.join(source, "src", name), os.path.join(target, "src", name))


def linux_archive(version, installed, out, epoch):
    top = f"QuelmarAlg-{version}-linux-x86_64"
    with tempfile.TemporaryDirectory() as work:
        stage = os.path.join(work, top)
        shutil.copytree(installed, stage, symlinks=True)
        copy_binding(stage)
        shutil.copyfile(os.path.join(ROOT, "LICENSE"), os.path.join(stage, "LICENSE"))
        write_checksums(stage)
        path = os.path.join(out, top + ".tar.gz")
        write_tar_gz(stage, top, path, epoch)
    return path


def windows_archive(version, build, out, epoch):
    top = f"QuelmarAlg-{version}-windows-x64"
    with tempfile.TemporaryDirectory() as work:
        stage = os.path.join(work, top)
        files = [(os.path.join(ROOT, "LICENSE"), "LICENSE")]
        for library in LIBRARIES:
            files += [(os.path.join(build, "bin", library + ".dll"), f"bin/{library}.dll"),
                      (os.path.join(build, library + ".lib"), f"lib/{library}.lib"),
                      (os.path.join(build, library + ".def"), f"lib/{library}.def"),
                      (os.path.join(ROOT, "include", library + ".h"), f"include/{library}.h")]
        for source, target in files:
            os.makedirs(os.path.dirname(os.path.join(stage, target)), exist_ok=True)
            shutil.copyfile(source, os.path.join(stage, target))
        copy_binding(stage)
        with open(os.path.join(stage, "README.md"), "w", encoding="utf-8") as readme:
            readme.write(host_readme(version))
        write_checksums(stage)
        path = os.path.join(out, top + ".zip")
        write_zip(stage, top, path, epoch)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--linux-stage", required=True)
    parser.add_argument("--windows-build", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch or not epoch.isdigit():
        raise SystemExit("package: SOURCE_DATE_EPOCH must be set to the release's time (seconds)")
    os.makedirs(args.out, exist_ok=True)
    for path in (linux_archive(args.version, args.linux_stage, args.out, int(epoch)),
                 windows_archive(args.version, args.windows_build, args.out, int(epoch))):
        print(f"{os.path.basename(path)}: {os.path.getsize(path)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
