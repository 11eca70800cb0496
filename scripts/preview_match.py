#!/usr/bin/env python3
"""How well a small preview predicts the final picture.

Renders VOLUME twice with quarzelle-render, as the application does: a PREVIEW-pixel quality-0
preview and a FINAL-pixel quality-1 render with the same transfer function, orientation and
shading, box-filters the final image down to the preview's size and prints the mean absolute
difference of their RGB bytes in grey levels, once without and once with --opacity-correction.

usage: scripts/preview_match.py RENDER_TOOL VOLUME TF [--preview 100] [--final 1024]
                                [--orientation AX AY AZ] [--shading]
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import zlib


def read_png(path):
    """The RGBA rows of a PNG as quarzelle-render writes it (8-bit RGBA, filter 0 on every row)."""
    data = open(path, "rb").read()
    pos, idat, width, height = 8, b"", 0, 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos : pos + 8])
        body = data[pos + 8 : pos + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = 4 * width + 1
    return width, height, [raw[r * stride + 1 : (r + 1) * stride] for r in range(height)]


def box_filter(width, height, rows, size):
    """Each output pixel is the mean of the input pixels whose index maps into it."""
    out = []
    for j in range(size):
        y0, y1 = j * height // size, (j + 1) * height // size
        line = []
        for i in range(size):
            x0, x1 = i * width // size, (i + 1) * width // size
            sums = [0, 0, 0]
            for y in range(y0, y1):
                row = rows[y]
                for x in range(x0, x1):
                    for c in range(3):
                        sums[c] += row[4 * x + c]
            n = (y1 - y0) * (x1 - x0)
            line.append([s / n for s in sums])
        out.append(line)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("volume")
    parser.add_argument("tf")
    parser.add_argument("--preview", type=int, default=100)
    parser.add_argument("--final", type=int, default=1024)
    parser.add_argument("--orientation", nargs=3, default=["0", "0", "0"])
    parser.add_argument("--shading", action="store_true")
    a = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for correction in (False, True):
            images = []
            for resolution, quality in ((a.preview, 0), (a.final, 1)):
                out = os.path.join(tmp, "%d.png" % resolution)
                command = [a.tool, a.volume, "--renderer", "volume", "--resolution", str(resolution),
                           "--quality", str(quality), "--tf", a.tf, "--orientation", *a.orientation,
                           "--out", out]
                command += ["--shading"] if a.shading else []
                command += ["--opacity-correction"] if correction else []
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                images.append(read_png(out))
            (pw, ph, preview), (fw, fh, final) = images
            reduced = box_filter(fw, fh, final, pw)
            total = sum(abs(preview[j][4 * i + c] - reduced[j][i][c])
                        for j in range(ph) for i in range(pw) for c in range(3))
            print("%-22s %6.2f grey levels" % ("corrected:" if correction else "uncorrected:",
                                               total / (3.0 * pw * ph)))


if __name__ == "__main__":
    sys.exit(main())
