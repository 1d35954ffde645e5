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

Card layouts (card-fat32 card-exfat card-ntfs, also in the default; the
two card ones also inside an MBR disk, as cards are sold): the samples of
every role, and files of types the engine does not know, written the way
cameras and phones write them, into nested folders: 8.3 upper-case camera
names without long names (DCIM/100CANON/IMG_0001.JPG), phone long names
(DCIM/Camera/20240612_143015.jpg, Pictures/Screenshots/..., Music/...,
Download/...).  Then every other file is deleted and one folder with its
subfolder, and nothing is written afterwards.

"entry kept": the deleted files whose directory entry or file record the
engine's walk still finds under their path (a FAT short name whose first
letter stayed '_' counts as kept, not as named).
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

    def copy(self, paths, targets=None):
        for p, t in zip(paths, targets or [os.path.basename(p) for p in paths]):
            os.makedirs(os.path.dirname(os.path.join(self.mnt, t)), exist_ok=True)
            shutil.copy(p, os.path.join(self.mnt, t))
        os.sync()

    def delete(self, names):
        for n in names:
            os.remove(os.path.join(self.mnt, n))
        os.sync()

    def delete_folder(self, folder):
        shutil.rmtree(os.path.join(self.mnt, folder))
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
        self.folders = set()

    def copy(self, paths, targets=None):
        env = dict(os.environ, MTOOLS_SKIP_CHECK='1')
        for p, name in zip(paths, targets or [os.path.basename(p) for p in paths]):
            if self.kind == 'ext4':
                sh('debugfs', '-w', '-R', f'write "{p}" "{name}"', self.image)
                continue
            parts = name.split('/')[:-1]
            for k in range(1, len(parts) + 1):
                folder = '/'.join(parts[:k])
                if folder not in self.folders:
                    sh('mmd', '-i', self.image, '::' + folder, env=env)
                    self.folders.add(folder)
            sh('mcopy', '-i', self.image, '-o', p, '::' + name, env=env)

    def delete_folder(self, folder):
        sh('mdeltree', '-i', self.image, '::' + folder, env=dict(os.environ, MTOOLS_SKIP_CHECK='1'))

    def delete(self, names):
        for n in names:
            if self.kind == 'ext4':
                sh('debugfs', '-w', '-R', f'rm "{n}"', self.image)
            else:
                sh('mdel', '-i', self.image, '::' + n, env=dict(os.environ, MTOOLS_SKIP_CHECK='1'))

    def close(self):
        pass


class NamedFind(ctypes.Structure):
    """lmr_named_find of recovery_engine.h."""
    _fields_ = [('path', ctypes.c_char * 1024), ('size', ctypes.c_uint64), ('modified', ctypes.c_int64),
                ('created', ctypes.c_int64), ('accessed', ctypes.c_int64), ('state', ctypes.c_int32),
                ('run_count', ctypes.c_int32), ('runs', ctypes.c_void_p), ('file_system', ctypes.c_char * 8),
                ('head_free', ctypes.c_int32), ('runs_known', ctypes.c_int32)]


def walk_names(image):
    """Seconds the engine's walk for deleted files with their names takes
    on `image` (through its C interface), and the paths it names; (0, None)
    without the library."""
    lib_path = os.path.join(SRC, 'build', 'liblumarek-general.so')
    if not os.path.exists(lib_path):
        return 0.0, None
    lib = ctypes.CDLL(lib_path)
    lib.list_named_finds.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.POINTER(NamedFind))]
    lib.free_named_finds.argtypes = [ctypes.POINTER(NamedFind)]
    finds = ctypes.POINTER(NamedFind)()
    # The engine's notes on the volume go to the output: kept out of the table.
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, 'wb') as null:
        os.dup2(null.fileno(), 1)
    try:
        started = time.monotonic()
        n = lib.list_named_finds(image.encode(), ctypes.byref(finds))
        seconds = time.monotonic() - started
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    paths = {finds[k].path.decode(errors='replace') for k in range(max(n, 0))}
    if n > 0:
        lib.free_named_finds(finds)
    return seconds, paths


