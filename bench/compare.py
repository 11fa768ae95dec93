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
and 1 % deleted), rmtree (re-sync after an extra tree of 10,000 small files
in 100 directories appeared in every destination, which the run removes).
Peers that are not installed are left out. After a churn, "delta" is the
floor of a re-sync that knows the changes: the stat walk of both trees, then
one rm of exactly the deleted files and one tar pipe of exactly the changed
and added ones.

--slow-dest-ms 0.5 puts every destination behind slowfs (bench/slowfs.c,
built here with make), a FUSE pass-through that waits that long before each
metadata request, like a file server on a local network; the source stays
local. The mirrors of the re-sync scenarios are made untimed on the backing
directory, at local speed, and every timed mirror is verified there too.
The client caches no names or attributes, so that every lookup pays the
delay; --slow-dest-cache 1 lets it keep them for a second, closer to what
an NFS or SMB client does (the runs then also profit from what the runs
before them left cached). Where FUSE cannot be mounted the runs are
skipped with a note. Use a corpus of about 10,000 files (--corpus 10k): at
0.5 ms a request, the 100,000-file tree takes minutes per run.

--sync-first times each peer's first mirror followed by `sync -f` on its
destination, which writes its data to the disk: a run of Calvento ends with
its copies on stable storage, and the peers' runs do not. --baseline times
an earlier build of Calvento beside this one, with the same options, for a
before-and-after comparison in the same pass; --baseline-options gives it
options of its own, to time the same build with and without an option
(write options that begin with "-" with an equals sign:
--calvento-options=-k --baseline-options=).

--also-options=-j1 times every Calvento build a second time in each round,
with these options added to its own: "calvento -j1" beside "calvento", and
"baseline -j1" beside "baseline". With --baseline, the table is followed by
the ratio of each Calvento's median to the baseline's run the same way.

A first mirror's destination is removed once verified, so that the scratch
space holds the corpus twice and one mirror, not one mirror for each tool
(the 8 files of 512 MiB take 4 GiB a tree).

