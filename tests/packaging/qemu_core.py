"""gdb: places a program and its libraries in a core dump that qemu-user wrote (ARM, 32-bit).

qemu-user leaves the ELF header pages of the mapped files out of its core dumps, so gdb cannot
find where a position-independent program or its libraries were loaded: the program goes where
its entry point (AT_ENTRY) puts it, the dynamic linker at AT_BASE, and each library at the
address in the dynamic linker's list of loaded objects (_r_debug.r_map). A core from the board's
kernel needs none of this.

    gdb-multiarch -ex 'core-file CORE' -ex 'source qemu_core.py' \
        -ex "python place('PROGRAM', 'SYSROOT')" -ex bt
"""
import re
import struct

import gdb


def place(program, sysroot):
    auxv = gdb.execute("info auxv", to_string=True)
    entry = int(re.search(r"AT_ENTRY\s.*?(0x[0-9a-f]+)", auxv).group(1), 16)
    base = int(re.search(r"AT_BASE\s.*?(0x[0-9a-f]+)", auxv).group(1), 16)
    with open(program, "rb") as f:
        e_entry = struct.unpack_from("<I", f.read(52), 24)[0]
    gdb.execute(f"symbol-file -o {entry - e_entry:#x} {program}", to_string=True)
    gdb.execute(f"add-symbol-file -o {base:#x} {sysroot}/lib/ld-linux-armhf.so.3", to_string=True)

    memory = gdb.selected_inferior()

    def word(address):
        return struct.unpack("<I", memory.read_memory(address, 4).tobytes())[0]

    # struct r_debug { int r_version; struct link_map *r_map; ... }
    # struct link_map { l_addr, l_name, l_ld, l_next, l_prev }
    link = word(int(gdb.parse_and_eval("(unsigned)&_r_debug")) + 4)
    while link:
        l_addr, l_name = word(link), word(link + 4)
        name = ""
        if l_name:
            name = memory.read_memory(l_name, 256).tobytes().split(b"\0")[0].decode()
        if name.startswith("/") and "ld-linux" not in name:
            gdb.execute(f"add-symbol-file -o {l_addr:#x} {sysroot}{name}", to_string=True)
        link = word(link + 12)
