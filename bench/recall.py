#!/usr/bin/env python3
"""Recall of lumarek-carve on a folder of sample files.

From the files that the folder's manifest.json names, builds two inputs:

  raw    the files one after another, each at a sector start and followed
         by a gap of zeros or of random bytes (the rest of its last sector
         and 0-16 sectors more), scanned whole (--whole);
  fat32  a FAT32 volume made with mkfs.vfat and mtools (no root), holding
         every file in a shuffled order, about half of them deleted again
         (half of each type, spread over the suffixes), scanned for its free
         space as a person would.

and, with --inputs, volumes whose deleted files lie in pieces:

  fat32-interleaved  a first round of files, every other one deleted, a
         second round written into the holes first-free (so split around
         the live files), then the rest of the deleted files deleted; the
         files whose clusters the second round took are not counted
  ext2-1k, ext2-4k, ext3-1k, ext3-4k  ext2 or ext3 (journal, block-mapped
         files) with 1 or 4 KiB blocks, every file copied in and the same
         half deleted, by the kernel through a loop mount where this
         process may mount, else by debugfs (--ext-via)

For these the deleted files' blocks are read before they are deleted, and
the tables tell how many of them no single run of bytes holds ("in
pieces"), and how many stay so in the free space read as one stream.

All are seeded, so a run with the same samples and seed builds the same
bytes (on the ext volumes made by the kernel: the same files, deleted in
the same order; where the kernel puts them is its own).  lumarek-carve scans each in every mode it has (deep, and the
built-in rules alone with --no-deep; a carver without --no-deep has only the
built-in rules), exporting every find, and every expected file is judged:

  exact        an export has the file's SHA-256
  prefix-only  no exact export, but an export of the same type holds the
               file cut short (it is the file's beginning) or the file and
               bytes after it (it begins with the whole file)
  missed       neither

Expected are the files whose manifest role is counted (--roles, "positive"
by default) and, on the volume, deleted.  The others are placed all the
same: an export identical to one of them (or to a live file) is neither
counted towards recall nor held against precision, and they are listed
apart.  Precision is exact exports among all exports but those; an export
that is a cut-short or over-long copy, a piece of a file, or matches nothing
is a false one.

  bench/recall.py [--corpus DIR] [--carver PATH] [--seed N] [--roles LIST]
                  [--cluster BYTES] [--modes LIST] [--inputs LIST|all]
                  [--ext-via auto|kernel|debugfs] [--dir DIR]
                  [--markdown FILE]

Prints per type and in total: files, exact, prefix-only, missed, recall
(exact / files), exports and precision, then what became of every file not
recovered exactly and what every false export holds.
"""

import argparse
import bisect
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
from dataclasses import dataclass, field

SECTOR = 512
MAX_GAP_SECTORS = 16
HEAD = SECTOR  # exports and files are matched up by whole sectors

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass
class Sample:
    name: str
    suffix: str
    type: str
    role: str
    data: bytes
    sha256: str


@dataclass
class Export:
    name: str
    suffix: str
    offset: int
    data: bytes
    sha256: str = ""
    kind: str = ""  # exact, neutral (a placed file not expected) or false
    what: str = ""  # for a false one: what it holds


@dataclass
class Verdict:
    sample: Sample
    kind: str  # exact, short, long or missed
    notes: list = field(default_factory=list)


# ---- samples -----------------------------------------------------------------


