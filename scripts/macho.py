"""Reads a Mach-O executable as far as the release check needs: its header,
load commands, the symbols its binding information and symbol table bind to
dylibs, the local and debugging entries of its symbol table, and its code
signature; reads the members of a static library (ar archive); and reads the
symbols a .tbd stub (TAPI v4, as Zig ships libSystem's) says a library exports.

Nothing here runs the file or trusts its sizes: every offset is checked
against the file before it is read, and a file that is not what it claims is
a problem to report, not an exception.
"""

import hashlib
import re
import struct
from dataclasses import dataclass, field

MH_MAGIC_64 = 0xFEEDFACF
FAT_MAGICS = {0xCAFEBABE, 0xCAFEBABF}  # as read big-endian
ELF_MAGIC = b"\x7fELF"
CPU_TYPE_ARM64 = 0x0100000C
CPU_SUBTYPE_ARM64_ALL = 0
CPU_NAMES = {0x0100000C: "arm64", 0x01000007: "x86_64", 7: "i386", 12: "arm", 0x0200000C: "arm64_32"}
MH_EXECUTE = 2
FILE_TYPES = {1: "MH_OBJECT", 2: "MH_EXECUTE", 6: "MH_DYLIB", 7: "MH_DYLINKER", 8: "MH_BUNDLE"}
MH_TWOLEVEL = 0x80
MH_PIE = 0x200000

LC_REQ_DYLD = 0x80000000
LC_SYMTAB = 0x2
LC_UNIXTHREAD = 0x5
LC_LOAD_DYLIB = 0xC
LC_LOAD_DYLINKER = 0xE
LC_LOAD_WEAK_DYLIB = 0x18 | LC_REQ_DYLD
LC_SEGMENT_64 = 0x19
LC_CODE_SIGNATURE = 0x1D
LC_REEXPORT_DYLIB = 0x1F | LC_REQ_DYLD
LC_LAZY_LOAD_DYLIB = 0x20
LC_DYLD_INFO = 0x22
LC_DYLD_INFO_ONLY = 0x22 | LC_REQ_DYLD
LC_LOAD_UPWARD_DYLIB = 0x23 | LC_REQ_DYLD
LC_VERSION_MIN_MACOSX = 0x24
LC_MAIN = 0x28 | LC_REQ_DYLD
LC_BUILD_VERSION = 0x32
LC_DYLD_CHAINED_FIXUPS = 0x34 | LC_REQ_DYLD
DYLIB_COMMANDS = {
    LC_LOAD_DYLIB: "LC_LOAD_DYLIB",
    LC_LOAD_WEAK_DYLIB: "LC_LOAD_WEAK_DYLIB",
    LC_REEXPORT_DYLIB: "LC_REEXPORT_DYLIB",
    LC_LAZY_LOAD_DYLIB: "LC_LAZY_LOAD_DYLIB",
    LC_LOAD_UPWARD_DYLIB: "LC_LOAD_UPWARD_DYLIB",
}
PLATFORM_MACOS = 1
PLATFORM_NAMES = {1: "macOS", 2: "iOS", 3: "tvOS", 4: "watchOS", 6: "Mac Catalyst", 7: "iOS simulator"}

# Library ordinals with a meaning of their own (two-level namespace).
SELF_ORDINAL = 0
EXECUTABLE_ORDINAL = -1
FLAT_LOOKUP_ORDINAL = -2
WEAK_LOOKUP_ORDINAL = -3
SPECIAL_ORDINALS = {
    SELF_ORDINAL: "the executable itself",
    EXECUTABLE_ORDINAL: "the main executable",
    FLAT_LOOKUP_ORDINAL: "flat lookup in any loaded image",
    WEAK_LOOKUP_ORDINAL: "weak lookup",
}

N_STAB = 0xE0
N_EXT = 0x01

CSMAGIC_EMBEDDED_SIGNATURE = 0xFADE0CC0
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
CSSLOT_CODEDIRECTORY = 0
CS_HASHTYPE_SHA256 = 2
CS_ADHOC = 0x2
CS_LINKER_SIGNED = 0x20000


class Malformed(Exception):
    """The file breaks the format where a later read depends on it."""