def entry_kept(path, named):
    """Whether the walk named the file at `path`: as it was, or with the
    first letter of its name lost ('_')."""
    folder, _, name = path.rpartition('/')
    lost = (folder + '/' if folder else '') + '_' + name[1:]
    return path in named or lost.upper() in {p.upper() for p in named}


def card_paths(files):
    """A path on a card for each sample, by its type, and the files of
    types the engine does not know; numbers count per folder."""
    counters = {}

    def count(key):
        counters[key] = counters.get(key, 0) + 1
        return counters[key]

    out = []
    for f in files:
        t, suffix = f['type'], f['name'].rsplit('.', 1)[-1]
        if t == 'jpg':
            # Every other photo from the camera, the others from the phone.
            if count('jpg') % 2:
                p = 'DCIM/100CANON/IMG_{:04d}.JPG'.format(count('canon'))
            else:
                p = 'DCIM/Camera/20240612_1430{:02d}.jpg'.format(count('camera'))
        elif t == 'mp4' and suffix == 'mov':
            p = 'DCIM/100CANON/MVI_{:04d}.MOV'.format(count('canon'))
        elif t == 'mp4':
            p = 'DCIM/Camera/VID_20240612_1431{:02d}.{}'.format(count('camera'), suffix)
        elif t == 'png':
            p = 'Pictures/Screenshots/Screenshot_20240612-1432{:02d}.png'.format(count('shots'))
        elif t in ('gif', 'bmp'):
            # The folder deleted whole, with a folder inside.
            sub = '' if count('holiday') % 2 else 'Edited/'
            p = 'Pictures/Holiday 2023/{}Beach day {}.{}'.format(sub, count('beach'), suffix)
        elif t == 'mp3' or (t == 'rif' and suffix == 'wav'):
            n = count('music')
            p = 'Music/Nordlicht/Winter Songs/{:02d} Track {}.{}'.format(n, n, suffix)
        elif t == 'amr':
            p = 'Recordings/Voice {:03d}.amr'.format(count('voice'))
        elif t in ('rif', 'wmv'):
            p = 'Movies/Clip {}.{}'.format(count('movies'), suffix)
        elif t == 'sqlite':
            p = 'Android/data/com.example.notes/databases/{}'.format(f['name'])
        elif t == 'txt':
            p = 'Documents/Notes/{}'.format(f['name'])
        else:
            p = 'Download/{}'.format(f['name'])
        out.append(p)
    return out


def unknown_files(work, files, seed=23):
    """Files of types the engine does not know: two of random bytes
    (.xyz), and a sample zip and text (taken out of `files`) under
    suffixes no probe claims.  (source, path) pairs."""
    import random
    rng = random.Random(seed)
    made = []
    for k, size in enumerate((23000, 61000)):
        path = os.path.join(work, f'unknown{k}.xyz')
        with open(path, 'wb') as fh:
            fh.write(bytes(rng.getrandbits(8) for _ in range(size)))
        made.append((path, f'Documents/Projects/scan {k + 1}.xyz'))
    for kind, target in (('zip', 'Documents/Keynote/Plan.pages'), ('txt', 'Documents/Projects/notes.xyz')):
        sample = next((f for f in files if f['type'] == kind and f['role'] == 'positive'), None)
        if sample:
            files.remove(sample)
            made.append((os.path.join(work, sample['name']), target))
    return made


