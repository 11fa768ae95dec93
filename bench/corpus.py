#!/usr/bin/env python3
"""Deterministic corpora for timing mirrors, and the churn between runs.

    corpus.py make small DIR     100,000 files of 0-16 KiB in 5,000 directories
    corpus.py make 10k DIR       10,000 files of 0-16 KiB in 500 directories, for slow file systems
    corpus.py make flat DIR      50,000 files in one directory
    corpus.py make large DIR     8 files of 512 MiB
    corpus.py make tiny DIR      a few hundred files, for the harness's own smoke run
    corpus.py make real DIR      a copy of /usr/share/doc and /usr/include
    corpus.py churn DIR          changes, adds and deletes 1 % of the files each
"""
import os
import random
import shutil
import sys

EPOCH = 1_700_000_000  # fixed times, so that two corpora made apart are alike


def write_file(path, size, rng, when):
    with open(path, "wb") as out:
        out.write(rng.randbytes(size))
    os.utime(path, (when, when))


def make_tree(root, files, dirs, max_size, seed):
    rng = random.Random(seed)
    os.makedirs(root, exist_ok=True)
    per_dir = max(1, files // max(1, dirs))
    made = 0
    for d in range(dirs):
        # Two levels: 50 top directories holding the rest.
        top = os.path.join(root, f"d{d % 50:02d}")
        path = top if d < 50 else os.path.join(top, f"s{d:05d}")
        os.makedirs(path, exist_ok=True)
        for f in range(per_dir):
            if made >= files:
                break
            write_file(os.path.join(path, f"f{made:06d}.dat"), rng.randint(0, max_size), rng,
                       EPOCH + rng.randint(0, 10_000_000))
            made += 1


def make_flat(root, files, seed):
    rng = random.Random(seed)
    os.makedirs(root, exist_ok=True)
    for f in range(files):
        write_file(os.path.join(root, f"file-{f:06d}.txt"), rng.randint(0, 2048), rng, EPOCH + f)


def make_large(root, count, size):
    os.makedirs(root, exist_ok=True)
    rng = random.Random(8)
    block = rng.randbytes(1 << 20)
    for i in range(count):
        path = os.path.join(root, f"big{i}.bin")
        with open(path, "wb") as out:
            for chunk in range(size >> 20):
                # Vary every block so that nothing can be deduplicated.
                out.write(chunk.to_bytes(8, "little") + block[8:])
        os.utime(path, (EPOCH, EPOCH))


def make_real(root):
    os.makedirs(root, exist_ok=True)
    for source in ("/usr/share/doc", "/usr/include"):
        target = os.path.join(root, source.strip("/").replace("/", "_"))
        shutil.copytree(source, target, symlinks=True, dirs_exist_ok=True)


def all_files(root):
    found = []
    for here, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            if not name.startswith("."):
                found.append(os.path.join(here, name))
    return found


def churn(root, seed=99):
    rng = random.Random(seed)
    files = all_files(root)
    count = max(1, len(files) // 100)
    picks = rng.sample(files, 3 * count)
    changed, deleted, added = picks[:count], picks[count:2 * count], picks[2 * count:]
    for path in changed:
        write_file(path, rng.randint(0, 16384), rng, EPOCH + 20_000_000 + rng.randint(0, 1000))
    for path in deleted:
        os.remove(path)
    for i, near in enumerate(added):
        write_file(near + f".new{i}", rng.randint(0, 16384), rng, EPOCH + 30_000_000)
    print(f"churn: {count} changed, {count} deleted, {count} added")
    return changed, deleted, [near + f".new{i}" for i, near in enumerate(added)]


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    verb, what = argv[1], argv[2]
    if verb == "churn":
        churn(what)
        return
    root = argv[3]
    if what == "small":
        make_tree(root, 100_000, 5_000, 16384, 1)
    elif what == "10k":
        make_tree(root, 10_000, 500, 16384, 1)
    elif what == "double":
        make_tree(root, 200_000, 10_000, 16384, 1)
    elif what == "flat":
        make_flat(root, 50_000, 2)
    elif what == "large":
        make_large(root, 8, 512 << 20)
    elif what == "tiny":
        make_tree(root, 300, 60, 4096, 3)
    elif what == "real":
        make_real(root)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
