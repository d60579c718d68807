#!/usr/bin/python3
"""Writes the seed inputs of the fuzz targets (tests/<subsystem>/fuzz/corpus)
from the bundled real data, in the byte format of tests/support/fuzz_input.h:
each seed reads, in the order its target consumes them, real plate readings,
melting curves, replicate Ct values and dilution series. Rerun after changing
what a target reads: python3 tests/support/make_fuzz_seeds.py"""
import csv
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parents[2]


def count(v, lo=0):
    return struct.pack('<H', v - lo)


def byte(b):
    return bytes([b])


def values(xs):
    return b''.join(b'\0' + struct.pack('<d', x) for x in xs)


def columns(name):
    with open(ROOT / 'data' / name) as f:
        rows = list(csv.reader(f))
    return {h: [float(r[c]) for r in rows[1:]] for c, h in enumerate(rows[0])}


def write(subsystem, name, data):
    path = ROOT / 'tests' / subsystem / 'fuzz' / 'corpus' / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def crude_ct(curve, threshold=300.0):
    """Ct of a raw curve: baseline (cycles 3 to 15) removed, first crossing."""
    base = sum(curve[2:15]) / 13
    y = [v - base for v in curve]
    for i in range(1, len(y)):
        if y[i] > threshold >= y[i - 1]:
            return i + (threshold - y[i - 1]) / (y[i] - y[i - 1])
    return float('nan')


plate = columns('reps384.csv')
dilutions = columns('dil4reps94.csv')
melt = columns('dyemelt.csv')
norris = columns('nist_norris.csv')
wells = [h for h in plate if h != 'Cycles']
dyes = [('T0', 'EvaGreen'), ('T1', 'SybrGreen.I'), ('T2', 'Syto13')]

# Frame and fitting: probe record, curve, half window, sequence.
for i, (curve, half, probe) in enumerate([
        (plate[wells[0]], 3, count(0)),
        (plate[wells[200]][:40], 1, count(1) + count(136) + byte(0)),
        (melt['EvaGreen'][:64], 20, count(1) + count(8) + byte(0xff)),
        (norris['y'], -1, count(0))]):
    write('fitting', f'seed{i}', probe + count(len(curve)) + values(curve) + byte(half + 2)
          + values([1.0, 0.5]) + count(len(curve)))

# Amplification: plate, records (window, step, sd, logistic), logistic
# parameters and cycle numbers, then "keep the threshold found".
for i, (source, names, window) in enumerate([
        (plate, wells[:2], (0, 0)),
        (plate, wells[100:102], (0, 0)),
        (dilutions, ['F15000_1', 'F15_1'], (128 + 3, 128 + 15)),
        (dilutions, ['F150_3'], (0, 0))]):
    cycles = len(source[names[0]])
    data = count(len(names)) + count(cycles) + b''.join(values(source[n]) for n in names) + byte(0)
    for _ in names:
        data += byte(window[0]) + byte(window[1]) + values([0.0, 0.0, 5000.0, 25.0, 0.5])
    data += values([1000.0, 20.0, 0.5]) + count(cycles) + values(range(1, cycles + 1)) + byte(1)
    write('amplification', f'seed{i}', data)

# Interpolation and melting: knots, query points, grid factor, a melting
# curve (temperatures as read, or as start and step), readings to normalise.
for i, (t, f) in enumerate(dyes):
    T, F = melt[t], melt[f]
    knots = count(40) + byte(0) + values(T[:40]) + values(F[:40])
    queries = count(39) + values([(a + b) / 2 for a, b in zip(T[:39], T[1:40])])
    if i == 1:
        curve = count(64) + byte(1) + values([T[20], 0.25]) + values(F[20:148:2])
    else:
        curve = count(64) + byte(0) + values(T[20:148:2]) + values(F[20:148:2])
    peak = [-(F[k + 1] - F[k - 1]) / (T[k + 1] - T[k - 1]) for k in range(1, 65)]
    write('melting', f'seed{i}', knots + queries + count(10) + curve + count(64) + values(peak))

# Peaks: a -dF/dT curve of 48 points, options, the two tallest maxima as the
# set, a background and filter limits.
for i, (t, f) in enumerate(dyes):
    T, F = melt[t], melt[f]
    idx = range(20, 20 + 3 * 48, 3)
    x = [T[k] for k in idx]
    y = [-(F[k + 1] - F[k - 1]) / (T[k + 1] - T[k - 1]) for k in idx]
    maxima = sorted((k for k in range(1, 47) if y[k - 1] < y[k] > y[k + 1]), key=lambda k: -y[k])[:2]
    data = count(48) + byte(0) + byte(0) + values(x) + values(y) + values([0, 0, 0.5, 0, 0])
    data += count(len(maxima)) + byte(0) + values([y[k] for k in maxima]) + values([x[k] for k in maxima])
    data += values([0.6] * len(maxima)) + values([1.0, 85.0, 0.8]) + values([0.0, 5.0, 0.3])
    write('peaks', f'seed{i}', data)

# Statistics: options, replicate Ct values (target and reference genes from
# the dilution series), the summary read back, calibrator, a standard curve
# of Ct against log10 of the dilution (or the NIST Norris pairs).
groups = {d: [crude_ct(dilutions[f'F{d}_{r}']) for r in range(1, 7)] for d in (15, 150, 1500, 15000)}
for i, (kind, target, refs, error_bar) in enumerate([
        (1, groups[15], [groups[150][:5]], 1),
        (1, groups[1500], [groups[150][:4], groups[15000][:5]], 2),
        (2, [10 ** (-c / 3.3) * 1e9 for c in groups[150]], [[10 ** (-c / 3.3) * 1e9 for c in groups[15][:3]]], 1)]):
    options = b''.join(byte(0) + byte(v) for v in (kind, kind, error_bar, 1, 2))
    packed = byte(1) + count(len(target)) + byte(0) + values(target) + count(len(refs)) + byte(0)
    for r in refs:
        packed += count(len(r)) + byte(0) + values(r)
    if i < 2:
        x = [3 - k for k in range(4) for _ in range(3)]
        y = [groups[15 * 10 ** k][r] for k in range(4) for r in range(3)]
    else:
        x, y = norris['x'][:24], norris['y'][:24]
    write('statistics', f'seed{i}', options + packed + count(4) + values([1.0]) + count(len(x)) + values(x)
          + byte(0) + values(y))