--drop-caches empties the page, name and inode caches (sync, then 3 into
/proc/sys/vm/drop_caches) before every timed run of every tool, so that
each run reads the disk; left out with a note where that is not permitted.
"""
import argparse
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402

PEERS = {
    "rsync": {"first": "rsync -a --delete {src}/ {dst}/", "resync": "rsync -a --delete {src}/ {dst}/"},
    "cp": {"first": "cp -a {src}/. {dst}/"},
    "tar": {"first": "tar --format=posix -C {src} -cf - . | tar -C {dst} -xf -"},
    "find": {"resync": "find {src} {dst} -printf '%s %T@\\n' >/dev/null"},
    "delta": {"churn": "find {src} {dst} -printf '%s %T@\\n' >/dev/null"
                       " && (cd {dst} && xargs -0 -r rm -f -- < {deleted})"
                       " && tar --format=posix -C {src} --null -T {copied} -cf - | tar -C {dst} -xf -"},
}


SLOWFS = os.path.join(HERE, "slowfs")
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
    builds = {"calvento": (args.calvento, args.calvento_options)}
    if args.baseline:
        options = args.calvento_options if args.baseline_options is None else args.baseline_options
        builds["baseline"] = (args.baseline, options)
    tools = {}
    for name, (program, options) in builds.items():
        tools[name] = f"{program} -v0 {options} {{src}} {{dst}}"
        if args.also_options:
            tools[f"{name} {args.also_options}"] = f"{program} -v0 {options} {args.also_options} {{src}} {{dst}}"
    for name, forms in PEERS.items():
        form = forms.get(kind, forms.get(scenario))
        program = "find" if name == "delta" else name
        if form and shutil.which(program) and name in args.peers:
            if scenario == "first" and args.sync_first:
                form = f"{form} && sync -f {{dst}}"
            tools[name] = form
    return tools


def not_negative(text):
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def drop_caches():
    """Writes back, then drops, the page cache and the name and inode caches."""
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as control:
        control.write("3\n")


def fresh(path):
    if os.path.exists(path):
        shutil.rmtree(path)
    os.makedirs(path)


def bench(args, scenario, src, work, store):
    """Times the tools on mirrors in `work`, the same trees being reachable
    under `store` as well: the backing directory of a slow destination, read
    directly to seed and to check the mirrors at local speed."""
    tools = commands(args, scenario)
    times = {t: [] for t in tools}
    memory = {t: 0 for t in tools}
    rng = random.Random(5)
    # The stat walk reads Calvento's mirror; every other tool keeps its own.
    # Tool names may hold options; the directories, spliced into shell
    # commands, keep letters and digits only.
    names = {t: "dst-" + re.sub(r"[^A-Za-z0-9]+", "-", t).strip("-") for t in tools if t != "find"}
    if "find" in tools:
        names["find"] = names["calvento"]
    dsts = {t: os.path.join(work, name) for t, name in names.items()}
    stored = {t: os.path.join(store, name) for t, name in names.items()}
    if scenario != "first":
        for tool in tools:
            if tool != "find":
                fresh(stored[tool])
                seed = "cp -a {src}/. {dst}/" if tool == "delta" else tools[tool]
                run_timed(seed.format(src=src, dst=stored[tool]))
    # The delta floor's lists of what the churn deleted and what it wrote.
    lists = {"deleted": os.path.join(work, "delta-deleted"), "copied": os.path.join(work, "delta-copied")}
    for r in range(args.runs):
        if scenario == "churn":
            changed, deleted, added = corpus.churn(src, seed=100 + r)
            for name, paths in (("deleted", deleted), ("copied", changed + added)):
                with open(lists[name], "wb") as out:
                    out.write(b"".join(os.fsencode(os.path.relpath(p, src)) + b"\0" for p in paths))
        if scenario == "rmtree":
            for tool in tools:
                if tool != "find":
                    corpus.make_tree(os.path.join(stored[tool], f"extra-{r}"), 10_000, 100, 4096, 300 + r)
        order = list(tools)
        order = order[r % len(order):] + order[:r % len(order)]
        if scenario == "churn" and "find" in order:
            # After the churn the floor is a walk of two trees that agree.
            order.remove("find")
            order.append("find")
        for tool in order:
            dst = dsts[tool]
            if scenario == "first":
                fresh(stored[tool])
            # Nothing written before (the seeds, the churn, the runs of the
            # other tools) is left for this run to flush: Calvento ends with
            # a flush of its destination's whole file system, which would
            # otherwise also write back what the other tools left cached.
            subprocess.run(["sync"])
            if args.drop_caches:
                drop_caches()
            elapsed, peak = run_timed(tools[tool].format(src=src, dst=dst, **lists))
            if tool != "find":
                verify(src, stored[tool], rng)
            if scenario == "first":
                shutil.rmtree(stored[tool])
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
    # Each Calvento against the baseline run with the same added options.
    against = [(tool, "baseline" + tool[len("calvento"):]) for tool in times if tool.startswith("calvento")]
    ratios = [f"{statistics.median(times[new]) / statistics.median(times[old]):.2f} ({new} / {old})"
              for new, old in against if old in times and statistics.median(times[old]) > 0]
    if ratios:
        print(f"\nmedians against the baseline: {', '.join(ratios)}")
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


class SlowDest:
    """slowfs mounted over a backing directory in the scratch space."""

    def __init__(self, args):
        self.backing = os.path.join(args.work, "slow-backing")
        self.mountpoint = os.path.join(args.work, "slow")
        self.process = None
        self.delay_us = round(args.slow_dest_ms * 1000)
        self.cache = args.slow_dest_cache

    def mount(self):
        """Mounts and gives True, or says why it cannot and gives False."""
        if not os.path.exists("/dev/fuse"):
            return self.cannot("there is no /dev/fuse")
        if not shutil.which("fusermount3"):
            return self.cannot("fusermount3 is not installed (bench/setup.sh installs it)")
        build = subprocess.run(["make", "-s", "-C", HERE, "slowfs"], capture_output=True, text=True)
        if build.returncode != 0:
            return self.cannot(f"slowfs does not build:\n{build.stdout}{build.stderr}")
        os.makedirs(self.backing, exist_ok=True)
        os.makedirs(self.mountpoint, exist_ok=True)
        self.errors = tempfile.TemporaryFile(mode="w+")
        # In the foreground, so that it stays this script's child and is
        # waited for after the unmount.
        self.process = subprocess.Popen([SLOWFS, self.backing, self.mountpoint, "-f",
                                         "-o", f"delay_us={self.delay_us},entry_timeout={self.cache:g},"
                                         f"attr_timeout={self.cache:g}"], stderr=self.errors)
        deadline = time.monotonic() + 10
        while not os.path.ismount(self.mountpoint):
            if self.process.poll() is not None or time.monotonic() > deadline:
                return self.cannot(f"slowfs did not mount ({self.stop() or 'no message'})")
            time.sleep(0.05)
        print(f"destination behind slowfs, {self.delay_us} us a metadata request, names and attributes"
              f" cached {self.cache:g} s: {self.mountpoint}")
        return True

    def cannot(self, why):
        print(f"note: cannot put the destination behind slowfs, {why}; skipping the slow-destination runs")
        return False

    def stop(self):
        """Unmounts, waits for slowfs to end and gives what it complained of."""
        if self.process is None:
            return ""
        if os.path.ismount(self.mountpoint):
            if subprocess.run(["fusermount3", "-u", self.mountpoint]).returncode != 0:
                subprocess.run(["fusermount3", "-u", "-z", self.mountpoint])
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None
        self.errors.seek(0)
        complaint = self.errors.read().strip()
        self.errors.close()
        return complaint


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calvento", required=True)
    parser.add_argument("--corpus", default="small",
                        choices=["small", "10k", "double", "flat", "large", "tiny", "real"])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--scenarios", default="first,nochange,churn")
    parser.add_argument("--peers", default="rsync,cp,tar,find,delta")
    parser.add_argument("--calvento-options", default="", help="options for every run of Calvento, e.g. -j1")
    parser.add_argument("--baseline", help="an earlier build of Calvento, timed beside this one")
    parser.add_argument("--baseline-options", help="options for the baseline instead of --calvento-options")
    parser.add_argument("--also-options",
                        help="also time every Calvento build with these options added, e.g. --also-options=-j1")
    parser.add_argument("--sync-first", action="store_true",
                        help="time the peers' first mirror followed by sync -f on their destination")
    parser.add_argument("--work", default="/var/tmp/calvento-bench")
    parser.add_argument("--image-size", default="16G")
    parser.add_argument("--no-mount", action="store_true")
    parser.add_argument("--slow-dest-ms", type=not_negative, default=0.0,
                        help="put the destinations behind slowfs, this many ms per metadata request")
    parser.add_argument("--slow-dest-cache", type=not_negative, default=0.0,
                        help="seconds the kernel keeps names and attributes of the slow destination")
    parser.add_argument("--drop-caches", action="store_true",
                        help="drop the kernel's caches before every timed run")
    args = parser.parse_args()
    args.calvento = os.path.abspath(args.calvento)
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)

    image = mount_scratch(args)
    slow = SlowDest(args) if args.slow_dest_ms > 0 else None
    try:
        work = store = args.work
        setting = ""
        if slow:
            if not slow.mount():
                return
            work, store = slow.mountpoint, slow.backing
            setting += f", destination {args.slow_dest_ms:g} ms a request"
            if args.slow_dest_cache > 0:
                setting += f" cached {args.slow_dest_cache:g} s"
        if args.sync_first:
            setting += ", peers' first mirror then sync -f"
        if args.drop_caches:
            try:
                drop_caches()
                setting += ", caches dropped"
            except OSError as error:
                print(f"note: cannot drop the caches ({error.strerror}); timing with warm caches")
                args.drop_caches = False
        base = os.path.join(args.work, "base")
        print(f"making corpus {args.corpus} ...")
        corpus.main(["corpus", "make", args.corpus, base])
        for scenario in args.scenarios.split(","):
            src = os.path.join(args.work, "src")
            fresh(src)
            subprocess.run(["cp", "-a", base + "/.", src + "/"], check=True)
            times, memory = bench(args, scenario, src, work, store)
            report(f"{args.corpus}: {scenario}, {args.runs} runs{setting}", times, memory)
    finally:
        if slow:
            slow.stop()
        if image:
            subprocess.run(["umount", args.work])
            os.remove(image)
        elif args.no_mount:
            shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    main()
