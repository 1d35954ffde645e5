#!/usr/bin/env python3
"""Builds a full camera/phone card volume as a sparse image file, for the
name walk's cost in lumarek-bench (--cards).

    bench/card_volume.py fat32|exfat|ntfs IMAGE [--gib N] [--seed S] [--tmp DIR]

The volume is formatted and written by the real tools: FAT32 by mkfs.vfat
and mtools (no root), exFAT by mkfs.exfat and the FUSE driver on a loop
device, NTFS by mkntfs and ntfs-3g (both need root).  What is written is
what a card holds after a year in a camera and a phone: camera folders of
999 photos of 3-9 MB and some clips, a phone's camera folder with long
names, screenshots, messenger pictures and voice notes in weekly folders,
apps' cache trees eight folders deep of small files, music; about 85% of
the volume in round one, then about half of the files deleted (single
files, and whole folders as a person or an app deletes them), then a
second round of photos that takes some of the freed clusters.

Every file's clusters are really allocated by the writer, with their
contents zeros; the writes go to an image in memory (/dev/shm) whose zero
blocks are punched out after every gigabyte or so, so that nothing but
the metadata ever takes room (the volume's FAT, bitmap, folders and MFT
are what the walk reads; the file contents are not).  The image is then
copied, sparse, to IMAGE.  A 32 GiB volume takes some minutes: the
writers still move every byte (mtools at several hundred MB/s, the FUSE
drivers at 50-200 MB/s).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

GIB = 1 << 30
MIB = 1 << 20
KIB = 1 << 10
PUNCH_EVERY = 1 * GIB  # bytes written between two passes of the hole punch


def sh(*cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)


# ---- what is written ---------------------------------------------------------

class Plan:
    """The files of the two rounds and what is deleted between them."""

    def __init__(self, gib, seed):
        rng = random.Random(seed)
        self.capacity = gib * GIB
        self.scale = gib / 32
        self.round1 = []   # (path, size, mtime), in the order written
        self.files_deleted = []
        self.trees_deleted = []
        self.round2 = []
        self._build(rng)

    def n(self, count):
        return max(1, round(count * self.scale))

    def _build(self, rng):
        t = 1704067200  # 2024-01-01: files are dated through the year

        def stamp():
            nonlocal t
            t += rng.randint(20, 2400)
            return t

        def day(ts):
            return time.strftime('%Y%m%d_%H%M%S', time.gmtime(ts))

        cam, phone, screens, wa, voice, cache, music = [], [], [], [], [], [], []
        # A camera: DCIM/1xxCANON of at most 999 photos, and some clips.
        number = 1
        folder = 100
        for k in range(self.n(2400)):
            if k and k % 999 == 0:
                folder += 1
            ts = stamp()
            if rng.random() < 0.008:
                cam.append((f'DCIM/{folder}CANON/MVI_{number:04d}.MP4', rng.randint(40 * MIB, 400 * MIB), ts))
            else:
                cam.append((f'DCIM/{folder}CANON/IMG_{number:04d}.JPG', rng.randint(3 * MIB, 9 * MIB), ts))
            number = number % 9999 + 1
        # A phone: its camera folder, screenshots, a messenger's media.
        for _ in range(self.n(1100)):
            ts = stamp()
            if rng.random() < 0.012:
                phone.append((f'DCIM/Camera/VID_{day(ts)}.mp4', rng.randint(30 * MIB, 300 * MIB), ts))
            else:
                phone.append((f'DCIM/Camera/{day(ts)}.jpg', rng.randint(2 * MIB, 6 * MIB), ts))
        for _ in range(self.n(1200)):
            ts = stamp()
            screens.append((f'Pictures/Screenshots/Screenshot_{day(ts).replace("_", "-")}.png',
                            rng.randint(100 * KIB, 1500 * KIB), ts))
        # Received pictures, and (a third) the sent ones in their own
        # folder.  mtools looks for a free short name of a long one file by
        # file, so a few thousand long names of one prefix in one folder
        # would take it an hour: 2,000 is the most per folder here.
        for k in range(self.n(3000)):
            ts = stamp()
            sent = 'Sent/' if k % 3 == 2 else ''
            wa.append((f'WhatsApp/Media/WhatsApp Images/{sent}IMG-{day(ts)[:8]}-WA{k % 10000:04d}.jpg',
                       rng.randint(40 * KIB, 400 * KIB), ts))
        for k in range(self.n(2000)):
            ts = stamp()
            week = time.strftime('%Y%W', time.gmtime(ts))
            voice.append((f'WhatsApp/Media/WhatsApp Voice Notes/{week}/PTT-{day(ts)[:8]}-WA{k % 10000:04d}.opus',
                           rng.randint(5 * KIB, 60 * KIB), ts))
        # Apps' caches: deep trees of small files.
        apps = [f'com.{v}.{a}' for v in ('google.android', 'facebook', 'instagram', 'spotify', 'whatsapp', 'zhiliaoapp')
                for a in ('music', 'photos', 'katana', 'android', 'youtube')]
        for k in range(self.n(24000)):
            app = apps[k % len(apps)]
            a, b, c = rng.randrange(4), rng.randrange(4), rng.randrange(6)
            cache.append((f'Android/data/{app}/cache/image_manager_disk_cache/v{a}/{b:02x}/{c:02x}/'
                          f'{rng.getrandbits(64):016x}.0', rng.randint(1 * KIB, 64 * KIB), stamp()))
        for k in range(self.n(150)):
            music.append((f'Music/Artist {k // 24:02d}/Album {k // 12:02d}/{k % 12 + 1:02d} Track {k:03d}.mp3',
                          rng.randint(3 * MIB, 9 * MIB), stamp()))
        groups = [cam, phone, screens, wa, voice, cache, music]
        # Round one fills about 85% of the volume: the camera's photos are
        # cut (or the volume is simply less full on a large one).
        target = int(self.capacity * 0.85)
        total = sum(s for g in groups for _, s, _ in g)
        while total > target and cam:
            total -= cam.pop()[1]
        for g in groups:
            self.round1.extend(g)

        # About half of the files go: a camera folder and some single
        # photos, screenshots, messenger pictures, weeks of voice notes,
        # half the apps' caches and one artist.
        deleted_trees = set()
        folders = sorted({p.rsplit('/', 1)[0] for p, _, _ in cam})
        if len(folders) > 1:
            deleted_trees.add(folders[1])
        weeks = sorted({p.rsplit('/', 1)[0] for p, _, _ in voice})
        deleted_trees.update(weeks[::2])
        deleted_trees.update(f'Android/data/{a}/cache' for a in apps[::2])
        if music:
            deleted_trees.add(music[0][0].split('/')[0] + '/' + music[0][0].split('/')[1])
        self.trees_deleted = sorted(deleted_trees)

        def in_tree(p):
            return any(p.startswith(t + '/') for t in deleted_trees)

        for g, share in ((cam, 0.5), (phone, 0.45), (screens, 0.6), (wa, 0.5), (cache, 0.3), (music, 0.1)):
            for p, _, _ in g:
                if not in_tree(p) and rng.random() < share:
                    self.files_deleted.append(p)

        # Round two: new photos fill about 10% of the volume again, some of
        # them in clusters the deleted files left.
        want = int(self.capacity * 0.10)
        while want > 0:
            ts = stamp() + 86400 * 200
            size = rng.randint(2 * MIB, 6 * MIB)
            self.round2.append((f'DCIM/Camera/{day(ts)}.jpg', size, ts))
            want -= size

    def summary(self):
        files = len(self.round1) + len(self.round2)
        gone = set(self.files_deleted)
        in_trees = sum(1 for p, _, _ in self.round1 if any(p.startswith(t + '/') for t in self.trees_deleted))
        written = sum(s for _, s, _ in self.round1) + sum(s for _, s, _ in self.round2)
        return (f'{files} files ({written / GIB:.1f} GiB) written, {len(gone) + in_trees} deleted '
                f'({in_trees} in {len(self.trees_deleted)} deleted folders)')


# ---- writers ------------------------------------------------------------------

def punch(image):
    """Turns the image's zero blocks into holes."""
    sh('fallocate', '--dig-holes', image)


