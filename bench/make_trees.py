#!/usr/bin/env python3
"""Generates the directory trees that bench/run.sh archives and extracts.

    python3 bench/make_trees.py [OUTPUT_DIR] [--trees A,B,L] [--seed N]

OUTPUT_DIR defaults to /tmp/quarlix-bench. Everything is derived from a fixed
seed, so two runs on two machines write the same bytes.

  A  ~200 MiB in 2,000 files of 1 KiB to 20 MiB (many small, a few large,
     four of ~20 MiB), in 60 directories nested up to four levels deep.
  B  20,000 files of 1 to 8 KiB in 200 directories (20 x 10).
  L  100,000 empty or tiny files in 1,000 directories (10 x 100), only used to
     build an archive of 100,000 entries for the listing job.

A and B mix three kinds of content, about a third of the bytes each:
text-like (words from a small vocabulary, ~3.5x with gzip), binary records
with small random fields (~2.8x with gzip) and random bytes (incompressible).

A finished tree is marked by OUTPUT_DIR/<tree>.complete (outside the tree).
A tree with a current marker is skipped; a tree without one (an interrupted
run) is removed and written again.
"""

import argparse
import itertools
import math
import os
import shutil
import struct
import sys
import time
import random

# Bump when the generated content changes, so old trees are rewritten.
GENERATOR_VERSION = 2
DEFAULT_SEED = 20240611
DEFAULT_OUTPUT = "/tmp/quarlix-bench"

KIB = 1024
MIB = 1024 * 1024

POOL_BYTES = 8 * MIB  # text and record pools; files are slices of them
KINDS = ("text", "records", "random")
EXTENSIONS = {"text": ".txt", "records": ".dat", "random": ".bin"}


