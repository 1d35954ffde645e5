#!/usr/bin/env python3
"""Recall of deleted files on exFAT, NTFS, FAT16, FAT32 and ext4 volumes,
and on MBR and GPT whole-disk images around them, with files written around
live ones.

The corpus samples (role "positive", 4 KiB to 3 MB) are written into a
fresh volume by the real writers in two rounds, the way a card fills up:
the first half is copied and every other file of it deleted; then the
second half is copied, so its files fill the gaps between the live ones
(in pieces where a gap is too small), and every other file of that half
is deleted too.  lumarek-carve exports what it finds, deep and with
--no-deep.  A deleted sample whose bytes all survive counts when an export
has its SHA-256, and counts as named when the export is its own name in
the output folder (the folder it was deleted from); those whose bytes lie in more than one piece are counted
apart, and those the second round overwrote are only counted; a live
sample exported is counted too (it should never be).

    bench/recall_layouts.py CORPUS_DIR [LUMAREK_CARVE] [LAYOUT ...]

LAYOUT: exfat ntfs fat16 fat32 ext4 (the default: all), each also inside
an MBR and a GPT disk (ext4 inside an MBR one).  exFAT and NTFS are
written through a mount (the kernel's driver or FUSE; needs root); FAT
through mtools and ext4 through debugfs, without mounting.
"""
import ctypes
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DISKS = {'fat32': ('mbr', 'gpt'), 'exfat': ('mbr', 'gpt'), 'ext4': ('mbr',)}