def version_text(packed):
    major, minor, patch = packed >> 16, (packed >> 8) & 0xFF, packed & 0xFF
    return f"{major}.{minor}" + (f".{patch}" if patch else "")


@dataclass
class LoadCommand:
    cmd: int
    offset: int  # of the command in the file
    size: int


@dataclass
class Binding:
    symbol: str
    ordinal: int
    weak_import: bool
    source: str  # "bind", "lazy bind" or "symbol table"


@dataclass
class MachO:
    data: bytes
    cputype: int = 0
    cpusubtype: int = 0
    filetype: int = 0
    flags: int = 0
    commands: list = field(default_factory=list)
    header_end: int = 0

    def u32(self, offset):
        return self.unpack("<I", offset)[0]

    def unpack(self, layout, offset):
        size = struct.calcsize(layout)
        if offset < 0 or offset + size > len(self.data):
            raise Malformed(f"a read of {size} bytes at {offset} runs past the end of the file")
        return struct.unpack_from(layout, self.data, offset)

    def slice(self, offset, size, what):
        if offset < 0 or size < 0 or offset + size > len(self.data):
            raise Malformed(f"{what} ({size} bytes at {offset}) runs past the end of the file "
                            f"({len(self.data)} bytes)")
        return self.data[offset:offset + size]

    def find(self, cmd):
        return [c for c in self.commands if c.cmd == cmd]

    def c_string(self, offset, limit):
        end = self.data.find(b"\0", offset, limit)
        if end < 0:
            raise Malformed(f"a name at {offset} has no terminating zero")
        return self.data[offset:end].decode("utf-8", "replace")

    def dylibs(self):
        """(command name, install name) of every command that loads a dylib, in
        the order ordinals count them."""
        found = []
        for c in self.commands:
            if c.cmd in DYLIB_COMMANDS:
                (name_offset,) = self.unpack("<I", c.offset + 8)
                found.append((DYLIB_COMMANDS[c.cmd], self.c_string(c.offset + name_offset, c.offset + c.size)))
        return found

    def segments(self):
        """name -> (vmaddr, vmsize, fileoff, filesize)."""
        found = {}
        for c in self.find(LC_SEGMENT_64):
            name = self.slice(c.offset + 8, 16, "a segment name").rstrip(b"\0").decode("ascii", "replace")
            found[name] = self.unpack("<QQQQ", c.offset + 24)
        return found


def kind_of(data):
    """A short name for what the first bytes say the file is."""
    if len(data) < 4:
        return f"not a Mach-O file ({len(data)} bytes)"
    if data[:4] == ELF_MAGIC:
        return "an ELF file (a Linux or BSD executable), not a Mach-O"
    if struct.unpack(">I", data[:4])[0] in FAT_MAGICS:
        return "a universal (fat) Mach-O, not a thin arm64 one"
    if struct.unpack("<I", data[:4])[0] == 0xFEEDFACE:
        return "a 32-bit Mach-O"
    if struct.unpack("<I", data[:4])[0] == MH_MAGIC_64:
        return None
    return "not a Mach-O file (magic " + data[:4].hex() + ")"


def read_macho(data):
    """The header and load commands of a thin 64-bit little-endian Mach-O."""
    image = MachO(data)
    (magic, image.cputype, image.cpusubtype, image.filetype, ncmds, sizeofcmds, image.flags,
     _reserved) = image.unpack("<IIIIIIII", 0)
    if magic != MH_MAGIC_64:
        raise Malformed("no 64-bit Mach-O magic")
    offset, end = 32, 32 + sizeofcmds
    if end > len(data):
        raise Malformed(f"its load commands ({sizeofcmds} bytes) run past the end of the file")
    for index in range(ncmds):
        if offset + 8 > end:
            raise Malformed(f"load command {index} starts past the {sizeofcmds} bytes of commands")
        cmd, size = image.unpack("<II", offset)
        if size < 8 or size % 8 or offset + size > end:
            raise Malformed(f"load command {index} (0x{cmd:x}) has a bad size {size}")
        image.commands.append(LoadCommand(cmd, offset, size))
        offset += size
    image.header_end = end
    return image


