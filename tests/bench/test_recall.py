#!/usr/bin/env python3
"""The recall benchmark's own logic: where it places the files, which ones
it deletes, how it judges exports; and one small run on the built carver
(LUMAREK_CARVE) when mkfs.vfat and mtools are there."""

import contextlib
import sys
import io
import json
import os
import random
import shutil
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


@unittest.skipUnless(os.environ.get("LUMAREK_CARVE") and all(shutil.which(t) for t in ("mkfs.vfat", "mcopy", "mdel")),
                     "needs LUMAREK_CARVE, mkfs.vfat and mtools")
class CarverRun(unittest.TestCase):
    FILES = [("image/jfif.jpg", "jpg", "positive"), ("image/rgb.png", "png", "positive"),
             ("document/gs_lf.pdf", "pdf", "positive"), ("document/p1024.sqlite", "sqlite", "positive"),
             ("image/gif87a_128.gif", "gif", "positive"), ("media/pcm_mono.wav", "rif", "positive"),
             ("image/png_edge_10239.png", "png", "negative")]

    def test_every_mode_on_both_inputs_recovers_the_plain_samples_exactly(self):
        with tempfile.TemporaryDirectory(prefix="lumarek-recall-test-") as tmp:
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


if __name__ == "__main__":
    unittest.main()
