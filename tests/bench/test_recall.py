#!/usr/bin/env python3
"""The recall benchmark's own logic: where it places the files, which ones
it deletes, how the volumes of files in pieces are built and their files'
places read, how it judges exports; and small runs on the built carver
(LUMAREK_CARVE) when mkfs.vfat, mtools and e2fsprogs are there."""

import contextlib
import sys
import io
import json
import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "bench"))
import recall  # noqa: E402  (bench/recall.py, found through the path above)

SECTOR = recall.SECTOR


def sample(name, type_, size, rng, role="positive", data=None):
    data = data if data is not None else rng.randbytes(size)
    suffix = name.rsplit(".", 1)[1]
    return recall.Sample(name, suffix, type_, role, data, recall.hashlib.sha256(data).hexdigest())


class Layout(unittest.TestCase):
    def test_raw_image_holds_every_file_whole_at_a_sector_start_between_gaps_of_both_kinds(self):
        rng = random.Random(3)
        sizes = [1, 511, 512, 513, 5000, 70000] * 4
        samples = [sample(f"f{i:02}.bin", "bin", n, rng) for i, n in enumerate(sizes)]
        pieces, placements = recall.layout_raw(samples, random.Random(7))
        image = b"".join(pieces)
        self.assertEqual(sorted(s.name for s, _ in placements), sorted(s.name for s in samples))
        self.assertGreater(placements[0][1], 0)
        end = 0
        kinds = set()
        for s, off in placements:
            self.assertEqual(off % SECTOR, 0, s.name)
            self.assertGreaterEqual(off, end, s.name)
            self.assertEqual(image[off:off + len(s.data)], s.data, s.name)
            gap = image[end:off]
            if len(gap) >= SECTOR:
                kinds.add("zeros" if gap.count(0) == len(gap) else "random")
            end = off + len(s.data)
        self.assertEqual(kinds, {"zeros", "random"})
        self.assertLessEqual(len(image) - end, SECTOR * (recall.MAX_GAP_SECTORS + 1))

        again, _ = recall.layout_raw(samples, random.Random(7))
        self.assertEqual(b"".join(again), image)
        _, other = recall.layout_raw(samples, random.Random(8))
        self.assertNotEqual([s.name for s, _ in other], [s.name for s, _ in placements])

    def test_half_of_each_type_and_role_is_deleted_spread_over_suffixes(self):
        rng = random.Random(1)
        samples = ([sample(f"d{i}.docx", "zip", 100, rng) for i in range(2)]
                   + [sample(f"x{i}.xlsx", "zip", 100, rng) for i in range(2)]
                   + [sample("z.zip", "zip", 100, rng)]
                   + [sample(f"j{i}.jpg", "jpg", 100, rng) for i in range(4)]
                   + [sample("p.png", "png", 100, rng), sample("small.png", "png", 100, rng, role="negative")])
        deleted = recall.choose_deleted(samples, random.Random(5))
        self.assertEqual(deleted, recall.choose_deleted(samples, random.Random(5)))
        groups = {}
        for s in samples:
            groups.setdefault((s.type, s.role), []).append(s)
        for key, members in groups.items():
            n = sum(1 for s in members if s.name in deleted)
            self.assertIn(n, (len(members) // 2, (len(members) + 1) // 2), key)
        self.assertEqual(sum(1 for n in deleted if n.startswith("d")), 1)
        self.assertEqual(sum(1 for n in deleted if n.startswith("x")), 1)
        # Two of the three groups of odd size take the extra file.
        self.assertEqual(len(deleted), 6)
        # A type of one file is deleted with some seeds and live with others.
        fates = {"p.png" in recall.choose_deleted(samples, random.Random(seed)) for seed in range(8)}
        self.assertEqual(fates, {True, False})


class Judging(unittest.TestCase):
    def setUp(self):
        rng = random.Random(11)
        self.a = sample("a.docx", "zip", 3000, rng)
        self.b = sample("b.xlsx", "zip", 5000, rng)
        self.c = sample("c.jpg", "jpg", 4000, rng)
        self.d = sample("d.jpg", "jpg", 2000, rng)
        self.e = sample("e.png", "png", 1500, rng, role="negative")
        self.live = sample("live.pdf", "pdf", 2500, rng)
        self.f = sample("f.gif", "gif", 3000, rng)
        self.v1 = sample("v1.pdf", "pdf", 3000, rng)
        # A version of v1 one byte shorter, not counted (as texts of 5,000
        # and 5,001 bytes are in the corpus).
        self.v2 = sample("v2.pdf", "pdf", 2999, rng, role="edge", data=self.v1.data[:-1])
        self.placed = [self.a, self.b, self.c, self.d, self.e, self.f, self.live, self.v1, self.v2]
        self.expected = {s.name for s in self.placed if s.role == "positive"} - {"live.pdf"}
        self.judge = recall.Judge(self.placed, self.expected, recall.family_map(self.placed))
        self.junk = rng.randbytes(1200)

    def judged(self, exports):
        verdicts = {v.sample.name: v for v in self.judge.run(exports)}
        rows = {r[0]: r[1:] for r in recall.tally(list(verdicts.values()), exports, self.expected, self.judge)}
        return verdicts, rows

    def test_exact_prefix_only_missed_and_precision(self):
        padded_c = self.c.data + bytes(-len(self.c.data) % SECTOR)
        exports = [
            recall.Export("1.docx", "docx", 0, self.a.data),
            recall.Export("2.docx", "docx", 0, self.a.data),  # the same file found twice
            recall.Export("3.zip", "zip", 0, self.b.data[:2048]),  # cut short, same family
            recall.Export("4.zip", "zip", 0, self.b.data[1024:2048]),  # a piece
            recall.Export("5.jpg", "jpg", 0, padded_c + self.d.data),  # runs over into the next file
            recall.Export("6.png", "png", 0, self.d.data[:1024]),  # cut short, but as another type
            recall.Export("7.png", "png", 0, self.e.data),  # a file not counted
            recall.Export("8.pdf", "pdf", 0, self.live.data),  # a live file
            recall.Export("9.gif", "gif", 0, self.f.data[:1536] + self.junk[:512]),  # f, then other bytes
            recall.Export("10.bin", "bin", 0, self.junk),
        ]
        v, rows = self.judged(exports)

        self.assertEqual(v["a.docx"].kind, "exact")
        self.assertIn("exported 2 times", v["a.docx"].notes)
        self.assertEqual(v["b.xlsx"].kind, "short")
        self.assertEqual(v["c.jpg"].kind, "long")
        self.assertEqual(v["d.jpg"].kind, "missed")
        self.assertTrue(any("another type" in n for n in v["d.jpg"].notes), v["d.jpg"].notes)
        self.assertTrue(any("5.jpg" in n and "the whole file" in n for n in v["d.jpg"].notes), v["d.jpg"].notes)
        self.assertEqual(v["f.gif"].kind, "missed")
        self.assertEqual(v["f.gif"].notes, ["9.gif: its first 1,536 B, then other bytes (2,048 B in all)"])

        kinds = {e.name: e.kind for e in exports}
        self.assertEqual(kinds["7.png"], "neutral")
        self.assertEqual(kinds["8.pdf"], "neutral")
        self.assertEqual(kinds["1.docx"], "exact")
        what = {e.name: e.what for e in exports}
        self.assertIn("bytes 1,024-2,048 of b.xlsx", what["4.zip"])
        self.assertIn("runs over the start of d.jpg", what["5.jpg"])
        self.assertEqual(what["10.bin"], "matches no sample (gap or volume bytes)")

        #                files exact prefix missed recall exports false precision
        self.assertEqual(rows["zip"], [2, 1, 1, 0, "50.0%", 4, 2, "50.0%"])
        self.assertEqual(rows["jpg"], [2, 0, 1, 1, "0.0%", 1, 1, "0.0%"])
        self.assertEqual(rows["png"], [0, 0, 0, 0, "–", 1, 1, "0.0%"])
        self.assertEqual(rows["gif"], [1, 0, 0, 1, "0.0%", 1, 1, "0.0%"])
        self.assertEqual(rows["pdf"], [1, 0, 0, 1, "0.0%", 0, 0, "–"])
        self.assertEqual(rows["bin"], [0, 0, 0, 0, "–", 1, 1, "0.0%"])
        self.assertEqual(rows["total"], [6, 1, 2, 3, "16.7%", 8, 6, "25.0%"])

    def test_versions_of_one_file_are_told_apart_by_how_far_an_export_follows_them(self):
        # An exact copy of the shorter version, not counted, is no find of
        # the longer one, though it is its beginning.
        v, _ = self.judged([recall.Export("1.pdf", "pdf", 0, self.v2.data)])
        self.assertEqual(v["v2.pdf"].kind, "exact")
        self.assertEqual(v["v1.pdf"].kind, "missed")
        self.assertEqual(v["v1.pdf"].notes, ["nothing exported holds any of it"])
        # The longer one and more bytes: a find of it that runs over.
        v, _ = self.judged([recall.Export("1.pdf", "pdf", 0, self.v1.data + self.junk)])
        self.assertEqual(v["v1.pdf"].kind, "long")
        self.assertEqual(v["v2.pdf"].kind, "missed")
        # Inside another export: the longer one lies there.
        v, _ = self.judged([recall.Export("1.jpg", "jpg", 0, self.junk[:SECTOR] + self.v1.data)])
        self.assertEqual(v["v1.pdf"].notes, ["1.jpg (.jpg, 3,512 B) holds the whole file from its byte 512"])
        self.assertEqual(v["v2.pdf"].notes, ["nothing exported holds any of it"])

    def test_files_and_exports_shorter_than_a_sector(self):
        tiny = sample("tiny.gif", "gif", 300, random.Random(2))
        self.judge = recall.Judge(self.placed + [tiny], self.expected | {"tiny.gif"}, recall.family_map(self.placed))
        v, _ = self.judged([recall.Export("1.gif", "gif", 0, tiny.data + self.junk[:200]),
                            recall.Export("2.zip", "zip", 0, self.b.data[:200])])
        self.assertEqual(v["tiny.gif"].kind, "long")
        self.assertEqual(v["b.xlsx"].kind, "short")

    def test_an_export_inside_a_file_off_the_sector_grid_is_named(self):
        exports = [recall.Export("1.jpg", "jpg", 0, self.c.data[700:1900])]
        self.judged(exports)
        self.assertEqual(exports[0].what, "inside c.jpg from its byte 700")


def have(*tools):
    return all(shutil.which(t) for t in tools)


def u32s(block):
    return list(struct.unpack(f"<{len(block) // 4}I", block))


class Layouts(unittest.TestCase):
    STAT = """Inode: 12   Type: regular    Mode:  0644   Flags: 0x0
User:     0   Group:     0   Project:     0   Size: 290000
BLOCKS:
(0-11):786-797, (IND):798, (12-267):799-1054, (DIND):1055, (IND):1056, (268):1057,
(270-282):1058-1070
TOTAL: 285
"""

    def test_debugfs_blocks_data_runs_indirect_blocks_and_blocks_left_out(self):
        lay = recall.parse_debugfs_blocks(self.STAT, 1024)
        self.assertEqual(lay.runs, [(786, 12), (799, 256), (1057, 1), (1058, 13)])
        self.assertEqual(lay.at, [0, 12, 268, 270])
        self.assertEqual(lay.meta, [798, 1055, 1056])
        self.assertEqual(lay.length, 284)  # 290,000 B in 1 KiB blocks
        # Block 269 is not stored (zeros), nor are 283 on.
        self.assertEqual(lay.shape(), "sparse")
        whole = recall.Layout([(786, 12), (798, 20)], at=[0, 12], length=32)
        self.assertEqual(whole.shape(), "whole")
        indirect = recall.Layout([(786, 12), (799, 256), (1057, 4)], meta=[798, 1055, 1056], at=[0, 12, 268],
                                 length=272)
        self.assertEqual(indirect.shape(), "indirect")
        # A gap of another file's block, or data out of order, is a fragment.
        self.assertEqual(recall.Layout([(786, 12), (800, 4)], meta=[798]).shape(), "fragmented")
        self.assertEqual(recall.Layout([(900, 12), (786, 4)]).shape(), "fragmented")
        # In the free space alone the blocks in use between the runs are not
        # there; the file's own indirect blocks are, and free blocks of others.
        in_use = recall.FreeMap([(900, 1000), (700, 810)])
        self.assertTrue(in_use(699) and in_use(811) and in_use(899) and in_use(1001))
        self.assertFalse(in_use(700) or in_use(810) or in_use(900) or in_use(1000))
        self.assertEqual(recall.Layout([(786, 12), (900, 4)]).shape(in_use), "fragmented")  # 798-810 are free
        self.assertEqual(recall.Layout([(800, 11), (900, 4)]).shape(in_use), "whole")
        self.assertEqual(recall.Layout([(786, 12), (799, 12), (900, 4)], meta=[798]).shape(in_use), "indirect")

    def test_mshowfat_chains(self):
        text = "::/big name.bin <15-26> <43-62>\n<164-717>\n::/one.png <7>\n::/b2 <27-42>\n"
        lays = recall.parse_mshowfat(text)
        self.assertEqual(lays["big name.bin"].runs, [(15, 12), (43, 20), (164, 554)])
        self.assertEqual(lays["one.png"].runs, [(7, 1)])
        self.assertEqual(lays["b2"].shape(), "whole")
        self.assertEqual(lays["big name.bin"].shape(), "fragmented")

    def test_a_layout_read_back_puts_runs_in_place_and_zeros_for_blocks_left_out(self):
        with tempfile.TemporaryDirectory() as tmp:
            image = os.path.join(tmp, "v.img")
            blocks = [bytes([i]) * 4 for i in range(16)]
            with open(image, "wb") as f:
                f.write(b"".join(blocks))
            lay = recall.Layout([(9, 2), (3, 1)], at=[0, 3], length=5)
            self.assertEqual(recall.read_layout_bytes(image, lay, 18, 4),
                             blocks[9] + blocks[10] + bytes(4) + blocks[3] + bytes(2))
            self.assertEqual(recall.read_layout_bytes(image, recall.Layout([(6, 2)]), 6, 4, base=-8),
                             blocks[4] + blocks[5][:2])


@unittest.skipUnless(have("mkfs.vfat", "mcopy", "mdel", "mshowfat"), "needs mkfs.vfat and mtools")
class FatInterleaved(unittest.TestCase):
    CLUSTER = 512

    def fat_walk(self, image, first):
        """Clusters of the chain from first, read from the first FAT."""
        with open(image, "rb") as f:
            boot = f.read(SECTOR)
            f.seek(int.from_bytes(boot[14:16], "little") * SECTOR)
            fat = f.read(int.from_bytes(boot[36:40], "little") * SECTOR)
        chain = [first]
        while True:
            nxt = int.from_bytes(fat[4 * chain[-1]:4 * chain[-1] + 4], "little") & 0x0FFFFFFF
            if nxt >= 0x0FFFFFF8:
                return chain, fat
            chain.append(nxt)

    def test_second_round_splits_files_around_live_ones_and_the_count_agrees_with_the_fat(self):
        rng = random.Random(4)
        sizes = [700, 3000, 1200, 9000, 2500, 600, 5000, 14000, 1800, 4100, 800, 7000, 2200, 3500, 12000, 900]
        samples = [sample(f"f{i:02}.bin", "bin", n, rng) for i, n in enumerate(sizes)]
        samples += [sample(f"n{i}.bin", "bin", 1500 + 700 * i, rng, role="negative") for i in range(4)]
        counted = {s.name for s in samples if s.role == "positive"}
        deleted = recall.choose_deleted(samples, random.Random(9))
        with tempfile.TemporaryDirectory() as tmp:
            for s in samples:
                with open(os.path.join(tmp, s.name), "wb") as f:
                    f.write(s.data)
            image = os.path.join(tmp, "v.img")
            vol = recall.write_fat32_interleaved(image, tmp, samples, deleted, random.Random(9), self.CLUSTER,
                                                 counted)
            _, holes, _ = recall.plan_interleaved(samples, deleted, random.Random(9), counted)
            self.assertTrue(holes and vol.overwritten <= holes, (holes, vol.overwritten))
            # The uncounted files make the holes first.
            self.assertTrue(all(n.startswith("n") for n in holes), holes)
            base, unit, _ = recall.fat_geometry(image)
            self.assertEqual(unit, self.CLUSTER)
            by_name = {s.name: s for s in samples}
            split = 0
            for name, lay in vol.layouts.items():
                data = by_name[name].data
                if name in vol.overwritten:
                    self.assertNotEqual(recall.read_layout_bytes(image, lay, len(data), unit, base), data)
                    continue
                self.assertEqual(recall.read_layout_bytes(image, lay, len(data), unit, base), data, name)
                clusters = list(lay.blocks())
                self.assertEqual(len(clusters), -(-len(data) // unit), name)
                if lay.shape() == "fragmented":
                    split += 1
                    # What a carver that copies from the first cluster on gets is not the file.
                    with open(image, "rb") as f:
                        f.seek(base + clusters[0] * unit)
                        self.assertNotEqual(f.read(len(data)), data, name)
            # The deleted files' clusters are free now; the live files' chains
            # (walked in the FAT) run around them.
            _, fat = self.fat_walk(image, 2)
            free = {c for n, lay in vol.layouts.items() if n not in vol.overwritten for c in lay.blocks()}
            self.assertTrue(all(fat[4 * c:4 * c + 4] == bytes(4) for c in free))
            live = recall.fat_chains(image, sorted(set(by_name) - vol.deleted))
            for name, lay in live.items():
                chain, _ = self.fat_walk(image, lay.runs[0][0])
                self.assertEqual(chain, list(lay.blocks()), name)
            live_split = sum(1 for lay in live.values() if lay.shape() == "fragmented")
            # Read as one stream, the free space leaves the live files out:
            # a deleted file split around live ones only is whole there.
            in_use = recall.fat_free(image)
            self.assertEqual(sorted(c for c in range(2, 2 + len(fat) // 4 - 2) if not in_use(c))[:len(free)],
                             sorted(c for c in range(2, 2 + len(fat) // 4 - 2)
                                    if fat[4 * c:4 * c + 4] == bytes(4))[:len(free)])
            for name, lay in vol.layouts.items():
                if name in vol.overwritten:
                    continue
                around_live = all(in_use(c) for (a, n), (b, _) in zip(lay.runs, lay.runs[1:]) for c in range(a + n, b))
                self.assertEqual(lay.shape(in_use), "whole" if around_live else "fragmented", name)
            self.assertGreaterEqual(split, 1)
            self.assertGreaterEqual(split + live_split, 2)
            # The report counts the counted, intact ones among them.
            inp = recall.Input("fat32-interleaved", "t", image, False, counted & (vol.deleted - vol.overwritten),
                               set(by_name) - vol.deleted, vol)
            expected_split = sum(1 for n in inp.expected if vol.layouts[n].shape() == "fragmented")
            self.assertTrue(recall.pieces_line(inp).startswith(
                f"{expected_split} of {len(inp.expected)} deleted files are in pieces ({expected_split} fragmented)"))

    def test_second_round_order_has_each_hole_end_cut_a_deleted_and_a_live_file_in_turn(self):
        rng = random.Random(1)
        files = [sample(f"{'d' if i % 2 else 'l'}{i}.bin", "bin", n * 100, rng)
                 for i, n in enumerate([5, 30, 3, 12, 7, 9, 4, 25, 6, 8, 2, 40])]
        deleted = {s.name for s in files if s.name.startswith("d")}
        holes = [(10, 10), (30, 6), (50, 10), (70, 8)]
        order = recall.order_second_round(files, holes, deleted, 100)
        self.assertEqual(sorted(s.name for s in order), sorted(s.name for s in files))
        # Replay first-free allocation: which file does each hole's end cut?
        room, cut = [c for _, c in holes], []
        for s in order:
            need = len(s.data) // 100
            pieces = 0
            while need and room:
                taken = min(need, room[0])
                need, room[0], pieces = need - taken, room[0] - taken, pieces + 1
                if room[0] == 0:
                    room.pop(0)
            if pieces + (1 if need else 0) > 1:
                cut.append(s.name)
        self.assertGreaterEqual(len(cut), 3)
        self.assertEqual([n[0] for n in cut[:3]], ["d", "l", "d"])


@unittest.skipUnless(have("mke2fs", "debugfs"), "needs e2fsprogs")
class ExtVolumes(unittest.TestCase):
    """ext volumes of small synthetic files, past 12 blocks and past the
    double indirect block."""

    def build(self, tmp, fs, block, via, sizes):
        rng = random.Random(6)
        samples = [sample(f"f{i:02}.bin", "bin", n, rng) for i, n in enumerate(sizes)]
        # A file with a block of zeros, which debugfs leaves out.
        zeros = rng.randbytes(20 * block) + bytes(block) + rng.randbytes(3 * block)
        samples.append(sample("zeros.bin", "bin", 0, rng, data=zeros))
        for s in samples:
            with open(os.path.join(tmp, s.name), "wb") as f:
                f.write(s.data)
        deleted = {s.name for s in samples if s.name != "f00.bin"}
        image = os.path.join(tmp, f"{fs}.img")
        vol = recall.write_ext(image, tmp, samples, deleted, random.Random(2), fs, block, via)
        return image, samples, vol

    def check_deleted(self, image, samples, vol, block):
        for s in samples:
            if s.name not in vol.deleted:
                continue
            lay = vol.layouts[s.name]
            self.assertEqual(recall.read_layout_bytes(image, lay, len(s.data), block), s.data, s.name)
            out, _ = recall.debugfs(image, [f"testb {b}" for b in list(lay.blocks()) + lay.meta])
            self.assertNotIn("marked in use", out, f"{s.name}: blocks still in use after deletion")
        out, _ = recall.debugfs(image, ["ls -l /"])
        self.assertIn("f00.bin", out)
        self.assertNotIn("f01.bin", out)

    def test_debugfs_ext2_1k_files_past_12_blocks_keep_their_indirect_blocks_after_deletion(self):
        with tempfile.TemporaryDirectory() as tmp:
            sizes = [3000, 12 * 1024, 12 * 1024 + 1, 40_000, 300_000]
            image, samples, vol = self.build(tmp, "ext2", 1024, "debugfs", sizes)
            self.assertIn("debugfs", vol.made)
            self.check_deleted(image, samples, vol, 1024)
            shapes = {n: lay.shape() for n, lay in vol.layouts.items()}
            self.assertEqual(shapes["f01.bin"], "whole")  # 12 blocks: no indirect block
            self.assertEqual(vol.layouts["f01.bin"].meta, [])
            for n in ("f02.bin", "f03.bin", "f04.bin"):
                self.assertEqual(shapes[n], "indirect", n)
            self.assertEqual(shapes["zeros.bin"], "sparse")
            # 300,000 B: 293 blocks, past the 268 that one indirect block
            # reaches: the double indirect one and one below it.
            big = vol.layouts["f04.bin"]
            self.assertEqual(len(big.meta), 3)
            with open(image, "rb") as f:
                f.seek(big.meta[0] * 1024)
                single = u32s(f.read(1024))
                f.seek(big.meta[1] * 1024)
                double = u32s(f.read(1024))
            data = list(big.blocks())
            # Deleted by debugfs, the indirect blocks still hold the data's numbers.
            self.assertEqual(single, data[12:268])
            self.assertEqual(double[:1], big.meta[2:])
            self.assertEqual(double[1:], [0] * 255)
            with open(image, "rb") as f:
                f.seek(big.meta[2] * 1024)
                self.assertEqual(u32s(f.read(1024))[:25], data[268:])
            # The single indirect block lies right after the 12th data block.
            self.assertEqual(big.meta[0], data[11] + 1)

    def test_debugfs_ext3_4k(self):
        with tempfile.TemporaryDirectory() as tmp:
            image, samples, vol = self.build(tmp, "ext3", 4096, "debugfs", [5000, 60_000, 200_000])
            self.check_deleted(image, samples, vol, 4096)
            self.assertEqual(vol.layouts["f01.bin"].shape(), "indirect")
            out = subprocess.run(["dumpe2fs", "-h", image], capture_output=True, text=True).stdout
            self.assertIn("has_journal", out)
            self.assertNotIn("extent", out)

    def test_the_kernel_through_a_loop_mount(self):
        with tempfile.TemporaryDirectory() as tmp:
            if not recall.loop_mount_works(tmp):
                self.skipTest("no loop mount here (not root, or no loop device)")
            image, samples, vol = self.build(tmp, "ext3", 1024, "kernel", [3000, 40_000, 300_000])
            self.assertIn("kernel", vol.made)
            self.check_deleted(image, samples, vol, 1024)
            self.assertTrue(vol.layouts["f02.bin"].meta)
            # The kernel writes blocks of zeros.
            self.assertFalse(vol.layouts["zeros.bin"].sparse())

    def test_an_export_read_along_the_layout_is_exact_and_a_copy_of_the_whole_range_is_not(self):
        with tempfile.TemporaryDirectory() as tmp:
            image, samples, vol = self.build(tmp, "ext2", 1024, "debugfs", [3000, 40_000])
            s = next(x for x in samples if x.name == "f01.bin")
            lay = vol.layouts[s.name]
            good = recall.read_layout_bytes(image, lay, len(s.data), 1024)
            with open(image, "rb") as f:
                f.seek(lay.runs[0][0] * 1024)
                whole_range = f.read(len(s.data))
            judge = recall.Judge(samples, {s.name}, recall.family_map(samples))
            verdicts = {v.sample.name: v for v in judge.run([recall.Export("1.bin", "bin", 0, good)])}
            self.assertEqual(verdicts[s.name].kind, "exact")
            # The whole range holds the indirect block after the 12th block.
            verdicts = {v.sample.name: v for v in judge.run([recall.Export("2.bin", "bin", 0, whole_range)])}
            self.assertEqual(verdicts[s.name].kind, "missed")
            self.assertEqual(verdicts[s.name].notes, ["2.bin: its first 12,288 B, then other bytes (40,000 B in all)"])


@unittest.skipUnless(os.environ.get("LUMAREK_CARVE") and have("mkfs.vfat", "mcopy", "mdel", "mshowfat", "mke2fs",
                                                               "debugfs"),
                     "needs LUMAREK_CARVE, mkfs.vfat, mtools and e2fsprogs")
class CarverRun(unittest.TestCase):
    FILES = [("image/jfif.jpg", "jpg", "positive"), ("image/rgb.png", "png", "positive"),
             ("document/gs_lf.pdf", "pdf", "positive"), ("document/p1024.sqlite", "sqlite", "positive"),
             ("image/gif87a_128.gif", "gif", "positive"), ("media/pcm_mono.wav", "rif", "positive"),
             ("image/png_edge_10239.png", "png", "negative")]

    def corpus(self, tmp):
        corpus = os.path.join(tmp, "corpus")
        os.mkdir(corpus)
        files = []
        for path, type_, role in self.FILES:
            name = os.path.basename(path)
            shutil.copy(os.path.join(SOURCE, "tests", "data", path), os.path.join(corpus, name))
            with open(os.path.join(corpus, name), "rb") as f:
                data = f.read()
            files.append({"name": name, "suffix": name.rsplit(".", 1)[1], "type": type_, "size": len(data),
                          "sha256": recall.hashlib.sha256(data).hexdigest(), "role": role})
        with open(os.path.join(corpus, "manifest.json"), "w") as f:
            json.dump({"files": files}, f)
        return corpus

    def test_every_mode_on_both_inputs_recovers_the_plain_samples_exactly(self):
        with tempfile.TemporaryDirectory(prefix="lumarek-recall-test-") as tmp:
            corpus = self.corpus(tmp)
            markdown = os.path.join(tmp, "recall.md")
            args = recall.parse_args(["--corpus", corpus, "--carver", os.environ["LUMAREK_CARVE"], "--cluster", "512",
                                      "--dir", os.path.join(tmp, "work"), "--markdown", markdown])
            with contextlib.redirect_stdout(io.StringIO()):
                results = recall.run(args)

            self.assertEqual({r.input.key for r in results}, {"raw", "fat32"})
            for r in results:
                where = f"{r.input.key}, {r.mode}"
                expected = r.input.expected
                if r.input.key == "raw":
                    self.assertEqual(len(expected), 6, where)
                else:
                    self.assertIn(len(expected), (2, 3, 4), where)
                for v in r.verdicts:
                    if v.sample.name in expected:
                        self.assertEqual(v.kind, "exact", f"{where}: {v.sample.name} {v.notes}")
                    if v.sample.name in r.input.live:
                        self.assertEqual(v.kind, "missed", f"{where}: live {v.sample.name} exported")
                self.assertEqual(r.rows[-1][1:5], [len(expected), len(expected), 0, 0], where)
                self.assertEqual(r.rows[-1][8], "100.0%", where)
            with open(markdown) as f:
                self.assertEqual(f.read().count("| **total** |"), len(results))

    def test_the_volumes_of_pieces_count_them_and_files_in_one_piece_are_found(self):
        with tempfile.TemporaryDirectory(prefix="lumarek-recall-test-") as tmp:
            corpus = self.corpus(tmp)
            markdown = os.path.join(tmp, "recall.md")
            args = recall.parse_args(["--corpus", corpus, "--carver", os.environ["LUMAREK_CARVE"], "--cluster", "512",
                                      "--inputs", "fat32-interleaved,ext2-1k", "--ext-via", "debugfs",
                                      "--dir", os.path.join(tmp, "work"), "--markdown", markdown])
            with contextlib.redirect_stdout(io.StringIO()) as out:
                results = recall.run(args)
            self.assertEqual({r.input.key for r in results}, {"fat32-interleaved", "ext2-1k"})
            for r in results:
                where = f"{r.input.key}, {r.mode}"
                total = r.rows[-1]
                self.assertEqual(len(total), len(recall.HEADER + recall.PIECES), where)
                shapes = r.input.shapes()
                split = [n for n in r.input.expected if shapes[n] != "whole"]
                self.assertEqual(total[9], len(split), where)
                self.assertLessEqual(total[10], total[9], where)
                # A file in one piece comes back, or lies whole in a find that
                # ran over from a file before it (the carver's doing).
                for v in r.verdicts:
                    if v.sample.name in r.input.expected and shapes[v.sample.name] == "whole":
                        self.assertTrue(v.kind == "exact" or any("holds the whole file" in n for n in v.notes),
                                        f"{where}: {v.sample.name} {v.kind} {v.notes}")
            ext = next(r for r in results if r.input.key == "ext2-1k")
            # rgb.png and the database are longer than 12 blocks of 1 KiB.
            self.assertTrue(any(ext.input.volume.layouts[n].meta for n in ext.input.expected))
            self.assertIn("made with debugfs", out.getvalue())
            with open(markdown) as f:
                self.assertEqual(f.read().count("deleted files are in pieces"), len(results))


if __name__ == "__main__":
    unittest.main()