def leb128(data, pos, signed):
    """A LEB128 number at `pos` and the position after it."""
    result = shift = 0
    while True:
        if pos >= len(data):
            raise Malformed("a LEB128 number runs past its stream")
        byte = data[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            if signed and byte & 0x40:
                result -= 1 << shift
            return result, pos


def uleb(data, pos):
    return leb128(data, pos, signed=False)


def sleb(data, pos):
    return leb128(data, pos, signed=True)


def read_bind_stream(stream, source, lazy):
    """Every (symbol, ordinal) that dyld's bind opcodes bind. A lazy stream
    holds one DONE-terminated entry per symbol; the others end at DONE."""
    bindings = []
    ordinal, symbol, weak_import = 0, None, False
    pos = 0
    while pos < len(stream):
        byte = stream[pos]
        pos += 1
        opcode, immediate = byte & 0xF0, byte & 0x0F
        if opcode == 0x00:  # DONE
            if not lazy:
                break
        elif opcode == 0x10:  # SET_DYLIB_ORDINAL_IMM
            ordinal = immediate
        elif opcode == 0x20:  # SET_DYLIB_ORDINAL_ULEB
            ordinal, pos = uleb(stream, pos)
        elif opcode == 0x30:  # SET_DYLIB_SPECIAL_IMM
            ordinal = 0 if immediate == 0 else (immediate | 0xF0) - 0x100
        elif opcode == 0x40:  # SET_SYMBOL_TRAILING_FLAGS_IMM
            end = stream.find(b"\0", pos)
            if end < 0:
                raise Malformed(f"a symbol name in the {source} information has no terminating zero")
            symbol = stream[pos:end].decode("utf-8", "replace")
            weak_import = bool(immediate & 0x1)
            pos = end + 1
        elif opcode in (0x50, 0xB0):  # SET_TYPE_IMM, DO_BIND_ADD_ADDR_IMM_SCALED
            if opcode == 0xB0:
                bindings.append(Binding(symbol, ordinal, weak_import, source))
        elif opcode == 0x60:  # SET_ADDEND_SLEB
            _, pos = sleb(stream, pos)
        elif opcode in (0x70, 0x80):  # SET_SEGMENT_AND_OFFSET_ULEB, ADD_ADDR_ULEB
            _, pos = uleb(stream, pos)
        elif opcode == 0x90:  # DO_BIND
            bindings.append(Binding(symbol, ordinal, weak_import, source))
        elif opcode == 0xA0:  # DO_BIND_ADD_ADDR_ULEB
            _, pos = uleb(stream, pos)
            bindings.append(Binding(symbol, ordinal, weak_import, source))
        elif opcode == 0xC0:  # DO_BIND_ULEB_TIMES_SKIPPING_ULEB
            _, pos = uleb(stream, pos)
            _, pos = uleb(stream, pos)
            bindings.append(Binding(symbol, ordinal, weak_import, source))
        else:
            raise Malformed(f"bind opcode 0x{byte:02x} in the {source} information is not one this "
                            "reader knows")
        if symbol is None and opcode in (0x90, 0xA0, 0xB0, 0xC0):
            raise Malformed(f"the {source} information binds before naming a symbol")
    return bindings


def dyld_bindings(image):
    """What the classic dyld information (LC_DYLD_INFO_ONLY) binds, regular
    and lazy; weak bindings coalesce definitions and name no library."""
    infos = image.find(LC_DYLD_INFO_ONLY) + image.find(LC_DYLD_INFO)
    if len(infos) != 1:
        raise Malformed(f"{len(infos)} LC_DYLD_INFO commands, expected one")
    (_rebase_off, _rebase_size, bind_off, bind_size, _weak_off, _weak_size, lazy_off, lazy_size,
     _export_off, _export_size) = image.unpack("<10I", infos[0].offset + 8)
    return (read_bind_stream(image.slice(bind_off, bind_size, "the bind information"), "bind", lazy=False)
            + read_bind_stream(image.slice(lazy_off, lazy_size, "the lazy bind information"), "lazy bind",
                               lazy=True))


def symbol_entries(image):
    """(name, n_type, n_desc) of every entry of the symbol table."""
    tables = image.find(LC_SYMTAB)
    if len(tables) != 1:
        raise Malformed(f"{len(tables)} LC_SYMTAB commands, expected one")
    symoff, nsyms, stroff, strsize = image.unpack("<IIII", tables[0].offset + 8)
    entries = image.slice(symoff, nsyms * 16, "the symbol table")
    image.slice(stroff, strsize, "the string table")
    for index in range(nsyms):
        strx, n_type, _sect, n_desc, _value = struct.unpack_from("<IBBHQ", entries, index * 16)
        if strx >= strsize:
            raise Malformed(f"symbol {index} names a string past the string table")
        yield image.c_string(stroff + strx, stroff + strsize), n_type, n_desc


def undefined_symbols(image):
    """The undefined external symbols of the symbol table with the library
    ordinal each names."""
    found = []
    for name, n_type, n_desc in symbol_entries(image):
        if n_type & N_STAB or (n_type & 0x0E) != 0 or not n_type & N_EXT:
            continue  # a debugging entry, a definition, or not external
        ordinal = (n_desc >> 8) & 0xFF
        ordinal = {0xFE: FLAT_LOOKUP_ORDINAL, 0xFF: EXECUTABLE_ORDINAL}.get(ordinal, ordinal)
        found.append(Binding(name, ordinal, bool(n_desc & 0x40), "symbol table"))
    return found


def local_symbols(image):
    """(locals, debugging entries): the names of the symbol table's entries
    that are not external, and of its debugging (stab) entries."""
    local, debugging = [], []
    for name, n_type, _n_desc in symbol_entries(image):
        if n_type & N_STAB:
            debugging.append(name)
        elif not n_type & N_EXT:
            local.append(name)
    return local, debugging


def archive_members(data):
    """(name, bytes) of every member of an ar archive, BSD (long names as
    "#1/LENGTH") or GNU (long names in "//"), without its symbol index."""
    if not data.startswith(b"!<arch>\n"):
        raise Malformed("not an ar archive")
    members, long_names, pos = [], b"", 8
    while pos + 60 <= len(data):
        header = data[pos:pos + 60]
        if header[58:60] != b"`\n":
            raise Malformed(f"an archive member header at {pos} ends wrongly")
        name, size = header[:16].decode("ascii", "replace").rstrip(), int(header[48:58].decode().strip() or 0)
        body = data[pos + 60:pos + 60 + size]
        if len(body) != size:
            raise Malformed(f"archive member {name} runs past the end of the archive")
        if name.startswith("#1/"):
            length = int(name[3:])
            name, body = body[:length].rstrip(b"\0").decode("utf-8", "replace"), body[length:]
        elif name == "//":
            long_names = body
        elif name.startswith("/") and name[1:].isdigit():
            start = int(name[1:])
            name = long_names[start:long_names.find(b"\n", start)].decode("utf-8", "replace").rstrip("/")
        else:
            name = name.rstrip("/")
        if name not in ("", "//", "__.SYMDEF", "__.SYMDEF SORTED"):
            members.append((name, body))
        pos += 60 + size + (size & 1)
    return members


@dataclass
class Signature:
    flags: int
    pages: int
    page_size: int
    mismatched_pages: list
    problems: list


def read_signature(image):
    """The embedded code signature's code directory, with every page hash of
    the file compared against the pages it covers."""
    commands = image.find(LC_CODE_SIGNATURE)
    if not commands:
        return None
    dataoff, datasize = image.unpack("<II", commands[0].offset + 8)
    blob = image.slice(dataoff, datasize, "the code signature")
    problems = []
    magic, _length, count = struct.unpack_from(">III", blob, 0) if len(blob) >= 12 else (0, 0, 0)
    if magic != CSMAGIC_EMBEDDED_SIGNATURE:
        return Signature(0, 0, 0, [], [f"the code signature blob has magic 0x{magic:08x}, not an embedded "
                                       "signature"])
    directory = None
    for index in range(count):
        if 12 + index * 8 + 8 > len(blob):
            raise Malformed("the code signature's index runs past its blob")
        slot, offset = struct.unpack_from(">II", blob, 12 + index * 8)
        if slot == CSSLOT_CODEDIRECTORY:
            directory = offset
    if directory is None or directory + 44 > len(blob):
        return Signature(0, 0, 0, [], ["the code signature has no code directory"])
    (cd_magic, _cd_length, _version, flags, hash_offset, _ident_offset, _special, code_slots, code_limit,
     hash_size, hash_type, _platform, page_shift) = struct.unpack_from(">IIIIIIIIIBBBB", blob, directory)
    if cd_magic != CSMAGIC_CODEDIRECTORY:
        problems.append(f"the code directory has magic 0x{cd_magic:08x}")
    if hash_type != CS_HASHTYPE_SHA256 or hash_size != 32:
        problems.append(f"the code directory hashes with type {hash_type} ({hash_size} bytes), not SHA-256")
    if code_limit != dataoff:
        problems.append(f"the code signature covers {code_limit} bytes, but the signature itself starts at "
                        f"{dataoff}")
    page_size = 1 << page_shift if page_shift else 0
    mismatched = []
    if not problems and page_size:
        expected_slots = -(-code_limit // page_size)
        if code_slots != expected_slots:
            problems.append(f"the code directory has {code_slots} page hashes for {expected_slots} pages")
        for page in range(min(code_slots, expected_slots)):
            start = directory + hash_offset + page * hash_size
            if start + hash_size > len(blob):
                raise Malformed("the code directory's page hashes run past its blob")
            want = blob[start:start + hash_size]
            got = hashlib.sha256(image.data[page * page_size:min((page + 1) * page_size, code_limit)]).digest()
            if got != want:
                mismatched.append(page)
    return Signature(flags, code_slots, page_size, mismatched, problems)


# .tbd stubs (TAPI v4): the few keys the export lists need.
def _flow_items(text):
    inner = text.strip()[1:-1]
    return [item.strip().strip("'\"") for item in inner.split(",") if item.strip()]


def _logical_lines(document):
    """Lines with a flow list that spans several lines joined into one."""
    pending = ""
    for line in document.splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        pending = pending + " " + line.strip() if pending else line
        unquoted = re.sub(r"'[^']*'", "", pending)
        if unquoted.count("[") <= unquoted.count("]"):
            yield pending
            pending = ""
    if pending:
        yield pending


def parse_tbd(text):
    """Every document of a .tbd file as {key: value}, where a key holding a
    list of mappings (exports, reexported-libraries, ...) maps to a list of
    dicts and a flow list to a Python list."""
    documents = []
    for chunk in re.split(r"^---.*$", text, flags=re.M)[1:]:
        document, items = {}, None
        for line in _logical_lines(chunk.split("\n...")[0]):
            indent = len(line) - len(line.lstrip())
            body = line.strip()
            if body.startswith("- "):
                items.append({})
                body = body[2:]
            elif indent == 0:
                items = None
            key, _, value = body.partition(":")
            value = value.strip()
            parsed = _flow_items(value) if value.startswith("[") else value.strip("'\"")
            if indent == 0:
                if value:
                    document[key] = parsed
                else:
                    items = document.setdefault(key, [])
            elif items:
                items[-1][key] = parsed
        documents.append(document)
    return documents


OBJC_PREFIXES = {"objc-classes": ("_OBJC_CLASS_$_", "_OBJC_METACLASS_$_"), "objc-eh-types": ("_OBJC_EHTYPE_$_",),
                 "objc-ivars": ("_OBJC_IVAR_$_",)}


def tbd_exports(text, install_name, target):
    """The symbols `install_name` exports for `target` ("arm64-macos"), with
    those of the libraries it re-exports, as a .tbd file describes them."""
    documents = {d.get("install-name"): d for d in parse_tbd(text)}
    if install_name not in documents:
        raise Malformed(f"the .tbd file does not describe {install_name}")
    exported, seen, pending = set(), set(), [install_name]
    while pending:
        name = pending.pop()
        if name in seen or name not in documents:
            continue
        seen.add(name)
        document = documents[name]
        for group in document.get("reexported-libraries", []):
            if target in group.get("targets", []):
                pending += group.get("libraries", [])
        for section in ("exports", "reexports"):
            for group in document.get(section, []):
                if target not in group.get("targets", []):
                    continue
                for kind in ("symbols", "weak-symbols", "thread-local-symbols"):
                    exported.update(group.get(kind, []))
                for kind, prefixes in OBJC_PREFIXES.items():
                    exported.update(p + n for n in group.get(kind, []) for p in prefixes)
    return exported
