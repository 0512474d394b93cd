#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets: fuzz/corpus/mat4 (Level 4 files) and
# fuzz/corpus/matio (Level 5, compressed Level 5 and v7.3 files), each with hostile variants.
# Needs SciPy and libmatio-dev (scripts/deps.sh); the files are committed, so this only runs
# when the seeds should change.
set -euo pipefail
cd "$(dirname "$0")"
rm -rf corpus
mkdir -p corpus/mat4 corpus/matio
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cc -O1 make_v73.c $(pkg-config --cflags --libs matio) -o "$tmp/make_v73"
"$tmp/make_v73" corpus/matio

/usr/bin/python3 - <<'PY'
import numpy as np, scipy.io as sio, scipy.sparse as sp, struct, zlib

a = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])

def save(d, name, var, **kw):
    sio.savemat(f"corpus/{d}/{name}.mat", {"data": var} if not isinstance(var, dict) else var, **kw)

def raw(d, name, b):
    open(f"corpus/{d}/{name}.mat", "wb").write(b)

# Level 4: SciPy's files in every type it writes, then hand-made layouts and damage.
save("mat4", "double", a, format="4")
save("mat4", "empty", np.zeros((0, 3)), format="4")
for dt in ["f4", "i4", "i2", "u2", "u1"]:
    save("mat4", "type_" + dt, a.astype(dt), format="4")
save("mat4", "complex", a + 1j, format="4")
save("mat4", "text", {"s": np.array(["abc"])}, format="4")
save("mat4", "sparse", sp.csc_matrix(a), format="4")
m4 = open("corpus/mat4/double.mat", "rb").read()
hdr = lambda t, r, c, i, n: struct.pack("<5I", t, r, c, i, n)
raw("mat4", "big_endian", struct.pack(">5I", 1000, 1, 1, 0, 2) + b"x\0" + struct.pack(">d", 1.0))
raw("mat4", "huge_dims", hdr(0, 0xFFFFFFFF, 0xFFFFFFFF, 0, 2) + b"x\0" + bytes(8))
raw("mat4", "wrap_dims", hdr(0, 0x10000, 0x10000, 0, 2) + b"x\0")
raw("mat4", "huge_name", hdr(0, 1, 1, 0, 0xFFFFFFF0) + b"x\0" + bytes(8))
raw("mat4", "truncated", m4[:len(m4) - 3])
raw("mat4", "header_only", m4[:20])

# Level 5, plain and compressed, in every class the drivers convert or refuse.
for z in [False, True]:
    s = "z" if z else ""
    save("matio", "double" + s, a, do_compression=z)
    for dt in ["f4", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8"]:
        save("matio", "type_" + dt + s, a.astype(dt), do_compression=z)
    save("matio", "logical" + s, a > 2, do_compression=z)
    save("matio", "complex" + s, a + 2j, do_compression=z)
    save("matio", "sparse" + s, sp.csc_matrix(a), do_compression=z)
    save("matio", "cell" + s, np.array([[a, "x"]], dtype=object), do_compression=z)
    save("matio", "struct" + s, {"f": a, "g": "text"}, do_compression=z)
    save("matio", "char" + s, "abc", do_compression=z)
    save("matio", "nd" + s, np.zeros((2, 3, 4)), do_compression=z)
    save("matio", "two_vars" + s, {"X": a, "Y": a.T}, do_compression=z)
    save("matio", "empty" + s, np.zeros((0, 3)), do_compression=z)

# Hostile Level 5: dimensions beyond 32 bits and beyond the file, element sizes beyond the
# file, a short data element, damaged deflate streams, a cell of 2^31 elements.
v5 = bytearray(open("corpus/matio/double.mat", "rb").read())
v5z = open("corpus/matio/doublez.mat", "rb").read()
def patched(b, at, v):
    b = bytearray(b); b[at:at + 4] = struct.pack("<I", v); return bytes(b)
raw("matio", "h_dims_32bit", patched(patched(v5, 160, 100000), 164, 100000))
raw("matio", "h_dims_file", patched(patched(v5, 160, 60000), 164, 60000))
raw("matio", "h_dims_short", patched(v5, 160, 7))
raw("matio", "h_element_size", patched(v5, 132, 0xFFFFFFF0))
raw("matio", "h_truncated", bytes(v5[:len(v5) // 2]))
raw("matio", "h_header_only", bytes(v5[:128]))
raw("matio", "h_z_truncated", v5z[:len(v5z) - 9])
raw("matio", "h_z_flipped", bytes(c ^ 0x5A if i >= 150 and i % 7 == 0 else c for i, c in enumerate(v5z)))
raw("matio", "h_z_size", patched(v5z, 132, 0x7FFFFFF0))
# A compressed cell whose header announces 65536 x 32768 elements and stores none.
def element(t, payload):
    pad = (-len(payload)) % 8
    return struct.pack("<2I", t, len(payload)) + payload + bytes(pad)
cell = element(6, struct.pack("<2I", 1, 0)) + element(5, struct.pack("<2I", 65536, 32768)) + element(1, b"data")
body = element(14, cell)
raw("matio", "h_z_cell_huge", v5z[:128] + struct.pack("<2I", 15, len(zlib.compress(body))) + zlib.compress(body))
raw("matio", "h_cell_huge", bytes(v5[:128]) + body)
# A 2 x 3 double whose real part announces 48 bytes and holds 16, plain and compressed.
short = (element(6, struct.pack("<2I", 6, 0)) + element(5, struct.pack("<2i", 2, 3)) + element(1, b"data")
         + struct.pack("<2I", 9, 48) + struct.pack("<2d", 1.5, 2.5))
short = struct.pack("<2I", 14, len(short)) + short
raw("matio", "h_short_real", bytes(v5[:128]) + short)
raw("matio", "h_z_short_real", bytes(v5[:128]) + struct.pack("<2I", 15, len(zlib.compress(short))) + zlib.compress(short))

# Octave's own formats and a bare HDF5 file (refused before libmatio sees them).
raw("matio", "octave_text", b"# Created by Octave 8.4.0\n# name: data\n# type: matrix\n# rows: 1\n# columns: 2\n 1 2\n")
raw("matio", "octave_binary", b"Octave-1-L\0\0\0\0\1\0\0\0x" + bytes(40))
PY

# Hostile v7.3: cut, and bytes flipped in the HDF5 part.
v73=corpus/matio/v73_double.mat
head -c 2000 "$v73" > corpus/matio/h_v73_truncated.mat
/usr/bin/python3 -c "
import sys
b = bytearray(open('$v73', 'rb').read())
for i in range(600, len(b), 97): b[i] ^= 0x5A
open('corpus/matio/h_v73_flipped.mat', 'wb').write(b)
"
ls corpus/mat4 | wc -l
ls corpus/matio | wc -l