class ContentSource:
    """Makes file contents of the three kinds; the pools come from one seeded generator."""

    def __init__(self, rng):
        self.rng = rng  # only for the pools
        self.text_pool = self._make_text_pool(POOL_BYTES)
        self.record_pool = self._make_record_pool(POOL_BYTES)

    def _make_vocabulary(self, count):
        consonants = "bcdfghjklmnprstvwz"
        vowels = "aeiou"
        seen = set()
        words = []
        while len(words) < count:
            word = "".join(self.rng.choice(consonants) + self.rng.choice(vowels)
                           for _ in range(self.rng.randint(1, 4)))
            if self.rng.random() < 0.3:
                word += self.rng.choice(consonants)
            if word not in seen:
                seen.add(word)
                words.append(word)
        return words

    def _make_text_pool(self, size):
        vocabulary = self._make_vocabulary(500)
        # Zipf-like frequencies, as in prose.
        cumulative = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(vocabulary))))
        pieces = []
        length = 0
        endings = (". ", ". ", ". ", ", ", "; ", "? ", "! ")
        while length < size:
            words = self.rng.choices(vocabulary, cum_weights=cumulative, k=20000)
            index = 0
            paragraph = []
            while index < len(words):
                count = self.rng.randint(4, 14)
                sentence = " ".join(words[index:index + count])
                index += count
                paragraph.append(sentence[:1].upper() + sentence[1:] + self.rng.choice(endings))
                if len(paragraph) >= self.rng.randint(3, 8):
                    piece = "".join(paragraph).rstrip() + "\n\n"
                    pieces.append(piece)
                    length += len(piece)
                    paragraph = []
        return "".join(pieces).encode("ascii")[:size]

    def _make_record_pool(self, size):
        record = struct.Struct("<4sIHHiifQ")  # 32 bytes
        values = [round(self.rng.uniform(-100.0, 100.0), 2) for _ in range(16)]
        flags = (0, 0, 0, 1, 2, 4)
        stamp = 1_700_000_000_000
        rng = self.rng
        records = []
        for identifier in range(size // record.size):
            stamp += rng.randint(1, 50)
            records.append(record.pack(b"RECD", identifier, rng.randint(1, 8), rng.choice(flags),
                                       rng.randint(0, 1000), rng.randint(-500, 500),
                                       rng.choice(values), stamp))
        return b"".join(records)

    @staticmethod
    def _slices(rng, pool, size, align):
        """size bytes made of slices of pool taken at random offsets."""
        chunks = []
        remaining = size
        while remaining > 0:
            take = min(remaining, rng.randint(64 * KIB, MIB))
            start = rng.randrange(0, (len(pool) - take) // align + 1) * align
            chunks.append(pool[start:start + take])
            remaining -= take
        return b"".join(chunks)

    def make(self, rng, kind, size):
        if kind == "text":
            return self._slices(rng, self.text_pool, size, 1)
        if kind == "records":
            return self._slices(rng, self.record_pool, size, 32)
        return rng.randbytes(size)


def assign_kinds(rng, sizes):
    """Picks a kind for each size so each kind gets about a third of the bytes."""
    totals = dict.fromkeys(KINDS, 0)
    kinds = [None] * len(sizes)
    for index in sorted(range(len(sizes)), key=lambda i: -sizes[i]):
        if sizes[index] >= 64 * KIB:
            kind = min(KINDS, key=lambda k: (totals[k], rng.random()))
        else:
            kind = rng.choice(KINDS)
        kinds[index] = kind
        totals[kind] += sizes[index]
    return kinds, totals


def tree_a_sizes(rng):
    """2,000 sizes adding up to ~200 MiB: four of ~20 MiB, the rest log-normal (median ~10 KiB)."""
    large = [20 * MIB - rng.randrange(0, 64 * KIB) for _ in range(4)]
    target_rest = 200 * MIB - sum(large)
    normals = [rng.gauss(0.0, 1.0) for _ in range(2000 - len(large))]
    sigma = 2.0

    def sizes_for(mu):
        return [min(20 * MIB, max(KIB, int(math.exp(mu + sigma * z)))) for z in normals]

    low, high = math.log(KIB), math.log(20 * MIB)  # the median size, by bisection
    for _ in range(60):
        middle = (low + high) / 2
        if sum(sizes_for(middle)) > target_rest:
            high = middle
        else:
            low = middle
    sizes = large + sizes_for((low + high) / 2)
    rng.shuffle(sizes)
    return sizes


def nested_directories(rng, root, count, max_depth):
    """count directory paths below root, up to max_depth levels deep."""
    directories = [root]
    depths = {root: 0}
    while len(directories) < count + 1:
        parent = rng.choice(directories)
        if depths[parent] >= max_depth:
            continue
        child = os.path.join(parent, "d%02d" % sum(1 for d in directories if os.path.dirname(d) == parent))
        directories.append(child)
        depths[child] = depths[parent] + 1
    return directories


def write_file(path, data):
    with open(path, "wb") as handle:
        handle.write(data)


def make_tree_a(root, rng, source):
    sizes = tree_a_sizes(rng)
    kinds, totals = assign_kinds(rng, sizes)
    directories = nested_directories(rng, root, 60, 4)
    for directory in directories:
        os.makedirs(directory, exist_ok=True)
    for index, (size, kind) in enumerate(zip(sizes, kinds)):
        directory = rng.choice(directories)
        write_file(os.path.join(directory, "f%04d%s" % (index, EXTENSIONS[kind])), source.make(rng, kind, size))
    return len(sizes), sum(sizes), totals


def make_tree_b(root, rng, source):
    sizes = [rng.randint(KIB, 8 * KIB) for _ in range(20000)]
    kinds = [KINDS[i % 3] for i in range(len(sizes))]
    rng.shuffle(kinds)
    totals = dict.fromkeys(KINDS, 0)
    directories = []
    for top in range(20):
        for sub in range(10):
            directory = os.path.join(root, "g%02d" % top, "s%02d" % sub)
            os.makedirs(directory, exist_ok=True)
            directories.append(directory)
    for index, (size, kind) in enumerate(zip(sizes, kinds)):
        directory = directories[index % len(directories)]
        write_file(os.path.join(directory, "f%05d%s" % (index, EXTENSIONS[kind])), source.make(rng, kind, size))
        totals[kind] += size
    return len(sizes), sum(sizes), totals


def make_tree_l(root, rng, _source):
    count = 0
    total = 0
    for top in range(10):
        for sub in range(100):
            directory = os.path.join(root, "g%d" % top, "d%02d" % sub)
            os.makedirs(directory)
            for index in range(100):
                size = 0 if rng.random() < 0.5 else rng.randint(1, 64)
                write_file(os.path.join(directory, "f%02d" % index), b"x" * size)
                count += 1
                total += size
    return count, total, {}


TREES = {"A": make_tree_a, "B": make_tree_b, "L": make_tree_l}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default=DEFAULT_OUTPUT,
                        help="folder to write the trees into (default %(default)s)")
    parser.add_argument("--trees", default="A,B,L", help="which trees to make (default %(default)s)")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED, help="random seed (default %(default)s)")
    arguments = parser.parse_args()

    os.makedirs(arguments.output, exist_ok=True)
    source = None
    for name in arguments.trees.split(","):
        name = name.strip().upper()
        if name not in TREES:
            parser.error("unknown tree %r (choose among A, B, L)" % name)
        root = os.path.join(arguments.output, name)
        marker = os.path.join(arguments.output, name + ".complete")
        stamp = "generator %d seed %d\n" % (GENERATOR_VERSION, arguments.seed)
        if os.path.isdir(root) and os.path.exists(marker):
            with open(marker) as handle:
                if handle.read() == stamp:
                    print("tree %s: already complete in %s" % (name, root))
                    continue
        if os.path.exists(marker):
            os.remove(marker)
        if os.path.exists(root):
            shutil.rmtree(root)
        started = time.monotonic()
        if source is None and name != "L":
            source = ContentSource(random.Random(arguments.seed))
        # Each tree has its own generator, so making one tree alone gives the same bytes.
        rng = random.Random("%d-%s" % (arguments.seed, name))
        count, total, totals = TREES[name](root, rng, source)
        with open(marker, "w") as handle:
            handle.write(stamp)
        mix = ", ".join("%s %.0f%%" % (kind, 100.0 * bytes_ / total) for kind, bytes_ in totals.items())
        print("tree %s: %d files, %.1f MiB%s, in %.1f s" % (
            name, count, total / MIB, " (" + mix + ")" if mix else "", time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
