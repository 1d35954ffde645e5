#!/usr/bin/env python3
"""Recall of deleted files on exFAT, NTFS and FAT16 volumes, and on MBR and
GPT whole-disk images around exFAT.

Every sample of the corpus (role "positive", 4 KiB to 3 MB) is copied into
a fresh volume written by the real writers (tests/fixtures/make_fs_volume.sh:
the kernel's or the FUSE driver through a mount, mtools for FAT16), every
other one is deleted, and lumarek-carve exports what it finds, deep and with
--no-deep.  A deleted sample counts when an export has its SHA-256; a live
sample exported is counted too (it should never be).

    bench/recall_layouts.py CORPUS_DIR [LUMAREK_CARVE] [exfat ntfs fat16 ...]

Needs root (loop devices and FUSE) for exFAT and NTFS.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def sha(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    corpus = sys.argv[1]
    carve = sys.argv[2] if len(sys.argv) > 2 and os.path.isfile(sys.argv[2]) else os.path.join(SRC, 'build/cli/lumarek-carve')
    types = [a for a in sys.argv[2:] if not os.path.isfile(a)] or ['exfat', 'ntfs', 'fat16']
    with open(os.path.join(corpus, 'manifest.json')) as f:
        manifest = json.load(f)
    items = manifest.get('files') or next(v for v in manifest.values() if isinstance(v, list))
    files = sorted((i for i in items if i.get('role') == 'positive' and 4096 <= i['size'] <= 3_000_000),
                   key=lambda i: i['name'])
    deleted = {f['name'] for k, f in enumerate(files) if k % 2 == 1}
    work = tempfile.mkdtemp(prefix='lmr-recall-')
    try:
        for f in files:
            shutil.copy(os.path.join(corpus, f['name']), os.path.join(work, f['name']))
        total = sum(f['size'] for f in files)
        size_kib = (total * 2 // 1024 // 1024 + 16) * 1024

        def measure(label, image, args=()):
            out = os.path.join(work, 'out')
            shutil.rmtree(out, ignore_errors=True)
            subprocess.run([carve, *args, '-o', out, image], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            got = {sha(os.path.join(r, n)) for r, _, names in os.walk(out) for n in names}
            gone = [f for f in files if f['name'] in deleted]
            live = [f for f in files if f['name'] not in deleted]
            back = sum(f['sha256'] in got for f in gone)
            wrong = sum(f['sha256'] in got for f in live)
            print(f"| {label} | {back}/{len(gone)} ({100 * back / len(gone):.1f}%) | {wrong}/{len(live)} |", flush=True)

        print('| layout | deleted recovered byte-exact | live exported |')
        print('|---|---|---|')
        paths = [os.path.join(work, f['name']) for f in files]
        dargs = [a for d in sorted(deleted) for a in ('-d', d)]
        for t in types:
            img = os.path.join(work, t + '.img')
            r = subprocess.run([os.path.join(SRC, 'tests/fixtures/make_fs_volume.sh'), t, '-s', str(size_kib), *dargs,
                                img, *paths], capture_output=True, text=True)
            if r.returncode:
                print(f'| {t} | not built: {r.stderr.strip()} | |')
                continue
            measure(t, img)
            measure(t + ' --no-deep', img, ['--no-deep'])
            if t == 'exfat':
                for scheme in ('mbr', 'gpt'):
                    disk = os.path.join(work, scheme + '.img')
                    subprocess.run([os.path.join(SRC, 'tests/fixtures/make_disk.sh'), scheme, disk, img],
                                   stdout=subprocess.DEVNULL, check=True)
                    measure(f'{scheme.upper()} disk around exFAT', disk)
                    os.remove(disk)
            os.remove(img)
        print(f'{len(files)} samples, {total} bytes, volumes of {size_kib} KiB')
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
