#!/usr/bin/env python3
"""Times Calvento against its peers on one corpus, interleaved run by run.

Every timed run is verified: the destination must equal the source (names,
sizes, modes, last-write times at two-second resolution, and the bytes of a
sample of files), so that only correct mirrors are timed. Prints the median
and the range of each tool, the ratio of Calvento to each peer, and the peak
memory of each.

    compare.py --calvento build/release/src/calvento --corpus small --runs 5

Scenarios: first (mirror into an empty directory), nochange (re-sync with
nothing changed), churn (re-sync after 1 % of the files changed, 1 % added
and 1 % deleted). Peers that are not installed are left out.
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402

PEERS = {
    "rsync": {"first": "rsync -a --delete {src}/ {dst}/", "resync": "rsync -a --delete {src}/ {dst}/"},
    "cp": {"first": "cp -a {src}/. {dst}/"},
    "tar": {"first": "tar --format=posix -C {src} -cf - . | tar -C {dst} -xf -"},
    "find": {"resync": "find {src} {dst} -printf '%s %T@\\n' >/dev/null"},
}


TIME = "/usr/bin/time"  # GNU time: the peak memory of a command alone


def run_timed(command):
    """Runs a shell command; gives seconds and peak memory in KiB (0 when GNU
    time is missing). Measured through a small process: a child forked from
    this interpreter would count the interpreter's memory as its own."""
    argv = ["/bin/sh", "-c", command]
    if os.path.exists(TIME):
        argv = [TIME, "-f", "%M"] + argv
    start = time.perf_counter()
    child = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if child.returncode != 0:
        raise SystemExit(f"failed ({child.returncode}): {command}\n{child.stderr}")
    peak = 0
    if os.path.exists(TIME):
        peak = int(child.stderr.strip().splitlines()[-1])
    return elapsed, peak


def snapshot(root):
    """What a correct mirror must reproduce, keyed by relative path."""
    seen = {}
    for here, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith(".") and not os.path.islink(os.path.join(here, d))]
        rel = os.path.relpath(here, root)
        seen[rel] = ("dir",)
        for name in files:
            path = os.path.join(here, name)
            if name.startswith(".") or os.path.islink(path):
                continue
            info = os.lstat(path)
            seen[os.path.join(rel, name)] = ("file", info.st_size, info.st_mode & 0o777, int(info.st_mtime) // 2)
    return seen


def verify(src, dst, rng):
    a, b = snapshot(src), snapshot(dst)
    if a != b:
        missing = sorted(set(a) - set(b))[:5]
        extra = sorted(set(b) - set(a))[:5]
        wrong = sorted(k for k in set(a) & set(b) if a[k] != b[k])[:5]
        raise SystemExit(f"mirror differs: missing {missing} extra {extra} different {wrong}")
    files = [k for k, v in a.items() if v[0] == "file"]
    for rel in rng.sample(files, min(len(files), 200)):
        with open(os.path.join(src, rel), "rb") as x, open(os.path.join(dst, rel), "rb") as y:
            if x.read() != y.read():
                raise SystemExit(f"mirror differs in the bytes of {rel}")


def commands(args, scenario):
    kind = "first" if scenario == "first" else "resync"
    tools = {"calvento": f"{args.calvento} -v0 {{src}} {{dst}}"}
    for name, forms in PEERS.items():
        if kind in forms and shutil.which(name) and name in args.peers:
            tools[name] = forms[kind]
    return tools


def fresh(path):
    if os.path.exists(path):
        shutil.rmtree(path)
    os.makedirs(path)


def bench(args, scenario, src, work):
    tools = commands(args, scenario)
    times = {t: [] for t in tools}
    memory = {t: 0 for t in tools}
    rng = random.Random(5)
    # The stat walk reads Calvento's mirror; every other tool keeps its own.
    dsts = {t: os.path.join(work, f"dst-{t}") for t in tools if t != "find"}
    if "find" in tools:
        dsts["find"] = dsts["calvento"]
    if scenario != "first":
        for tool in tools:
            if tool != "find":
                fresh(dsts[tool])
                run_timed(tools[tool].format(src=src, dst=dsts[tool]))
    for r in range(args.runs):
        if scenario == "churn":
            corpus.churn(src, seed=100 + r)
        order = list(tools)
        order = order[r % len(order):] + order[:r % len(order)]
        if scenario == "churn" and "find" in order:
            # After the churn the floor is a walk of two trees that agree.
            order.remove("find")
            order.append("find")
        for tool in order:
            dst = dsts[tool]
            if scenario == "first":
                fresh(dst)
                subprocess.run(["sync"])
            elapsed, peak = run_timed(tools[tool].format(src=src, dst=dst))
            if tool != "find":
                verify(src, dst, rng)
            times[tool].append(elapsed)
            memory[tool] = max(memory[tool], peak)
    return times, memory


def report(title, times, memory):
    print(f"\n## {title}")
    print("| tool | median s | min-max s | peak KiB | Calvento / tool |")
    print("|---|---|---|---|---|")
    mine = statistics.median(times["calvento"])
    for tool, values in times.items():
        median = statistics.median(values)
        ratio = mine / median if median > 0 else float("nan")
        print(f"| {tool} | {median:.3f} | {min(values):.3f}-{max(values):.3f} | {memory[tool]} | {ratio:.2f} |")
    sys.stdout.flush()


def mount_scratch(args):
    """A journaled ext4 in a loop-mounted image: the root file system here is
    unjournaled, which distorts create-after-delete timings."""
    if args.no_mount:
        os.makedirs(args.work, exist_ok=True)
        return None
    image = args.work.rstrip("/") + ".img"
    os.makedirs(args.work, exist_ok=True)
    try:
        subprocess.run(["truncate", "-s", args.image_size, image], check=True)
        subprocess.run(["mkfs.ext4", "-q", "-F", image], check=True)
        subprocess.run(["mount", "-o", "loop", image, args.work], check=True, stderr=subprocess.DEVNULL)
    except (subprocess.CalledProcessError, FileNotFoundError):
        print(f"note: cannot mount a scratch ext4 image; timing on {args.work} as it is")
        if os.path.exists(image):
            os.remove(image)
        return None
    return image


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calvento", required=True)
    parser.add_argument("--corpus", default="small", choices=["small", "double", "flat", "large", "tiny", "real"])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--scenarios", default="first,nochange,churn")
    parser.add_argument("--peers", default="rsync,cp,tar,find")
    parser.add_argument("--work", default="/var/tmp/calvento-bench")
    parser.add_argument("--image-size", default="16G")
    parser.add_argument("--no-mount", action="store_true")
    args = parser.parse_args()
    args.calvento = os.path.abspath(args.calvento)

    image = mount_scratch(args)
    try:
        base = os.path.join(args.work, "base")
        print(f"making corpus {args.corpus} ...")
        corpus.main(["corpus", "make", args.corpus, base])
        for scenario in args.scenarios.split(","):
            src = os.path.join(args.work, "src")
            fresh(src)
            subprocess.run(["cp", "-a", base + "/.", src + "/"], check=True)
            times, memory = bench(args, scenario, src, args.work)
            report(f"{args.corpus}: {scenario}, {args.runs} runs", times, memory)
    finally:
        if image:
            subprocess.run(["umount", args.work])
            os.remove(image)
        elif args.no_mount:
            shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    main()