class MtoolsWriter:
    """FAT32 through mtools, on the image file itself."""

    def __init__(self, image, stage):
        self.image, self.stage = image, stage
        self.env = dict(os.environ, MTOOLS_SKIP_CHECK='1')
        self.dirs = set()

    def _run(self, tool, *args):
        done = subprocess.run([tool, '-i', self.image, *args], env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        if done.returncode:
            raise SystemExit(f'{tool} failed: {done.stderr.strip()[:500]}')

    def _mkdirs(self, paths):
        wanted = []
        for p in paths:
            parts = p.split('/')[:-1]
            for k in range(1, len(parts) + 1):
                d = '/'.join(parts[:k])
                if d not in self.dirs:
                    self.dirs.add(d)
                    wanted.append(d)
        if wanted:
            self._run('mmd', *('::/' + d for d in wanted))

    def write(self, files, after_batch):
        # One mtools call per folder (a call costs tens of milliseconds, and
        # apps' caches are written a file here, a file there): the files are
        # taken folder by folder, each folder's in their order, up to a
        # batch's bytes a call.
        first = {}
        for p, _, _ in files:
            first.setdefault(p.rsplit('/', 1)[0], len(first))
        files = sorted(files, key=lambda f: first[f[0].rsplit('/', 1)[0]])
        k = 0
        while k < len(files):
            folder = files[k][0].rsplit('/', 1)[0]
            batch, size = [], 0
            while k < len(files) and files[k][0].rsplit('/', 1)[0] == folder and len(batch) < 400 and size < PUNCH_EVERY:
                batch.append(files[k])
                size += files[k][1]
                k += 1
            # A folder is made just before its first files, as a camera or
            # a phone makes it: its clusters lie among the files'.
            self._mkdirs([batch[0][0]])
            staged = []
            for p, s, ts in batch:
                src = os.path.join(self.stage, p.rsplit('/', 1)[1])
                with open(src, 'wb') as f:
                    f.truncate(s)
                os.utime(src, (ts, ts))
                staged.append(src)
            self._run('mcopy', '-o', *staged, '::/' + folder + '/')
            for src in staged:
                os.remove(src)
            after_batch(size)

    def delete(self, files, trees):
        for t in trees:
            self._run('mdeltree', '::/' + t)
        for k in range(0, len(files), 500):
            self._run('mdel', *('::/' + p for p in files[k:k + 500]))

    def close(self):
        pass


class MountWriter:
    """exFAT (FUSE driver on a loop device) and NTFS (ntfs-3g on the file)."""

    def __init__(self, kind, image):
        self.kind, self.image = kind, image
        self.mnt = tempfile.mkdtemp(prefix='lmr-card-mnt-')
        self.loop = None
        if kind == 'exfat':
            self.loop = subprocess.run(['losetup', '-f', '--show', image], capture_output=True, text=True,
                                       check=True).stdout.strip()
            sh('mount.exfat-fuse', '-o', 'big_writes', self.loop, self.mnt)
        else:
            sh('ntfs-3g', '-o', 'big_writes', image, self.mnt)
        self.zeros = bytes(MIB)

    def flush(self):
        """Sends what the driver wrote down to the image, so the punch sees it."""
        if self.loop:
            sh('blockdev', '--flushbufs', self.loop)

    def write(self, files, after_batch):
        made = set()
        size = 0
        for p, s, ts in files:
            path = os.path.join(self.mnt, p)
            folder = os.path.dirname(path)
            if folder not in made:
                os.makedirs(folder, exist_ok=True)
                made.add(folder)
            fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
            try:
                if self.kind == 'exfat':
                    # The driver allocates the clusters and writes them with
                    # zeros itself.
                    os.ftruncate(fd, s)
                else:
                    # ntfs-3g would make a sparse file of a truncate.
                    left = s
                    while left:
                        left -= os.write(fd, self.zeros[:min(left, MIB)])
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            finally:
                os.close(fd)
            os.utime(path, (ts, ts))
            size += s
            if size >= PUNCH_EVERY:
                after_batch(size)
                size = 0
        after_batch(size)

    def delete(self, files, trees):
        for t in trees:
            shutil.rmtree(os.path.join(self.mnt, t))
        for p in files:
            os.remove(os.path.join(self.mnt, p))

    def close(self):
        subprocess.run(['umount', self.mnt], check=True)
        os.rmdir(self.mnt)
        if self.loop:
            subprocess.run(['losetup', '-d', self.loop], check=True)


def build(kind, image, gib, seed, tmp):
    plan = Plan(gib, seed)
    print(f'{kind}: {plan.summary()}', flush=True)
    work = tempfile.mkdtemp(prefix='lmr-card-', dir=tmp)
    started = time.monotonic()
    try:
        raw = os.path.join(work, 'volume.img')
        with open(raw, 'wb') as f:
            f.truncate(gib * GIB)
        if kind == 'fat32':
            # 32 KiB clusters, as cards of this size come formatted; a
            # small test volume takes 4 KiB ones to stay FAT32.
            sh('mkfs.vfat', '-F', '32', '-s', '64' if gib >= 32 else '8', '-n', 'CARD', raw)
            writer = MtoolsWriter(raw, work)
        elif kind == 'exfat':
            sh('mkfs.exfat', '-L', 'CARD', raw)
            writer = MountWriter(kind, raw)
        elif kind == 'ntfs':
            sh('mkntfs', '-F', '-Q', '-q', '-L', 'CARD', raw, stderr=subprocess.DEVNULL)
            writer = MountWriter(kind, raw)
        else:
            raise SystemExit(f'unknown volume kind {kind}')
        written = pending = 0

        def after_batch(size):
            # Punched once a gigabyte or so has been written since the last time.
            nonlocal written, pending
            written += size
            pending += size
            if pending < PUNCH_EVERY:
                return
            pending = 0
            if hasattr(writer, 'flush'):
                writer.flush()
            punch(raw)
            print(f'{kind}: {written / GIB:5.1f} GiB written, {time.monotonic() - started:4.0f} s',
                  file=sys.stderr, flush=True)

        try:
            writer.write(plan.round1, after_batch)
            writer.delete(plan.files_deleted, plan.trees_deleted)
            writer.write(plan.round2, after_batch)
        finally:
            writer.close()
        punch(raw)
        partial = image + '.part'
        sh('cp', '--sparse=always', raw, partial)
        os.rename(partial, image)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f'{kind}: built {image} in {time.monotonic() - started:.0f} s', flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('kind', choices=('fat32', 'exfat', 'ntfs'))
    ap.add_argument('image')
    ap.add_argument('--gib', type=int, default=32)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--tmp', default='/dev/shm' if os.access('/dev/shm', os.W_OK) else None,
                    help='where the image is written before it is copied (default /dev/shm)')
    a = ap.parse_args()
    build(a.kind, os.path.abspath(a.image), a.gib, a.seed, a.tmp)
    return 0


if __name__ == '__main__':
    sys.exit(main())
