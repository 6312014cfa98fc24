"""The DLLs a Windows program imports: statically (objdump -p) and delay-loaded.

GNU ld leaves the PE header's delay-import directory empty, so objdump does not list
delay-loaded DLLs; they are found by their descriptors in the image instead, each checked
against the function names it points to.
"""

import os
import re
import struct
import subprocess

OBJDUMP = os.environ.get("VORN_OBJDUMP", "x86_64-w64-mingw32-objdump")

# KnownDLLs on every Windows we support (7 to 11): the loader maps them from System32 and
# never looks for them in the program's folder, so they are safe to import statically.
# Everything else a program needs from Windows is delay-loaded (cmake/delay_import.cmake).
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll",
              "shell32.dll", "ole32.dll"}

DLL_NAME = re.compile(rb"[A-Za-z0-9_.\-]+\.dll", re.IGNORECASE)


def static_imports(exe):
    """Lower-case names of the DLLs in the import table."""
    listing = subprocess.run([OBJDUMP, "-p", str(exe)], capture_output=True, text=True,
                             check=True).stdout
    return {m.lower() for m in re.findall(r"^\s*DLL Name: (\S+)$", listing, re.MULTILINE)}


class Image:
    """The sections of a PE32+ file, addressed by RVA."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        table = pe + 24 + optional_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i)
                         for i in range(count)]  # (virtual size, rva, raw size, raw offset)

    def offset(self, rva):
        for size, start, raw_size, raw in self.sections:
            if start <= rva < start + min(size, raw_size):
                return raw + rva - start
        return None

    def contains(self, rva):
        return any(start <= rva < start + size for size, start, _, _ in self.sections)

    def string(self, rva):
        at = self.offset(rva)
        return None if at is None else self.data[at:self.data.index(b"\0", at)]

    def names(self, rva):
        """The function names of an import name table; None if it is not one."""
        names, at = [], self.offset(rva)
        while at is not None and at + 8 <= len(self.data):
            entry = struct.unpack_from("<Q", self.data, at)[0]
            if entry == 0:
                return names or None
            if entry >> 63:
                names.append("#%d" % (entry & 0xFFFF))
            else:
                name = self.string((entry & 0x7FFFFFFF) + 2)
                if not name or not name.isascii():
                    return None
                names.append(name.decode())
            at += 8
        return None


def delay_imports(exe):
    """{lower-case DLL name: [function names]} from the delay-load descriptors (attributes
    1, then the RVAs of the name, the module handle, the address and name tables)."""
    image = Image(open(exe, "rb").read())
    found = {}
    for match in re.finditer(rb"\x01\0\0\0", image.data):
        at = match.start()
        if at % 4 or at + 20 > len(image.data):
            continue
        name, handle, iat, int_ = struct.unpack_from("<4I", image.data, at + 4)
        if not (image.contains(handle) and image.contains(iat)):
            continue
        dll = image.string(name) if name else None
        if not dll or not DLL_NAME.fullmatch(dll):
            continue
        functions = image.names(int_)
        if functions:
            found.setdefault(dll.decode().lower(), []).extend(functions)
    return found
