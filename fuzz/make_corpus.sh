#!/usr/bin/env bash
# Builds the seed corpus of the reader fuzzer.
#
#   fuzz/make_corpus.sh QUARLIX_BINARY CORPUS_DIR
#
# Seeds made by the tool itself (type 2, with each key): archives of small
# generated trees, a packed (dropped) directory and an archive that files were
# added to. Seeds made by hand: types 0 and 1 from the table below, which the
# tool never writes. Every seed stays below 4 KiB so that mutations stay cheap.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 QUARLIX_BINARY CORPUS_DIR" >&2
  exit 2
fi
quarlix=$(realpath "$1")
corpus=$(mkdir -p "$2" && realpath "$2")
[[ -x "$quarlix" ]] || { echo "$0: $quarlix is not an executable" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The binary may be a sanitizer build; its leak report is of no interest here.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"

run() {
  if ! "$quarlix" "$@" >quarlix.log 2>&1; then
    echo "$0: quarlix $* failed:" >&2
    cat quarlix.log >&2
    exit 1
  fi
}

# --- Trees --------------------------------------------------------------------
mkdir -p empty one thirteen nested/a/b nested/c text zeros
: >empty/empty.bin
printf 'x' >one/one.bin
printf 'Hello, world!' >thirteen/thirteen.txt
printf 'alpha\n' >nested/top.txt
printf 'beta beta\n' >nested/a/mid.txt
printf 'gamma gamma gamma\n' >nested/a/b/deep.txt
: >nested/a/b/empty
printf '\0\1\2\3\4\5\6\7\10' >nested/c/binary.bin
# A few KiB of text that compresses, but not to almost nothing.
python3 - >text/words.txt <<'PY'
import random
rng = random.Random(7)
words = ["archive", "entry", "offset", "block", "cipher", "stream", "name",
         "directory", "size", "header", "tail", "zero", "key", "data", "file"]
lines = []
for n in range(90):
    lines.append(" ".join(rng.choice(words) for _ in range(rng.randint(3, 9))) +
                 f" {rng.randint(0, 99999)}")
print("\n".join(lines))
PY

# Output far larger than the input: more than one piece of inflated output per
# entry from a seed of about 2 KiB.
head -c $((2 * 1024 * 1024 + 5)) /dev/zero >zeros/zeros.bin

for tree in empty one thirteen nested text zeros; do
  run -c "$tree-full.qlx" "$tree"
  run -cq "$tree-demo.qlx" "$tree"
  cp "$tree-full.qlx" "$corpus/c-$tree-full"
  cp "$tree-demo.qlx" "$corpus/c-$tree-demo"
done

# A dropped directory: stored names lose the directory's own name.
run nested
cp nested.qlx "$corpus/packed-nested"

# Files added to an existing archive: new data where the old directory was.
run -c added.qlx thirteen
run -a added.qlx one
cp added.qlx "$corpus/added-full"

# --- Hand-made archives of types 0 and 1 --------------------------------------
# One row per seed: file name, archive type, whether the directory comes before
# the data, and the entries as (name, stored bytes, USize or None for the
# length of the bytes). Type 1 bytes are stored as they are: the reader cannot
# tell them from enciphered ones.
python3 - "$corpus" <<'PY'
import struct, sys, os

MAGIC = b"Refractor2 FinkelArchive 1.0".ljust(32, b"\0")
HEADER = 40

SEEDS = [
    ("hand-plain-one",       0, False, [("a.txt", b"hello\n", None)]),
    ("hand-plain-padded",    0, False, [("pad.bin", b"1234567890", None)]),
    ("hand-plain-short",     0, False, [("s", b"abcdefgh" * 3, 5)]),
    ("hand-plain-empty",     0, False, [("zero", b"", None)]),
    ("hand-plain-many",      0, False, [(f"d/{i}.txt", bytes([65 + i]) * (i * 3), None)
                                        for i in range(6)]),
    ("hand-plain-dir-first", 0, True,  [("first", b"directory first", None),
                                        ("second", b"!", None)]),
    ("hand-plain-zero-name", 0, False, [("name\0hidden", b"zz", None)]),
    ("hand-plain-root",      0, False, [("/abs/path", b"root", None),
                                        ("C:/drive", b"drive", None)]),
    ("hand-enc-one",         1, False, [("e.bin", bytes(range(16)), None)]),
    ("hand-enc-tail",        1, False, [("t.bin", bytes(range(13)), None)]),
    ("hand-enc-two",         1, True,  [("x/y", b"QWERTYUIOP" * 4, 33),
                                        ("x/z", b"", None)]),
]

def stored_length(n):
    return (n + 7) & ~7

def build(archive_type, directory_first, entries):
    # Directory size: FileCount, entries, DirectoryTail.
    names = [name.encode() for name, _, _ in entries]
    dir_size = 4 + sum(28 + len(n) for n in names) + 4
    data_start = HEADER + (dir_size if directory_first else 0)
    data = bytearray()
    fields = []
    for (name, payload, usize), raw in zip(entries, names):
        offset = data_start + len(data)
        data += payload + b"\0" * (stored_length(len(payload)) - len(payload))
        fields.append((raw, len(payload), len(payload) if usize is None else usize, offset))
    directory = bytearray(struct.pack("<I", len(entries)))
    for raw, csize, usize, offset in fields:
        directory += struct.pack("<I", len(raw)) + raw
        directory += struct.pack("<IIII", csize, usize, offset, 1) + b"\0" * 8
    directory += b"\0" * 4
    assert len(directory) == dir_size
    dir_offset = HEADER if directory_first else HEADER + len(data)
    header = MAGIC + struct.pack("<II", dir_offset, archive_type)
    body = directory + data if directory_first else data + directory
    return header + body

out = sys.argv[1]
for name, archive_type, directory_first, entries in SEEDS:
    with open(os.path.join(out, name), "wb") as f:
        f.write(build(archive_type, directory_first, entries))
PY

# --- Size check ---------------------------------------------------------------
large=$(find "$corpus" -type f -size +4095c)
if [[ -n "$large" ]]; then
  echo "$0: seeds of 4 KiB or more:" >&2
  echo "$large" >&2
  exit 1
fi
echo "corpus: $(find "$corpus" -type f | wc -l) seeds in $corpus"