def load_corpus(folder):
    with open(os.path.join(folder, "manifest.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    samples = []
    for entry in manifest["files"]:
        with open(os.path.join(folder, entry["name"]), "rb") as f:
            data = f.read()
        sha = hashlib.sha256(data).hexdigest()
        if sha != entry["sha256"] or len(data) != entry["size"]:
            raise SystemExit(f"recall: {entry['name']} differs from its manifest entry")
        samples.append(Sample(entry["name"], entry["suffix"].lower(), entry["type"].lower(),
                              entry.get("role", "positive"), data, sha))
    return samples


def family_map(samples):
    """Suffix of an export -> the manifest type it belongs to (docx -> zip)."""
    families = {}
    for s in samples:
        families.setdefault(s.type, s.type)
        families.setdefault(s.suffix, s.type)
    return families


# ---- the inputs --------------------------------------------------------------


def layout_raw(samples, rng):
    """Order and place the samples for the raw image.

    Returns (pieces, placements): pieces are the image's bytes in order,
    placements (sample, offset) pairs.  Every file starts at a sector; the
    bytes between the end of one and the start of the next (and before the
    first) are a gap of one kind, zeros or random, at least the rest of the
    file's last sector and up to MAX_GAP_SECTORS sectors more.
    """
    order = sorted(samples, key=lambda s: s.name)
    rng.shuffle(order)
    pieces, placements = [], []
    pos = 0

    def gap(minimum_sectors):
        nonlocal pos
        end = -(-pos // SECTOR) * SECTOR + rng.randint(minimum_sectors, MAX_GAP_SECTORS) * SECTOR
        if end > pos:
            n = end - pos
            pieces.append(rng.randbytes(n) if rng.random() < 0.5 else bytes(n))
            pos = end

    gap(1)
    for s in order:
        placements.append((s, pos))
        pieces.append(s.data)
        pos += len(s.data)
        gap(0)
    return pieces, placements


def write_raw(path, samples, rng):
    pieces, placements = layout_raw(samples, rng)
    with open(path, "wb") as f:
        for p in pieces:
            f.write(p)
    return placements


def choose_deleted(samples, rng):
    """About half of the files of each type and role, spread over suffixes.

    Within a (type, role) group the files are ordered by suffix (shuffled
    within one) and every second one is deleted.  Of the groups of odd size,
    a seeded half put the extra file into the deleted half, the others leave
    it live, so that a type of one file is deleted with one seed and live
    with another.
    """
    groups = defaultdict(list)
    for s in samples:
        groups[(s.type, s.role)].append(s)
    odd = [key for key in sorted(groups) if len(groups[key]) % 2]
    rng.shuffle(odd)
    more = set(odd[::2])
    deleted = set()
    for key in sorted(groups):
        keyed = sorted((s.suffix, rng.random(), s.name) for s in sorted(groups[key], key=lambda s: s.name))
        first = 0 if key in more or len(keyed) % 2 == 0 else 1
        deleted.update(name for i, (_, _, name) in enumerate(keyed) if i % 2 == first)
    return deleted


def mtools_env():
    return dict(os.environ, MTOOLS_SKIP_CHECK="1")


def need(*tools):
    for tool in tools:
        if not shutil.which(tool):
            raise SystemExit(f"recall: {tool} is missing (scripts/setup installs it)")


def make_fat32(path, samples, cluster):
    total = sum(-(-len(s.data) // cluster) * cluster for s in samples)
    # FAT32 needs 65,525 clusters at least; room for the files on top.
    size_kib = (65600 * cluster + total + total // 8) // 1024 + 1100
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["mkfs.vfat", "-F", "32", "-s", str(cluster // SECTOR), "-S", str(SECTOR),
                    "-i", "4c4d5243", "-n", "LMRRECALL", "-C", path, str(size_kib)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def write_fat32(path, folder, samples, deleted, rng, cluster):
    need("mkfs.vfat", "mcopy", "mdel")
    make_fat32(path, samples, cluster)
    env = mtools_env()
    order = sorted(samples, key=lambda s: s.name)
    rng.shuffle(order)
    for s in order:
        subprocess.run(["mcopy", "-i", path, "-o", os.path.join(folder, s.name), "::/" + s.name],
                       check=True, env=env)
    for s in order:
        if s.name in deleted:
            subprocess.run(["mdel", "-i", path, "::/" + s.name], check=True, env=env)
    return order


# ---- where the files lie -----------------------------------------------------


@dataclass
class Layout:
    """Where a file's bytes lie on a volume, in blocks (clusters on FAT).

    runs: (first block, count) of its data in the file's order; meta: the
    indirect blocks that map it (ext2/3), which may lie between its data
    blocks.  at: where each run starts in the file, in blocks, and length:
    the file's length in blocks, where blocks of zeros may be left out
    (debugfs writes files so); without them the runs are all of the file.
    """
    runs: list
    meta: list = field(default_factory=list)
    at: list = None
    length: int = None

    def blocks(self):
        for first, count in self.runs:
            yield from range(first, first + count)

    def sparse(self):
        if self.at is None:
            return False
        end = 0
        for (_, count), at in zip(self.runs, self.at):
            if at != end:
                return True
            end += count
        return self.length is not None and end != self.length

    def shape(self, in_use=None):
        """whole (one run), indirect (one run but for its own indirect
        blocks between the data), sparse (blocks of zeros left out, so no
        run of bytes on the volume is the file) or fragmented (anything
        else).  With in_use (a FreeMap), as a reader of the free space alone
        sees it: blocks in use between the runs are not there."""
        if self.sparse():
            return "sparse"
        merged = []
        for first, count in self.runs:
            if merged and merged[-1][0] + merged[-1][1] == first:
                merged[-1][1] += count
            else:
                merged.append([first, count])
        if len(merged) <= 1:
            return "whole"
        meta = set(self.meta)
        shape = "whole"
        for (a, n), (b, _) in zip(merged, merged[1:]):
            if b < a + n:
                return "fragmented"
            for x in range(a + n, b):
                if x in meta:
                    shape = "indirect"
                elif in_use is None or not in_use(x):
                    return "fragmented"
        return shape


class FreeMap:
    """The free blocks of a volume as sorted runs [(first, last)]; called
    with a block, whether it is in use."""

    def __init__(self, runs):
        self.runs = sorted(runs)
        self.starts = [a for a, _ in self.runs]

    def __call__(self, block):
        i = bisect.bisect_right(self.starts, block) - 1
        return not (i >= 0 and self.runs[i][0] <= block <= self.runs[i][1])


def ext_free(image):
    """FreeMap of an ext2/3 volume, from dumpe2fs' free blocks per group."""
    need("dumpe2fs")
    out = subprocess.run(["dumpe2fs", image], check=True, capture_output=True, text=True).stdout
    runs = []
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Free blocks: ") and line[len("Free blocks: "):][:1].isdigit():
            for item in line[len("Free blocks: "):].split(","):
                first, _, last = item.strip().partition("-")
                if first.isdigit():
                    runs.append((int(first), int(last or first)))
    return FreeMap(runs)


def fat_free(image):
    """FreeMap of a FAT32 volume: the clusters whose FAT entry is 0."""
    with open(image, "rb") as f:
        boot = f.read(SECTOR)
        bps = int.from_bytes(boot[11:13], "little")
        f.seek(int.from_bytes(boot[14:16], "little") * bps)
        fat = f.read(int.from_bytes(boot[36:40], "little") * bps)
    runs, start = [], None
    n = len(fat) // 4
    for c in range(2, n + 1):
        # The top 4 bits are not the entry's.
        free = c < n and int.from_bytes(fat[4 * c:4 * c + 4], "little") & 0x0FFFFFFF == 0
        if free and start is None:
            start = c
        elif not free and start is not None:
            runs.append((start, c - 1))
            start = None
    return FreeMap(runs)


def read_layout_bytes(image, layout, size, unit, base=0):
    """The file's bytes as its layout places them (block n at base + n * unit;
    blocks left out are zeros)."""
    out = bytearray()
    at = layout.at or [None] * len(layout.runs)
    with open(image, "rb") as f:
        for (first, count), start in zip(layout.runs, at):
            if start is not None and start * unit > len(out):
                out += bytes(start * unit - len(out))
            f.seek(base + first * unit)
            out += f.read(count * unit)
            if len(out) >= size:
                break
    out += bytes(max(0, size - len(out)))
    return bytes(out[:size])


def parse_mshowfat(text):
    """mshowfat's lines ("::/name <3-6> <27-42>") -> {name: Layout}."""
    layouts = {}
    name = None
    for line in text.splitlines():
        if line.startswith("::/"):
            at = line.find(" <")
            name, line = (line[3:at], line[at:]) if at >= 0 else (line[3:].rstrip(), "")
            layouts[name] = Layout([])
        if name is None:
            continue
        for run in line.split():
            first, _, last = run.strip("<>").partition("-")
            if first.isdigit():
                layouts[name].runs.append((int(first), int(last or first) - int(first) + 1))
    return layouts


def fat_chains(image, names):
    need("mshowfat")
    done = subprocess.run(["mshowfat", "-i", image] + ["::/" + n for n in names], check=True,
                          capture_output=True, text=True, env=mtools_env())
    layouts = parse_mshowfat(done.stdout)
    missing = [n for n in names if n not in layouts or not layouts[n].runs]
    if missing:
        raise SystemExit(f"recall: mshowfat told no clusters of {', '.join(missing)}")
    return layouts


def fat_geometry(image):
    """(byte offset of cluster 0, cluster size, byte offset of the FSInfo sector)
    of a FAT32 volume, from its boot sector."""
    with open(image, "rb") as f:
        boot = f.read(SECTOR)
    bps, spc, reserved, fats = (int.from_bytes(boot[11:13], "little"), boot[13],
                                int.from_bytes(boot[14:16], "little"), boot[16])
    fat_sectors = int.from_bytes(boot[36:40], "little")
    fsinfo = int.from_bytes(boot[48:50], "little")
    data = (reserved + fats * fat_sectors) * bps
    return data - 2 * spc * bps, spc * bps, fsinfo * bps


def forget_next_free(image):
    """Marks the FAT32 free-cluster hint unknown, so that the next write
    takes the first free cluster (as a camera that ignores the hint does)."""
    _, _, fsinfo = fat_geometry(image)
    with open(image, "r+b") as f:
        f.seek(fsinfo + 0x1EC)
        f.write(b"\xff\xff\xff\xff")


def parse_debugfs_blocks(text, block):
    """debugfs' stat of a file (its BLOCKS part: "(0-11):786-797, (IND):798,
    (12-20):799-807, ...", and its size) -> Layout."""
    at = text.find("BLOCKS:")
    layout = Layout([], at=[])
    size = re.search(r"\bSize: (\d+)", text)
    if size:
        layout.length = -(-int(size.group(1)) // block)
    if at < 0:
        return layout
    body = text[at + len("BLOCKS:"):].split("TOTAL:")[0]
    for item in body.replace("\n", " ").split(","):
        item = item.strip()
        if not item:
            continue
        where, _, blocks = item.partition(":")
        first, _, last = blocks.strip().partition("-")
        first, last = int(first), int(last or first)
        if "IND" in where:  # IND, DIND, TIND
            layout.meta.extend(range(first, last + 1))
        else:
            layout.runs.append((first, last - first + 1))
            layout.at.append(int(where.strip(" ()").partition("-")[0]))
    return layout


def debugfs(image, commands, write=False):
    """Runs debugfs' commands on the image in one go; its output."""
    need("debugfs")
    with tempfile.NamedTemporaryFile("w", suffix=".debugfs", delete=False) as f:
        f.write("".join(c + "\n" for c in commands))
    try:
        done = subprocess.run(["debugfs"] + (["-w"] if write else []) + ["-f", f.name, image],
                              capture_output=True, text=True, env=dict(os.environ, DEBUGFS_PAGER="__none__"))
    finally:
        os.remove(f.name)
    if done.returncode != 0:
        raise SystemExit(f"recall: debugfs on {image} exited with {done.returncode}:\n{done.stderr}")
    return done.stdout, done.stderr


def ext_layouts(image, names, block):
    """{name: Layout} of files in the root folder of an ext2/3 volume."""
    out, err = debugfs(image, [f"stat /{n}" for n in names])
    layouts = {}
    # Each command's output follows a line "debugfs: stat /NAME".
    parts = out.split("debugfs: stat /")[1:]
    for part in parts:
        name, _, rest = part.partition("\n")
        layouts[name.strip()] = parse_debugfs_blocks(rest, block)
    missing = [n for n in names if n not in layouts or not layouts[n].runs]
    if missing:
        raise SystemExit(f"recall: debugfs found no blocks of {', '.join(missing)}:\n{err}")
    return layouts


def check_layouts(image, samples, layouts, unit, base=0):
    """Every layout read back gives its file's bytes; else the parsing is
    wrong, or the file was overwritten."""
    by_name = {s.name: s for s in samples}
    bad = [n for n, lay in layouts.items()
           if read_layout_bytes(image, lay, len(by_name[n].data), unit, base) != by_name[n].data]
    return bad


# ---- FAT32, files written around live ones ----------------------------------


@dataclass
class Volume:
    """What a volume builder made: the deleted files whose bytes are all
    still there (intact), those partly overwritten by later files, how the
    deleted files lie, and how the volume was made."""
    deleted: set
    overwritten: set
    layouts: dict
    made: str
    in_use: FreeMap = None  # the volume's free blocks as they are left


def plan_interleaved(samples, deleted, rng, counted, hole_share=4):
    """Rounds of writes for a volume where deleted files lie around live ones.

    Returns (round1, holes, round2): the first round alternates a file that
    stays (for now) with one that is deleted before the second round (a
    hole between live files); the second round fills those holes first and
    runs past the live files (in the order order_second_round gives it). The
    hole files are a quarter of the deleted ones (hole_share), those not
    counted first, as their bytes are mostly overwritten.
    """
    order = sorted(samples, key=lambda s: s.name)
    rng.shuffle(order)
    doomed = [s for s in order if s.name in deleted]
    doomed.sort(key=lambda s: s.name in counted)  # stable: the order stays shuffled within
    holes = doomed[:max(1, len(doomed) // hole_share)] if doomed else []
    hole_names = {s.name for s in holes}
    others = [s for s in order if s.name not in hole_names]
    round1 = []
    for i, h in enumerate(holes):
        round1 += others[i:i + 1] + [h]
    round1 += others[len(holes):len(holes) + 1]
    taken = {s.name for s in round1}
    round2 = [s for s in others if s.name not in taken]
    return round1, hole_names, round2


def order_second_round(files, holes, deleted, unit):
    """The second round's files in an order that has every hole's end cut
    a file, a deleted one and a live one in turn, as far as the files allow.

    holes: (first cluster, count) of the free runs between live files, in
    the order of the volume; a write takes the first free clusters.  A file
    cut by a hole's end goes on in the next hole, split around the live file
    between them.  Files cut are chosen to fit in what is left of the hole
    and the next one, so that each is cut once; the files that fit into a
    hole whole are taken in their given order.  The rest follow in their
    given order, past the last live file.
    """
    room = [count for _, count in holes]
    left = list(files)
    out = []
    want_deleted = True

    def clusters(s):
        return max(1, -(-len(s.data) // unit))

    while room and left:
        here, after = room[0], room[1] if len(room) > 1 else float("inf")
        wanted = [s for s in left if (s.name in deleted) == want_deleted]
        cut = [s for s in wanted if here < clusters(s) <= here + after]
        fits = [s for s in left if clusters(s) <= here]
        if cut:
            pick = cut[0]
            want_deleted = not want_deleted
        elif fits:
            pick = fits[0]
        else:
            pick = min(left, key=clusters)
        left.remove(pick)
        out.append(pick)
        need = clusters(pick)
        while need and room:
            taken = min(need, room[0])
            need -= taken
            room[0] -= taken
            if room[0] == 0:
                room.pop(0)
    return out + left


def free_runs(layouts):
    """The runs of clusters that the files of layouts held, merged and in
    the volume's order."""
    runs = []
    for first, count in sorted(r for lay in layouts for r in lay.runs):
        if runs and runs[-1][0] + runs[-1][1] == first:
            runs[-1][1] += count
        else:
            runs.append([first, count])
    return [tuple(r) for r in runs]


def write_fat32_interleaved(path, folder, samples, deleted, rng, cluster, counted):
    """A FAT32 volume as a busy card leaves it: a first round of files, every
    other one deleted again, a second round written into the holes (first
    free cluster first, so its files are split around the live ones), then
    the rest of the deleted files deleted.  Returns a Volume."""
    need("mkfs.vfat", "mcopy", "mdel", "mshowfat")
    make_fat32(path, samples, cluster)
    env = mtools_env()
    round1, holes, round2 = plan_interleaved(samples, deleted, rng, counted)

    def copy(s):
        subprocess.run(["mcopy", "-i", path, "-o", os.path.join(folder, s.name), "::/" + s.name],
                       check=True, env=env)

    for s in round1:
        copy(s)
    layouts = fat_chains(path, sorted(holes))
    subprocess.run(["mdel", "-i", path] + ["::/" + n for n in sorted(holes)], check=True, env=env)
    _, unit, _ = fat_geometry(path)
    round2 = order_second_round(round2, free_runs(layouts.values()), deleted, unit)
    for s in round2:
        forget_next_free(path)
        copy(s)
    late = sorted(n for n in deleted if n not in holes)
    layouts.update(fat_chains(path, late))
    if late:
        subprocess.run(["mdel", "-i", path] + ["::/" + n for n in late], check=True, env=env)
    base, _, _ = fat_geometry(path)
    overwritten = set(check_layouts(path, samples, layouts, unit, base))
    if overwritten - holes:
        raise SystemExit(f"recall: clusters read back differ for {', '.join(sorted(overwritten - holes))}")
    return Volume(set(deleted), overwritten, layouts, "with mtools, the second round first-free", fat_free(path))


# ---- ext2 and ext3 -----------------------------------------------------------


EXT_KINDS = {"ext2-1k": ("ext2", 1024), "ext2-4k": ("ext2", 4096),
             "ext3-1k": ("ext3", 1024), "ext3-4k": ("ext3", 4096)}
INPUTS = ["raw", "fat32", "fat32-interleaved"] + list(EXT_KINDS)


def make_ext(path, fs, block, samples):
    need("mke2fs")
    total = sum(-(-len(s.data) // block) * block for s in samples)
    # Room for the data, its indirect blocks (1 in 256 at 1 KiB), inode
    # tables and a journal.
    size_kib = (total + total // 4) // 1024 + 16 * 1024
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["mke2fs", "-q", "-F", "-t", fs, "-b", str(block), "-L", "LMRRECALL",
                    "-U", "4c4d5243-0000-4000-8000-000000000001", "-E", "hash_seed=4c4d5243-0000-4000-8000-000000000002",
                    path, f"{size_kib}k"], check=True, stdout=subprocess.DEVNULL)


def loop_mount_works(workdir):
    """Whether this process may mount an image through a loop device."""
    if os.geteuid() != 0 or not shutil.which("mount") or not shutil.which("mke2fs"):
        return False
    probe = os.path.join(workdir, "probe.img")
    mnt = os.path.join(workdir, "probe.mnt")
    os.makedirs(mnt, exist_ok=True)
    try:
        subprocess.run(["mke2fs", "-q", "-F", "-t", "ext2", probe, "1024"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if subprocess.run(["mount", "-t", "ext2", "-o", "loop", probe, mnt], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=60).returncode != 0:
            return False
        subprocess.run(["umount", mnt], check=True, timeout=60)
        return True
    except (subprocess.SubprocessError, OSError):
        return False
    finally:
        if os.path.exists(probe):
            os.remove(probe)
        os.rmdir(mnt)


class Mounted:
    """The image mounted through a loop device for the with-block."""

    def __init__(self, image, fs, mnt):
        self.image, self.fs, self.mnt = image, fs, mnt

    def __enter__(self):
        os.makedirs(self.mnt, exist_ok=True)
        subprocess.run(["mount", "-t", self.fs, "-o", "loop", self.image, self.mnt], check=True, timeout=60)
        return self.mnt

    def __exit__(self, *exc):
        subprocess.run(["sync"], check=False)
        subprocess.run(["umount", self.mnt], check=True, timeout=120)
        os.rmdir(self.mnt)


def write_ext(path, folder, samples, deleted, rng, fs, block, via):
    """An ext2/3 volume with every file copied in, in a shuffled order, then
    the deleted ones removed.  via: kernel (loop mount, the files copied and
    removed as a person would) or debugfs (no root: debugfs writes the files
    and rm removes them).  Returns a Volume; its layouts are the deleted
    files' blocks read before they were deleted."""
    make_ext(path, fs, block, samples)
    order = sorted(samples, key=lambda s: s.name)
    rng.shuffle(order)
    gone = sorted(n for n in deleted)
    mnt = path + ".mnt"
    if via == "kernel":
        with Mounted(path, fs, mnt) as root:
            for s in order:
                shutil.copyfile(os.path.join(folder, s.name), os.path.join(root, s.name))
        layouts = ext_layouts(path, gone, block)
        with Mounted(path, fs, mnt) as root:
            for n in gone:
                os.remove(os.path.join(root, n))
        made = "by the kernel through a loop mount"
    else:
        debugfs(path, [f"write {os.path.join(folder, s.name)} {s.name}" for s in order], write=True)
        layouts = ext_layouts(path, gone, block)
        if gone:
            debugfs(path, [f"rm /{n}" for n in gone], write=True)
        made = "with debugfs (write, rm)"
    bad = check_layouts(path, samples, layouts, block)
    if bad:
        raise SystemExit(f"recall: blocks read back differ for {', '.join(bad)}")
    return Volume(set(deleted), set(), layouts, made, ext_free(path))


# ---- the carver --------------------------------------------------------------


def carver_modes(carver):
    """(label, extra arguments) for every mode this lumarek-carve has."""
    help_text = subprocess.run([carver, "--help"], capture_output=True, text=True).stdout
    if "--no-deep" in help_text:
        return [("deep", []), ("built-in", ["--no-deep"])]
    return [("built-in", [])]


def run_carver(carver, image, whole, extra, outdir, log):
    shutil.rmtree(outdir, ignore_errors=True)
    cmd = [carver] + (["--whole"] if whole else []) + extra + ["-o", outdir, "--log", log, image]
    start = time.monotonic()
    done = subprocess.run(cmd, capture_output=True, text=True)
    seconds = time.monotonic() - start
    if done.returncode != 0:
        raise SystemExit(f"recall: {' '.join(cmd)} exited with {done.returncode}:\n{done.stderr}")
    exports = []
    for line in done.stdout.splitlines():
        fields = line.split("\t")
        if len(fields) != 4 or not fields[0].isdigit() or not fields[1].isdigit():
            continue  # the summary
        with open(os.path.join(outdir, fields[3]), "rb") as f:
            data = f.read()
        exports.append(Export(fields[3], fields[2].lower(), int(fields[0]), data))
    return exports, seconds, cmd


# ---- judging -----------------------------------------------------------------


def common_prefix(a, b, start=0):
    """Length of the common beginning of a and b[start:]."""
    n = min(len(a), len(b) - start)
    i, step = 0, 1 << 16
    while i < n and a[i:i + step] == b[start + i:start + i + step]:
        i += step
    if i >= n:
        return n
    while i < n and a[i] == b[start + i]:
        i += 1
    return i


def meaningful(block):
    """A block worth matching by: not one byte value throughout."""
    return len(block) == HEAD and block.count(block[0]) != len(block)


def size(n):
    return f"{n:,} B"


class Judge:
    """Matches exports to the placed samples.

    placed: every sample in the input (live ones too); expected: the names
    counted for recall.  Every file starts at a sector (of the image, or of
    a cluster on the volume), and so does every export, so a sector's bytes
    tell where an export starts within a file and which files' starts lie
    inside an export.
    """

    def __init__(self, placed, expected, families):
        self.placed = placed
        self.expected = expected
        self.families = families
        self.by_sha = defaultdict(list)
        self.blocks = defaultdict(list)  # sector bytes -> [(sample, offset in it)]
        self.starts = defaultdict(list)  # first sector of a sample -> [sample]
        for s in placed:
            self.by_sha[s.sha256].append(s)
            for off in range(0, len(s.data) - HEAD + 1, SECTOR):
                block = s.data[off:off + HEAD]
                if meaningful(block):
                    self.blocks[block].append((s, off))
            if meaningful(s.data[:HEAD]):
                self.starts[s.data[:HEAD]].append(s)

    def family(self, suffix):
        return self.families.get(suffix, suffix)

    def where(self, e):
        """[(sample, offset in it, common length)] for the file e starts in.

        Several when files begin alike (versions of one document): the ones
        that e follows longest.
        """
        starts = list(self.blocks.get(e.data[:HEAD], ()))
        # Files and exports shorter than a sector have no whole sector to go by.
        starts += [(s, 0) for s in self.placed if e.data and (len(s.data) < HEAD or len(e.data) < HEAD)
                   and s.data[:len(e.data)] == e.data[:len(s.data)]]
        found = [(s, off, common_prefix(e.data, s.data, off)) for s, off in starts]
        longest = max((c for _, _, c in found), default=0)
        return [f for f in found if f[2] == longest]

    def inside(self, e):
        """[(sample, offset in e, whole)] for the files whose start lies
        inside e (past its first sector), whole when all of the file is."""
        found = []
        for off in range(SECTOR, len(e.data) - HEAD + 1, SECTOR):
            alike = [(s, common_prefix(s.data, e.data, off)) for s in self.starts.get(e.data[off:off + HEAD], ())]
            longest = max((c for _, c in alike), default=0)
            found += [(s, off, c == len(s.data)) for s, c in alike if c == longest]
        return found

    def run(self, exports):
        for e in exports:
            e.sha256 = hashlib.sha256(e.data).hexdigest()
            same = self.by_sha.get(e.sha256, [])
            if any(s.name in self.expected for s in same):
                e.kind = "exact"
            else:
                e.kind = "neutral" if same else "false"
        for e in exports:
            if e.kind == "false":
                e.what = self.describe(e)

        verdicts = []
        for s in self.placed:
            verdicts.append(self.verdict(s, exports))
        return verdicts

    def verdict(self, s, exports):
        exact = [e for e in exports if e.sha256 == s.sha256]
        if exact:
            v = Verdict(s, "exact")
            if len(exact) > 1:
                v.notes.append(f"exported {len(exact)} times")
            for e in exact:
                if e.suffix != s.suffix:
                    v.notes.append(f"exported as .{e.suffix} ({e.name})")
            return v
        best, notes = None, []
        for e in exports:
            if e.kind != "false":
                continue  # another file's exact copy holds nothing of this one
            for t, off, common in self.where(e):
                if t is not s:
                    continue
                if off > 0:
                    notes.append(f"{e.name}: bytes {off:,}-{off + common:,} of it"
                                 + (" and more" if common < len(e.data) else ""))
                    continue
                if common == len(e.data) < len(s.data):
                    kind, note = "short", f"{e.name}: cut short, {size(common)} of {size(len(s.data))}"
                elif common == len(s.data) < len(e.data):
                    kind, note = "long", f"{e.name}: the whole file and {size(len(e.data) - common)} more"
                else:
                    notes.append(f"{e.name}: its first {size(common)}, then other bytes "
                                 f"({size(len(e.data))} in all)")
                    continue
                if self.family(e.suffix) != s.type:
                    notes.append(f"{note}, as .{e.suffix} (another type: not prefix-only)")
                    continue
                notes.append(note)
                if best is None or common > best:
                    best = common
                    best_kind = kind
            for t, off, whole in self.inside(e):
                if t is s:
                    notes.append(f"{e.name} (.{e.suffix}, {size(len(e.data))}) holds "
                                 f"{'the whole file' if whole else 'its start'} from its byte {off:,}")
        if best is not None:
            return Verdict(s, best_kind, notes)
        return Verdict(s, "missed", notes or ["nothing exported holds any of it"])

    def describe(self, e):
        """What a false export holds, in terms of the placed files."""
        parts = []
        places = self.where(e)
        if places:
            s, off, common = max(places, key=lambda p: (p[2], -p[1]))
            if off == 0 and common == len(e.data):
                parts.append(f"the first {size(common)} of {s.name} ({size(len(s.data))})")
            elif off == 0 and common == len(s.data):
                parts.append(f"{s.name} and {size(len(e.data) - common)} after it")
            elif common == len(e.data):
                parts.append(f"bytes {off:,}-{off + common:,} of {s.name}")
            else:
                parts.append(f"{size(common)} of {s.name} from its byte {off:,}, then other bytes")
        else:
            head = e.data[:64]
            if len(head) >= 16 and head.count(head[0]) != len(head):
                for s in self.placed:
                    at = s.data.find(head)
                    if at >= 0:
                        common = common_prefix(e.data, s.data, at)
                        rest = "" if common == len(e.data) else f" ({size(common)} of it match)"
                        parts.append(f"inside {s.name} from its byte {at:,}{rest}")
                        break
        starts = [f"{s.name} at {off:,}" for s, off, _ in self.inside(e)]
        if starts:
            parts.append("runs over the start of " + ", ".join(starts))
        return "; ".join(parts) or "matches no sample (gap or volume bytes)"


# ---- tallies and tables ------------------------------------------------------


@dataclass
class Row:
    files: int = 0
    exact: int = 0
    prefix: int = 0
    missed: int = 0
    exports: int = 0  # exports judged: exact ones and false ones
    false: int = 0
    pieces: int = 0  # expected files not in one piece on the volume
    pieces_exact: int = 0

    def add(self, other):
        for k in self.__dataclass_fields__:
            setattr(self, k, getattr(self, k) + getattr(other, k))

    def cells(self, pieces=False):
        recall = f"{100.0 * self.exact / self.files:.1f}%" if self.files else "–"
        precision = f"{100.0 * (self.exports - self.false) / self.exports:.1f}%" if self.exports else "–"
        cells = [self.files, self.exact, self.prefix, self.missed, recall, self.exports, self.false, precision]
        return cells + [self.pieces, self.pieces_exact] if pieces else cells


HEADER = ["type", "files", "exact", "prefix-only", "missed", "recall", "exports", "false", "precision"]
# Volumes whose deleted files' places are known: how many of them a carver
# that copies one run of bytes cannot get whole, and how many came back.
PIECES = ["in pieces", "of them exact"]


def tally(verdicts, exports, expected, judge, shapes=None):
    """The rows of the table; with shapes ({name: Layout.shape()}) the two
    columns of PIECES too."""
    rows = defaultdict(Row)
    for v in verdicts:
        if v.sample.name not in expected:
            continue
        r = rows[v.sample.type]
        r.files += 1
        split = shapes is not None and shapes.get(v.sample.name, "whole") != "whole"
        r.pieces += split
        r.pieces_exact += split and v.kind == "exact"
        if v.kind == "exact":
            r.exact += 1
        elif v.kind in ("short", "long"):
            r.prefix += 1
        else:
            r.missed += 1
    for e in exports:
        if e.kind == "neutral":
            continue
        r = rows[judge.family(e.suffix)]
        r.exports += 1
        if e.kind == "false":
            r.false += 1
    total = Row()
    for r in rows.values():
        total.add(r)
    pieces = shapes is not None
    return [[t] + rows[t].cells(pieces) for t in sorted(rows)] + [["total"] + total.cells(pieces)]


def uncounted(verdicts, expected, live, overwritten=()):
    """role (or "live", "overwritten") -> [files, exact, prefix-only, missed,
    names not exact]."""
    groups = {}
    for v in verdicts:
        if v.sample.name in expected:
            continue
        key = ("live" if v.sample.name in live else "overwritten" if v.sample.name in overwritten
               else v.sample.role)
        g = groups.setdefault(key, [0, 0, 0, 0, []])
        g[0] += 1
        g[{"exact": 1, "short": 2, "long": 2}.get(v.kind, 3)] += 1
        if v.kind != "exact":
            g[4].append(v.sample.name)
    return groups


def header_of(rows):
    return HEADER + PIECES if rows and len(rows[0]) > len(HEADER) else HEADER


def text_table(rows):
    header = header_of(rows)
    cells = [header] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]
    return "\n".join("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
                     for r in cells)


def markdown_table(rows):
    header = header_of(rows)
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for r in rows:
        cells = [f"{c:,}" if isinstance(c, int) else str(c) for c in r]
        if r[0] == "total":
            cells = [f"**{c}**" for c in cells]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


# ---- the run -----------------------------------------------------------------


@dataclass
class Input:
    key: str
    title: str
    image: str
    whole: bool
    expected: set
    live: set
    volume: Volume = None  # for the volumes whose deleted files' places are read

    def shapes(self, free_space=False):
        if not self.volume:
            return None
        in_use = self.volume.in_use if free_space else None
        return {n: lay.shape(in_use) for n, lay in self.volume.layouts.items()}

    def overwritten(self):
        return self.volume.overwritten if self.volume else set()


def pieces_line(inp):
    """How many expected files lie in more than one piece, and why; then
    how many stay so in the free space read as one stream."""
    parts = []
    for free_space in (False, True):
        shapes = inp.shapes(free_space)
        split = [n for n in sorted(inp.expected) if shapes.get(n, "whole") != "whole"]
        fragmented = sum(1 for n in split if shapes[n] == "fragmented")
        line = (f"{len(split)} of {len(inp.expected)} deleted files are in pieces" if not free_space
                else f"in the free space read as one stream {len(split)}")
        if inp.key in EXT_KINDS:
            sparse = sum(1 for n in split if shapes[n] == "sparse")
            line += (f" ({len(split) - fragmented - sparse} only by their own indirect blocks, {fragmented} "
                     f"fragmented otherwise" + (f", {sparse} with blocks of zeros left out)" if sparse else ")"))
        else:
            line += f" ({fragmented} fragmented)"
        parts.append(line)
    if inp.key in EXT_KINDS:
        mapped = sum(1 for n in inp.expected if inp.volume.layouts[n].meta)
        parts.append(f"{mapped} have indirect blocks")
    return "; ".join(parts) + f"; made {inp.volume.made}"


@dataclass
class Result:
    input: Input
    mode: str
    verdicts: list
    exports: list
    rows: list
    seconds: float


def report(r, carver, cmd):
    """The run's table, then what became of each file not recovered exactly."""
    expected, live = r.input.expected, r.input.live
    print(f"== {r.input.title}, {r.mode}: {len(expected)} expected files, {len(r.exports)} exports "
          f"in {r.seconds:.1f} s")
    print("   " + " ".join(os.path.basename(c) if c in (carver, r.input.image) else c for c in cmd))
    print(text_table(r.rows))
    if r.input.volume:
        print(pieces_line(r.input))
    neutral = sum(1 for e in r.exports if e.kind == "neutral")
    if neutral:
        print(f"{neutral} exports identical to a live or uncounted file, left out of precision")
    overwritten = r.input.overwritten()
    others = uncounted(r.verdicts, expected, live, overwritten)
    for k in sorted(others):
        files, ex, pre, miss, _ = others[k]
        if k == "live":
            print(f"live files (in use, outside the free space): {files}, {ex + pre} exported")
        elif k == "overwritten":
            print(f"deleted, then partly overwritten by later files (not counted): {files}, {ex} exact")
        else:
            print(f"not counted, {k}: {files} files, {ex} exact, {pre} prefix-only, {miss} missed")
    placed = [v for v in r.verdicts if v.sample.name not in live and v.sample.name not in overwritten]
    exact = sum(1 for v in placed if v.kind == "exact")
    every = f"every role counted: {exact} of {len(placed)} exact ({100.0 * exact / len(placed):.1f}%)"
    print(every)
    def counted(v):
        return v.sample.name in expected

    def placed_apart(v):
        return v.sample.name not in expected and v.sample.name not in live and v.sample.name not in overwritten

    for heading, picked in (("not recovered exactly", lambda v: counted(v) and v.kind != "exact"),
                            ("recovered exactly, with a note", lambda v: counted(v) and v.kind == "exact" and v.notes),
                            ("not counted, not recovered exactly", lambda v: placed_apart(v) and v.kind != "exact")):
        print(f"\n{heading}:")
        for v in sorted(r.verdicts, key=lambda v: (v.sample.type, v.sample.name)):
            if picked(v):
                kind = {"short": "prefix-only, cut short", "long": "prefix-only, runs over"}.get(v.kind, v.kind)
                role = "" if v.sample.role == "positive" else f", {v.sample.role}"
                print(f"  {v.sample.type:7} {v.sample.name} ({size(len(v.sample.data))}{role}): {kind}")
                for n in v.notes:
                    print(f"            {n}")
    print("false exports:")
    for e in r.exports:
        if e.kind == "false":
            print(f"  {e.name} ({size(len(e.data))} at {e.offset:,}): {e.what}")
    print()

    md = f"{r.input.title}, {r.mode} ({len(expected)} files):\n\n{markdown_table(r.rows)}"
    if r.input.volume:
        md += f"\n\n{pieces_line(r.input)[0].upper()}{pieces_line(r.input)[1:]}."
    notes = [f"{k} {v[0]} ({v[1]} exact, {v[2]} prefix-only, {v[3]} missed)"
             for k, v in sorted(others.items()) if k != "live"]
    if notes:
        md += f"\n\nNot counted: {'; '.join(notes)}. {every[0].upper()}{every[1:]}."
    return md


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", default=os.path.join(REPO, "..", "shared", "corpus"),
                    help="folder of samples with manifest.json (default ../shared/corpus)")
    ap.add_argument("--carver", default=os.path.join(REPO, "build", "cli", "lumarek-carve"),
                    help="lumarek-carve to run (default build/cli/lumarek-carve)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--roles", default="positive",
                    help="manifest roles counted as expected finds, comma-separated (default positive)")
    ap.add_argument("--cluster", type=int, default=4096, help="cluster size of the volume in bytes (default 4096)")
    ap.add_argument("--modes", default="", help="only these of the carver's modes (deep,built-in)")
    ap.add_argument("--inputs", default="raw,fat32",
                    help=f"comma-separated, of {','.join(INPUTS)}, or all (default raw,fat32)")
    ap.add_argument("--ext-via", default="auto", choices=("auto", "kernel", "debugfs"),
                    help="how the ext volumes are written and their files deleted: the kernel through a loop "
                         "mount (root), debugfs, or the kernel where it may (default)")
    ap.add_argument("--dir", default="", help="keep the images, exports and logs here (default: a temporary folder)")
    ap.add_argument("--markdown", default="", help="also write the tables as Markdown into this file")
    args = ap.parse_args(argv)
    if args.cluster % SECTOR or not 0 < args.cluster // SECTOR <= 128:
        ap.error("--cluster is a multiple of 512 up to 64 KiB")
    args.inputs = list(INPUTS) if args.inputs == "all" else args.inputs.split(",")
    unknown = [i for i in args.inputs if i not in INPUTS]
    if unknown:
        ap.error(f"no input {','.join(unknown)} (there are {','.join(INPUTS)})")
    args.carver = os.path.abspath(args.carver)
    if not os.access(args.carver, os.X_OK):
        ap.error(f"no lumarek-carve at {args.carver} (build it, or give --carver)")
    return args


def run(args):
    """Builds the inputs, runs the carver and prints the tables; returns the
    Results."""
    carver = args.carver
    roles = set(args.roles.split(","))
    samples = load_corpus(args.corpus)
    families = family_map(samples)
    modes = carver_modes(carver)
    if args.modes:
        modes = [m for m in modes if m[0] in args.modes.split(",")]
        if not modes:
            raise SystemExit(f"recall: this lumarek-carve has none of the modes {args.modes}")

    workdir = args.dir or tempfile.mkdtemp(prefix="lumarek-recall-")
    os.makedirs(workdir, exist_ok=True)
    try:
        return run_in(args, carver, roles, samples, families, modes, workdir)
    finally:
        if not args.dir:
            shutil.rmtree(workdir, ignore_errors=True)


def build_inputs(args, samples, counted, workdir):
    """The inputs that args.inputs names, in the order of INPUTS."""
    inputs = []
    names = {s.name for s in samples}
    unit = f"{args.cluster // 1024} KiB" if args.cluster >= 1024 else f"{args.cluster} B"
    via = args.ext_via
    if via == "auto" and any(k in EXT_KINDS for k in args.inputs):
        via = "kernel" if loop_mount_works(workdir) else "debugfs"
    for key in INPUTS:
        if key not in args.inputs:
            continue
        image = os.path.join(workdir, f"{key}.img")
        if key == "raw":
            write_raw(image, samples, random.Random(args.seed))
            inputs.append(Input("raw", "raw image (--whole)", image, True, counted, set()))
            continue
        # Every volume deletes the same files for a seed.
        rng = random.Random(args.seed + 1)
        deleted = choose_deleted(samples, rng)
        if key == "fat32":
            write_fat32(image, args.corpus, samples, deleted, rng, args.cluster)
            inputs.append(Input("fat32", f"FAT32 volume, {unit} clusters, deleted files (free space)", image, False,
                                counted & deleted, names - deleted))
            continue
        if key == "fat32-interleaved":
            volume = write_fat32_interleaved(image, args.corpus, samples, deleted, rng, args.cluster, counted)
            title = f"FAT32 volume, {unit} clusters, files written around live ones, deleted files (free space)"
        else:
            fs, block = EXT_KINDS[key]
            volume = write_ext(image, args.corpus, samples, deleted, rng, fs, block, via)
            title = f"{fs} volume, {block // 1024} KiB blocks, deleted files (free space)"
        inputs.append(Input(key, title, image, False, counted & (volume.deleted - volume.overwritten),
                            names - volume.deleted, volume))
    return inputs


def run_in(args, carver, roles, samples, families, modes, workdir):
    counted = {s.name for s in samples if s.role in roles}
    inputs = build_inputs(args, samples, counted, workdir)

    by_role = defaultdict(int)
    for s in samples:
        by_role[s.role] += 1
    print(f"{len(samples)} samples from {os.path.abspath(args.corpus)} "
          f"({', '.join(f'{n} {r}' for r, n in sorted(by_role.items()))}); counted: {','.join(sorted(roles))}; "
          f"seed {args.seed}")
    print(f"{carver}: modes {', '.join(m[0] for m in modes)}\n")

    results, md = [], []
    for inp in inputs:
        for label, extra in modes:
            outdir = os.path.join(workdir, f"out-{inp.key}-{label}")
            log = os.path.join(workdir, f"{inp.key}-{label}.log")
            exports, seconds, cmd = run_carver(carver, inp.image, inp.whole, extra, outdir, log)
            judge = Judge(samples, inp.expected, families)
            verdicts = judge.run(exports)
            rows = tally(verdicts, exports, inp.expected, judge, inp.shapes())
            r = Result(inp, label, verdicts, exports, rows, seconds)
            md.append(report(r, carver, cmd))
            results.append(r)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as f:
            f.write("\n\n".join(md) + "\n")
    return results


if __name__ == "__main__":
    run(parse_args())
