#!/usr/bin/env python3
"""One row of the solid levers table: the files of DIR cut into streams as `runpack build`
cuts them, each stream compressed by `xz --format=raw` (liblzma, no container) with the x86
branch filter where most of its bytes are in files that begin with "MZ", as the tool decides.
Prints the streams' total size (with the tool's 16-byte stream header each) and the CPU time
of the compressors.

    bench/solid_levers.py DIR ORDER TARGET_MIB XZ_FILTER_OPTION...
    ORDER: name (the tool's order), ext (by extension, then name)
    TARGET_MIB: the stream target; files are cut into round(total / target) streams at the
    file boundaries nearest to equal shares (0: one stream)
    e.g. bench/solid_levers.py build/bench/dlls name 16 --lzma2=preset=6
"""
import os
import resource
import subprocess
import sys


def streams_of(sizes, target):
    total = sum(sizes)
    if target <= 0:
        return [list(range(len(sizes)))]
    count = max(1, total // target + (1 if total % target >= (target + 1) // 2 else 0))
    count = min(count, len(sizes))
    ends = [total // count * k + total % count * k // count for k in range(1, count)]
    streams, share, before = [[]], 0, 0
    for i, size in enumerate(sizes):
        after = before + size
        cut = False
        while share < len(ends) and size != 0:
            b = ends[share]
            if b > after or (b > before and b - before > after - b):
                break
            cut = True
            share += 1
        if cut and streams[-1]:
            streams.append([])
        streams[-1].append(i)
        before = after
    return streams


def main():
    directory, order, target = sys.argv[1], sys.argv[2], float(sys.argv[3])
    options = sys.argv[4:]
    names = sorted(os.listdir(directory))
    if order == "ext":
        names.sort(key=lambda n: (os.path.splitext(n)[1], n))
    files = []
    for n in names:
        with open(os.path.join(directory, n), "rb") as f:
            files.append(f.read())
    total, sizes = 0, []
    for stream in streams_of([len(f) for f in files], int(target * (1 << 20))):
        data = b"".join(files[i] for i in stream)
        x86 = sum(len(files[i]) for i in stream if files[i][:2] == b"MZ") * 2 > len(data)
        packed = subprocess.run(["xz", "--format=raw", "-c"] + (["--x86"] if x86 else []) + options,
                                input=data, stdout=subprocess.PIPE, check=True).stdout
        sizes.append(len(packed) + 16)
        total += len(packed) + 16
    cpu = resource.getrusage(resource.RUSAGE_CHILDREN).ru_utime
    print(f"{total} bytes in {len(sizes)} streams, {cpu:.1f} CPU s ({' '.join(map(str, sizes))})")


main()