def sha(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def sh(*cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True, **kw)


class MountedWriter:
    """Copies and deletes through a mount of the image (exFAT, NTFS)."""

    def __init__(self, kind, image):
        self.mnt = tempfile.mkdtemp(prefix='lmr-mnt-')
        self.loop = None
        if kind == 'exfat':
            if subprocess.run(['mount', '-t', 'exfat', '-o', 'loop', image, self.mnt],
                              stderr=subprocess.DEVNULL).returncode:
                self.loop = subprocess.run(['losetup', '-f', '--show', image], capture_output=True,
                                           text=True, check=True).stdout.strip()
                sh('mount.exfat-fuse', self.loop, self.mnt)
        else:
            sh('ntfs-3g', image, self.mnt)

    def copy(self, paths):
        for p in paths:
            shutil.copy(p, os.path.join(self.mnt, os.path.basename(p)))
        os.sync()

    def delete(self, names):
        for n in names:
            os.remove(os.path.join(self.mnt, n))
        os.sync()

    def close(self):
        subprocess.run(['umount', self.mnt], stderr=subprocess.DEVNULL)
        os.rmdir(self.mnt)
        if self.loop:
            subprocess.run(['losetup', '-d', self.loop], stderr=subprocess.DEVNULL)


class ToolWriter:
    """Copies and deletes with mtools (FAT) or debugfs (ext), no mount."""

    def __init__(self, kind, image):
        self.kind, self.image = kind, image

    def copy(self, paths):
        for p in paths:
            name = os.path.basename(p)
            if self.kind == 'ext4':
                sh('debugfs', '-w', '-R', f'write "{p}" "{name}"', self.image)
            else:
                sh('mcopy', '-i', self.image, '-o', p, '::' + name, env=dict(os.environ, MTOOLS_SKIP_CHECK='1'))

    def delete(self, names):
        for n in names:
            if self.kind == 'ext4':
                sh('debugfs', '-w', '-R', f'rm "{n}"', self.image)
            else:
                sh('mdel', '-i', self.image, '::' + n, env=dict(os.environ, MTOOLS_SKIP_CHECK='1'))

    def close(self):
        pass


def walk_seconds(image):
    """Seconds the engine's walk for deleted files with their names takes
    on `image` (through its C interface), or 0 without the library."""
    lib_path = os.path.join(SRC, 'build', 'liblumarek-general.so')
    if not os.path.exists(lib_path):
        return 0.0
    lib = ctypes.CDLL(lib_path)
    lib.list_named_finds.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.free_named_finds.argtypes = [ctypes.c_void_p]
    finds = ctypes.c_void_p()
    started = time.monotonic()
    lib.list_named_finds(image.encode(), ctypes.byref(finds))
    seconds = time.monotonic() - started
    lib.free_named_finds(finds)
    return seconds


def build_volume(kind, image, size_kib, first, second, deleted):
    """Formats `image` and writes the two rounds; `deleted` names the files
    removed (from both rounds)."""
    if os.path.exists(image):
        os.remove(image)
    with open(image, 'wb') as f:
        f.truncate(size_kib * 1024)
    if kind in ('fat16', 'fat32'):
        # FAT32 wants 65525 clusters or more: 512-byte clusters on these sizes.
        opts = ['-s', '1'] if kind == 'fat32' else []
        sh('mkfs.vfat', '-F', kind[3:], *opts, '-n', 'LUMAREK', image)
        writer = ToolWriter(kind, image)
    elif kind == 'ext4':
        sh('mke2fs', '-q', '-F', '-t', 'ext4', '-b', '4096', image, f'{size_kib}k')
        writer = ToolWriter(kind, image)
    elif kind == 'exfat':
        sh('mkfs.exfat', '-L', 'LUMAREK', image)
        writer = MountedWriter(kind, image)
    else:
        sh('mkntfs', '-F', '-Q', '-q', '-L', 'LUMAREK', image)
        writer = MountedWriter(kind, image)
    try:
        for group in (first, second):
            writer.copy(group)
            writer.delete([os.path.basename(p) for p in group if os.path.basename(p) in deleted])
    finally:
        writer.close()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    corpus = sys.argv[1]
    carve = sys.argv[2] if len(sys.argv) > 2 and os.path.isfile(sys.argv[2]) else os.path.join(SRC, 'build/cli/lumarek-carve')
    kinds = [a for a in sys.argv[2:] if not os.path.isfile(a)] or ['exfat', 'ntfs', 'fat16', 'fat32', 'ext4']
    with open(os.path.join(corpus, 'manifest.json')) as f:
        manifest = json.load(f)
    items = manifest.get('files') or next(v for v in manifest.values() if isinstance(v, list))
    files = sorted((i for i in items if i.get('role') == 'positive' and 4096 <= i['size'] <= 3_000_000),
                   key=lambda i: i['name'])
    half = len(files) // 2
    # Every other file of each round is deleted.
    deleted = {f['name'] for k, f in enumerate(files) if k % 2 == 1}
    work = tempfile.mkdtemp(prefix='lmr-recall-')
    try:
        for f in files:
            shutil.copy(os.path.join(corpus, f['name']), os.path.join(work, f['name']))
        paths = [os.path.join(work, f['name']) for f in files]
        total = sum(f['size'] for f in files)
        size_kib = (total * 2 // 1024 // 1024 + 16) * 1024
        gone = [f for f in files if f['name'] in deleted]
        live = [f for f in files if f['name'] not in deleted]

        def survivors(image):
            """The deleted files whose bytes all survive (every 512-byte piece
            of the file at some sector start of the image; the last piece
            only as long as it is), and those of them not in one piece."""
            with open(image, 'rb') as fh:
                data = fh.read()
            sectors = {data[at:at + 512] for at in range(0, len(data) - 511, 512)}
            intact, split = set(), set()
            for f in gone:
                with open(os.path.join(work, f['name']), 'rb') as fh:
                    content = fh.read()
                whole = len(content) // 512 * 512
                if not all(content[at:at + 512] in sectors for at in range(0, whole, 512)):
                    continue
                tail = content[whole:]
                if tail and not any(data[at:at + len(tail)] == tail for at in range(0, len(data), 512)):
                    continue
                intact.add(f['name'])
                if data.find(content) < 0:
                    split.add(f['name'])
            return intact, split

        def measure(label, image, survived, args=()):
            intact, split = survived
            out = os.path.join(work, 'out')
            shutil.rmtree(out, ignore_errors=True)
            started = time.monotonic()
            subprocess.run([carve, *args, '-o', out, image], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seconds = time.monotonic() - started
            got = {sha(os.path.join(r, n)) for r, _, names in os.walk(out) for n in names}
            back = sum(f['sha256'] in got for f in gone if f['name'] in intact)
            # Under its own name in the output folder's root, where it was.
            named = sum(os.path.isfile(os.path.join(out, f['name'])) and sha(os.path.join(out, f['name'])) == f['sha256']
                        for f in gone if f['name'] in intact)
            walk = walk_seconds(image)
            back_split = sum(f['sha256'] in got for f in gone if f['name'] in split)
            wrong = sum(f['sha256'] in got for f in live)
            share = 100 * back / len(intact) if intact else 0
            print(f"| {label} | {back}/{len(intact)} ({share:.1f}%) | {named}/{len(intact)} | "
                  f"{back_split}/{len(split)} | {len(gone) - len(intact)} | {wrong}/{len(live)} | "
                  f"{100 * walk / seconds:.1f}% |", flush=True)

        print('| layout | deleted recovered byte-exact | of them under their name | of them in pieces '
              '| deleted overwritten | live exported | name walk / run |')
        print('|---|---|---|---|---|---|---|')
        for kind in kinds:
            img = os.path.join(work, kind + '.img')
            try:
                build_volume(kind, img, size_kib, paths[:half], paths[half:], deleted)
            except (subprocess.CalledProcessError, OSError) as e:
                err = e.stderr.decode(errors='replace').strip() if getattr(e, 'stderr', None) else str(e)
                print(f'| {kind} | not built: {err} | | | | | |')
                continue
            survived = survivors(img)
            measure(kind, img, survived)
            measure(kind + ' --no-deep', img, survived, ['--no-deep'])
            for scheme in DISKS.get(kind, ()):
                disk = os.path.join(work, scheme + '.img')
                subprocess.run([os.path.join(SRC, 'tests/fixtures/make_disk.sh'), scheme, disk, img],
                               stdout=subprocess.DEVNULL, check=True)
                measure(f'{scheme.upper()} disk around {kind}', disk, survived)
                measure(f'{scheme.upper()} disk around {kind} --no-deep', disk, survived, ['--no-deep'])
                os.remove(disk)
            os.remove(img)
        print(f'{len(files)} samples ({len(gone)} deleted), {total} bytes, volumes of {size_kib} KiB')
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
