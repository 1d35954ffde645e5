#!/usr/bin/env python3
"""The "modern card" sample set of the recall benchmark.

Gathers the samples of a phone's or a camera's card of today from the test
data (the files the fixture scripts made with the packaged encoders: HEIC,
AVIF, camera RAW, WebP, Ogg/Opus, FLAC, Matroska/WebM, AAC, M4A, 7z, gzip,
tar, TIFF, notes, CSV, HTML, XML, JSON and e-mail as plain text, a motion
photo and a top-down BMP, beside the JPEG, PNG, MP4, MP3 and AMR files a
phone has always written) into a folder with the manifest bench/recall.py
reads:

  bench/modern_card.py DIR
  bench/recall.py --corpus DIR

A file type is the engine's name for it (the suffix a find is reported
under), so the tables have one row per type.  Samples that the test data
lacks (another developer's formats not yet there) are left out.
"""

import glob
import hashlib
import json
import os
import shutil
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(REPO, "tests", "data")

# Suffixes of the card's new formats, and the type of each.
MODERN = {
    "heic": "heic", "avif": "avif", "cr3": "cr3", "m4a": "m4a", "ogg": "ogg", "opus": "opus", "oga": "oga",
    "flac": "flac", "mkv": "mkv", "webm": "webm", "aac": "aac", "webp": "webp", "7z": "7z", "gz": "gz",
    "tgz": "tar.gz", "tar": "tar", "tif": "tif", "tiff": "tif", "cr2": "cr2", "nef": "nef", "arw": "arw",
    "dng": "dng", "orf": "orf", "rw2": "rw2", "pef": "pef",
    "txt": "txt", "html": "html", "xml": "xml", "json": "json", "csv": "csv", "eml": "eml",
}

# What a phone has always written, from the older samples.
CLASSIC = [
    ("image/jfif_exif_thumb.jpg", "jpg"), ("image/exif_first_thumb.jpg", "jpg"), ("image/progressive.jpg", "jpg"),
    ("image/rgb_287k.png", "png"), ("media/moov_first.mp4", "mp4"), ("media/id3v23_v1.mp3", "mp3"),
    ("media/amr_pauses.amr", "amr"), ("image/motion_photo.jpg", "jpg"), ("image/top_down.bmp", "bmp"),
]


def suffix_of(name):
    if name.endswith(".tar.gz"):
        return "tar.gz"
    return os.path.splitext(name)[1].lstrip(".").lower()


def gather():
    picked = []
    for path in sorted(glob.glob(os.path.join(DATA, "*", "*"))):
        suffix = suffix_of(os.path.basename(path))
        kind = "tar.gz" if suffix == "tar.gz" else MODERN.get(suffix)
        if kind and os.path.isfile(path):
            picked.append((path, kind))
    for rel, kind in CLASSIC:
        path = os.path.join(DATA, rel)
        if os.path.isfile(path):
            picked.append((path, kind))
    return picked


def main():
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    files = []
    for path, kind in gather():
        family = os.path.basename(os.path.dirname(path))
        name = f"{family}_{os.path.basename(path)}"
        shutil.copyfile(path, os.path.join(out, name))
        data = open(path, "rb").read()
        files.append({"name": name, "suffix": kind, "type": kind, "role": "positive", "size": len(data),
                      "sha256": hashlib.sha256(data).hexdigest()})
    with open(os.path.join(out, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump({"set": "modern card", "file_count": len(files), "files": files}, f, indent=1)
    print(f"{len(files)} samples in {out}")


if __name__ == "__main__":
    main()
