"""Constructed plates for the command's tests, written as CSV files."""
import numpy as np

CYCLES = np.arange(1.0, 41.0)


def richards(x0=None, efficiency=2.0, plateau=8000.0, base=500.0, cycles=CYCLES, noise=0.0, seed=0):
    """A curve growing by a constant factor until close to its plateau (flat without x0).

    q = efficiency^(cycle - x0) is 1 at x0; the readings are base + plateau q / (1 + q^4)^(1/4).
    """
    rng = np.random.default_rng(seed)
    if x0 is None:
        return base + rng.normal(0.0, noise or 2.0, cycles.size)
    q = efficiency ** (cycles - x0)
    return base + plateau * q / (1.0 + q ** 4) ** 0.25 + (rng.normal(0.0, noise, cycles.size) if noise else 0.0)


def write_plate(path, columns, cycles=CYCLES, axis="Cycle"):
    """columns: {well: readings}; the first column holds the cycles."""
    names = list(columns)
    with open(path, "w") as f:
        f.write(",".join([axis] + names) + "\n")
        for k, c in enumerate(cycles):
            f.write(",".join([f"{c:g}"] + [repr(float(columns[n][k])) for n in names]) + "\n")
    return str(path)


def write_sheet(path, rows, header="well,sample,target,type"):
    with open(path, "w") as f:
        f.write(header + "\n" + "".join(",".join(map(str, r)) + "\n" for r in rows))
    return str(path)
