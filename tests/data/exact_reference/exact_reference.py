#!/usr/bin/python3
"""Dense double-precision projections of a trial, written apart from the
program: the expected numbers of the exact engine's tests.

    exact_reference.py DATA NTRAITS > expected.txt

DATA is fixed-column: site 1-4, block 5-8, family 9-14, age 15-18, traits of
width 10 from 19. Every record is used. Trait values are the file's decimals,
each read as the nearest double, as the program's exact values read them.
Each output line is a name and a value; the sums of squares come from projections onto the column spaces of
dense incidence matrices (an SVD gives each orthonormal basis), not from
absorbing anything.
"""
import sys
import numpy as np


def read(path, ntrait):
    site, block, fam, y = [], [], [], []
    for line in open(path):
        if not line.strip() or line.startswith(":"):
            continue
        site.append(int(line[0:4])); block.append(int(line[4:8])); fam.append(int(line[8:14]))
        y.append([float(line[18 + 10 * k:28 + 10 * k]) for k in range(ntrait)])
    y = np.array(y, dtype=np.float64)
    y -= y.mean(axis=0)  # the projections below all hold the mean: this only saves digits
    return np.array(site), np.array(list(zip(site, block))), np.array(fam), np.array(list(zip(site, fam))), y


def incidence(codes):
    keys = {}
    idx = np.array([keys.setdefault(tuple(np.atleast_1d(c)), len(keys)) for c in codes])
    z = np.zeros((len(codes), len(keys)))
    z[np.arange(len(codes)), idx] = 1
    return z


def basis(x):
    u, s, _ = np.linalg.svd(x, full_matrices=False)
    return u[:, s > s[0] * 1e-10]


def main():
    path, ntrait = sys.argv[1], int(sys.argv[2])
    site, rep, fam, cell, y = read(path, ntrait)
    n = len(y)
    one = np.ones((n, 1))
    zs, zr, zf, zc = incidence(site), incidence(rep), incidence(fam), incidence(cell)
    spaces = {"ur": [one, zr], "uf": [one, zf], "usf": [one, zs, zf], "usrf": [one, zs, zr, zf],
              "usrc": [one, zs, zr, zc], "usr": [one, zs, zr]}
    q = {k: basis(np.hstack(v)) for k, v in spaces.items()}
    red = {k: (b.T @ y).T @ (b.T @ y) for k, b in q.items()}
    yy = y.T @ y
    lines = [red["usf"] - red["uf"], red["usrf"] - red["usf"], red["usrf"] - red["ur"],
             red["usrc"] - red["usrf"], yy - red["usrc"]]
    ns, nr, nf, nc = zs.shape[1], zr.shape[1], zf.shape[1], zc.shape[1]
    df = [ns - 1, nr - ns, nf - 1, nc - ns - nf + 1, n - nc - nr + ns]
    tr = lambda b, z: float(np.sum((b.T @ z) ** 2))
    trff, trfsf, trsfsf = tr(q["usr"], zf), tr(q["usr"], zc), tr(basis(np.hstack([zr, zf])), zc)
    kf, kfsf, ksf = (n - trff) / df[2], (trsfsf - trfsf) / df[2], (n - trsfsf) / df[3]
    ems = np.array([[kf, kfsf, 1], [0, ksf, 1], [0, 0, 1]])
    inv = np.linalg.inv(ems)
    out = [("trFF", trff), ("trFSF", trfsf), ("trSFSF", trsfsf), ("kF", kf), ("kFSF", kfsf), ("kSF", ksf)]
    ms = [m / d for m, d in zip(lines, df)]
    vc = lambda a, b: np.linalg.solve(ems, [ms[2][a, b], ms[3][a, b], ms[4][a, b]])
    for t in range(ntrait):
        out += [(f"ss{t + 1}.{k}", lines[k][t, t]) for k in range(5)]
        v = vc(t, t)
        msv = [ms[2][t, t], ms[3][t, t], ms[4][t, t]]
        dfv = [df[2], df[3], df[4]]
        for i in range(3):
            var = sum(2 * inv[i, k] ** 2 * msv[k] ** 2 / (dfv[k] + 2) for k in range(i, 3))
            out += [(f"vc{t + 1}.{i + 1}", v[i]), (f"se{t + 1}.{i + 1}", np.sqrt(var))]
        out.append((f"h2.{t + 1}", v[0] / (msv[0] / kf)))
    for a in range(ntrait):
        for b in range(a + 1, ntrait):
            out += [(f"scp{a + 1}.{b + 1}.{k}", lines[k][a, b]) for k in range(5)]
            v, va, vb = vc(a, b), vc(a, a), vc(b, b)
            out += [(f"cov{a + 1}.{b + 1}.{i + 1}", v[i]) for i in range(3)]
            out.append((f"rP{a + 1}.{b + 1}", ms[2][a, b] / np.sqrt(ms[2][a, a] * ms[2][b, b])))
            if va[0] > 0 and vb[0] > 0:
                out.append((f"rF{a + 1}.{b + 1}", v[0] / np.sqrt(va[0] * vb[0])))
    for name, value in out:
        print(f"{name} {float(value):.17g}")


if __name__ == "__main__":
    main()