def build_card(kind, image, size_kib, sources, targets, deleted, folder):
    """Formats `image`, writes `sources` at `targets` in order, deletes the
    files of `deleted` and `folder` with all it holds; nothing after."""
    if os.path.exists(image):
        os.remove(image)
    with open(image, 'wb') as f:
        f.truncate(size_kib * 1024)
    if kind == 'fat32':
        # 4 KiB clusters, as on a card; FAT32 wants 65525 clusters or more.
        with open(image, 'wb') as f:
            f.truncate(max(size_kib, 272 * 1024) * 1024)
        sh('mkfs.vfat', '-F', '32', '-s', '8', '-n', 'CANON', image)
        writer = ToolWriter(kind, image)
    elif kind == 'exfat':
        sh('mkfs.exfat', '-L', 'CARD', image)
        writer = MountedWriter(kind, image)
    else:
        sh('mkntfs', '-F', '-Q', '-q', '-L', 'DISK', image)
        writer = MountedWriter(kind, image)
    try:
        writer.copy(sources, targets)
        writer.delete([t for t in targets if t in deleted and not t.startswith(folder + '/')])
        writer.delete_folder(folder)
    finally:
        writer.close()


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
    kinds = [a for a in sys.argv[2:] if not os.path.isfile(a)] or ['card-fat32', 'card-exfat', 'card-ntfs', 'exfat',
                                                                    'ntfs', 'fat16', 'fat32', 'ext4']
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
            def key(piece):
                return hashlib.blake2b(piece, digest_size=12).digest()
            sectors = {key(data[at:at + 512]) for at in range(0, len(data) - 511, 512)}
            intact, split = set(), set()
            for f in gone:
                with open(f.get('src') or os.path.join(work, f['name']), 'rb') as fh:
                    content = fh.read()
                whole = len(content) // 512 * 512
                if not all(key(content[at:at + 512]) in sectors for at in range(0, whole, 512)):
                    continue
                tail = content[whole:]
                if tail and not any(data[at:at + len(tail)] == tail for at in range(0, len(data), 512)):
                    continue
                intact.add(f['name'])
                if data.find(content) < 0:
                    split.add(f['name'])
            return intact, split

        misses = set()  # card files not back under their name and folder

        def measure(label, image, survived, args=(), card=False):
            intact, split = survived
            out = os.path.join(work, 'out')
            shutil.rmtree(out, ignore_errors=True)
            started = time.monotonic()
            subprocess.run([carve, *args, '-o', out, image], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seconds = time.monotonic() - started
            got = {sha(os.path.join(r, n)) for r, _, names in os.walk(out) for n in names}
            back = sum(f['sha256'] in got for f in gone if f['name'] in intact)
            # Under its own name in the output folder's root, where it was.
            named = sum(os.path.isfile(os.path.join(out, f['path'])) and sha(os.path.join(out, f['path'])) == f['sha256']
                        for f in gone if f['name'] in intact)
            walk, named_paths = walk_names(image)
            kept = (sum(entry_kept(f['path'], named_paths) for f in gone if f['name'] in intact)
                    if named_paths is not None else 0)
            back_split = sum(f['sha256'] in got for f in gone if f['name'] in split)
            wrong = sum(f['sha256'] in got for f in live)
            share = 100 * back / len(intact) if intact else 0
            named_share = 100 * named / len(intact) if intact else 0
            if card:
                known = {f['path'].upper() for f in gone}
                for n in named_paths or ():
                    if n.upper() not in known and not any(entry_kept(f['path'], {n}) for f in gone):
                        misses.add('(no deleted file) ' + n)
                for f in gone:
                    if f['name'] in intact and not (os.path.isfile(os.path.join(out, f['path'])) and
                                                    sha(os.path.join(out, f['path'])) == f['sha256']):
                        misses.add(f['path'] + ('' if f['sha256'] in got else ' (not exported exactly)'))
            print(f"| {label} | {back}/{len(intact)} ({share:.1f}%) | {named}/{len(intact)} ({named_share:.1f}%) | "
                  f"{kept}/{len(intact)} | {back_split}/{len(split)} | {len(gone) - len(intact)} | {wrong}/{len(live)} | "
                  f"{100 * walk / seconds:.1f}% |", flush=True)

        print('| layout | deleted recovered byte-exact | of them under their name and folder | entry kept '
              '| of them in pieces | deleted overwritten | live exported | name walk / run |')
        print('|---|---|---|---|---|---|---|---|')
        for f in files:
            f['path'] = f['name']
        # The card layouts: every sample of any role, and unknown types.
        card_files = [dict(f) for f in items if 4096 <= f['size'] <= 3_000_000]
        card_files.sort(key=lambda i: i['name'])
        for f in card_files:
            if not os.path.exists(os.path.join(work, f['name'])):
                shutil.copy(os.path.join(corpus, f['name']), os.path.join(work, f['name']))
        unknown = unknown_files(work, card_files)
        for f, p in zip(card_files, card_paths(card_files)):
            f['path'] = p
        for path, target in unknown:
            card_files.append({'name': os.path.basename(target), 'path': target, 'sha256': sha(path), 'src': path})
        for f in card_files:
            f.setdefault('src', os.path.join(work, f['name']))
            f['name'] = f['path']  # the path tells the files apart
        holiday = 'Pictures/Holiday 2023'
        # About half of each folder's files deleted, chosen at random
        # (seeded), and the holiday folder whole.
        import random
        rng = random.Random(7)
        by_folder = {}
        for f in card_files:
            by_folder.setdefault(f['path'].rpartition('/')[0], []).append(f['path'])
        card_deleted = {p for p in (f['path'] for f in card_files) if p.startswith(holiday + '/')}
        for folder, members in sorted(by_folder.items()):
            card_deleted.update(rng.sample(members, (len(members) + 1) // 2))
        card_total = sum(os.path.getsize(f['src']) for f in card_files)
        card_kib = (card_total * 2 // 1024 // 1024 + 16) * 1024
        for kind in [k for k in kinds if k.startswith('card-')]:
            fs = kind[5:]
            img = os.path.join(work, kind + '.img')
            try:
                build_card(fs, img, card_kib, [f['src'] for f in card_files], [f['path'] for f in card_files],
                           card_deleted, holiday)
            except (subprocess.CalledProcessError, OSError) as e:
                err = e.stderr.decode(errors='replace').strip() if getattr(e, 'stderr', None) else str(e)
                print(f'| {kind} | not built: {err} | | | | | | |')
                continue
            gone = [f for f in card_files if f['path'] in card_deleted]
            live = [f for f in card_files if f['path'] not in card_deleted]
            survived = survivors(img)
            volume_kib = os.path.getsize(img) // 1024
            misses.clear()
            measure(kind, img, survived, card=True)
            measure(kind + ' --no-deep', img, survived, ['--no-deep'], card=True)
            if fs != 'ntfs':
                disk = os.path.join(work, 'mbr.img')
                subprocess.run([os.path.join(SRC, 'tests/fixtures/make_disk.sh'), 'mbr', disk, img],
                               stdout=subprocess.DEVNULL, check=True)
                measure(f'MBR disk around {kind}', disk, survived)
                measure(f'MBR disk around {kind} --no-deep', disk, survived, ['--no-deep'])
                os.remove(disk)
            os.remove(img)
            print(f'{kind}: {len(card_files)} files ({len(gone)} deleted), {card_total} bytes, volume of {volume_kib} KiB'
                  + ''.join(f'; not under its name: {m}' for m in sorted(misses)))
        gone = [f for f in files if f['name'] in deleted]
        live = [f for f in files if f['name'] not in deleted]
        for kind in [k for k in kinds if not k.startswith('card-')]:
            img = os.path.join(work, kind + '.img')
            try:
                build_volume(kind, img, size_kib, paths[:half], paths[half:], deleted)
            except (subprocess.CalledProcessError, OSError) as e:
                err = e.stderr.decode(errors='replace').strip() if getattr(e, 'stderr', None) else str(e)
                print(f'| {kind} | not built: {err} | | | | | | |')
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
