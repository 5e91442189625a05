#!/usr/bin/python3
"""The results files' further quantities of a trial, written apart from the
program: standard errors, F tests, the type-B correlation, the individual
heritability of half-sibs and the family constants.

    results_reference.py DATA NTRAITS > expected.txt

DATA as for exact_reference.py, whose projections give the mean squares.
Here every standard error is the delta method with a numerical gradient
(central differences) and the sampling covariances of the mean squares and
products of a normal sample, Cov(Mab, Mcd) = (Mac Mbd + Mad Mbc) / (df + 2);
p-values come from a continued fraction of the incomplete beta function;
the family constants from a least-squares fit of blocks and families.
"""
import math
import sys
import numpy as np
from exact_reference import read, incidence, basis


def upper_tail_f(f, d1, d2):
    """P(F > f): I_x(d2/2, d1/2) at x = d2 / (d2 + d1 f) (Lentz's method)."""
    a, b, x = d2 / 2, d1 / 2, d2 / (d2 + d1 * f)
    if x > (a + 1) / (a + b + 2):
        return 1 - beta_reg(b, a, 1 - x)
    return beta_reg(a, b, x)


def beta_reg(a, b, x):
    front = math.exp(math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x)) / a
    tiny, c, d = 1e-300, 1.0, 1 - (a + b) * x / (a + 1)
    d = 1 / (d if abs(d) > tiny else tiny)
    h = d
    for m in range(1, 10000):
        for num in (m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                    -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))):
            d = 1 + num * d
            d = 1 / (d if abs(d) > tiny else tiny)
            c = 1 + num / c
            c = c if abs(c) > tiny else tiny
            h *= d * c
        if abs(d * c - 1) < 1e-16:
            break
    return front * h


def delta_se(fn, values, cov):
    """sqrt(g' C g), g the central-difference gradient of fn at values."""
    values = np.asarray(values, dtype=float)
    g = np.zeros(len(values))
    for i in range(len(values)):
        h = 1e-6 * max(abs(values[i]), 1e-12)
        up, down = values.copy(), values.copy()
        up[i] += h
        down[i] -= h
        g[i] = (fn(up) - fn(down)) / (2 * h)
    return math.sqrt(max(g @ cov @ g, 0))


def main():
    path, ntrait = sys.argv[1], int(sys.argv[2])
    site, rep, fam, cell, yc = read(path, ntrait)
    n = len(yc)
    one = np.ones((n, 1))
    zs, zr, zf, zc = incidence(site), incidence(rep), incidence(fam), incidence(cell)
    spaces = {"ur": [one, zr], "usf": [one, zs, zf], "usrf": [one, zs, zr, zf], "usrc": [one, zs, zr, zc],
              "usr": [one, zs, zr]}
    q = {k: basis(np.hstack(v)) for k, v in spaces.items()}
    red = {k: (b.T @ yc).T @ (b.T @ yc) for k, b in q.items()}
    lines = [red["usrf"] - red["ur"], red["usrc"] - red["usrf"], yc.T @ yc - red["usrc"]]
    ns, nr, nf, nc = zs.shape[1], zr.shape[1], zf.shape[1], zc.shape[1]
    df = [nf - 1, nc - ns - nf + 1, n - nc - nr + ns]
    tr = lambda b, z: float(np.sum((b.T @ z) ** 2))
    trff, trfsf, trsfsf = tr(q["usr"], zf), tr(q["usr"], zc), tr(basis(np.hstack([zr, zf])), zc)
    kf, kfsf, ksf = (n - trff) / df[0], (trsfsf - trfsf) / df[0], (n - trsfsf) / df[1]
    ems = np.array([[kf, kfsf, 1], [0, ksf, 1], [0, 0, 1]])
    ms = [m / d for m, d in zip(lines, df)]
    comps = lambda m: np.linalg.solve(ems, m)  # Vf, Vsf, Ve from the three mean squares
    out = []

    # The raw trait values, for the plain means and the family constants.
    raw = np.array([[float(l[18 + 10 * k:28 + 10 * k]) for k in range(ntrait)] for l in open(path)
                    if l.strip() and not l.startswith(":")], dtype=np.float64)
    x = np.hstack([zr, zf])
    for t in range(ntrait):
        m = np.array([ms[k][t, t] for k in range(3)])
        cov = np.diag([2 * m[k] ** 2 / (df[k] + 2) for k in range(3)])
        h2 = lambda v: kf * comps(v)[0] / v[0]
        rb = lambda v: comps(v)[0] / (comps(v)[0] + comps(v)[1])
        hi = lambda v: 4 * comps(v)[0] / comps(v).sum()
        out += [(f"h2.{t + 1}", h2(m)), (f"h2se.{t + 1}", delta_se(h2, m, cov)),
                (f"rB.{t + 1}", rb(m)), (f"rBse.{t + 1}", delta_se(rb, m, cov)),
                (f"h2i.{t + 1}", hi(m)), (f"h2ise.{t + 1}", delta_se(hi, m, cov))]
        a = kfsf / ksf
        den = a * m[1] + (1 - a) * m[2]
        dfd = den ** 2 / ((a * m[1]) ** 2 / df[1] + ((1 - a) * m[2]) ** 2 / df[2])
        out += [(f"Ffam.{t + 1}", m[0] / den), (f"dfd.{t + 1}", dfd), (f"pfam.{t + 1}", upper_tail_f(m[0] / den, df[0], dfd)),
                (f"Fsf.{t + 1}", m[1] / m[2]), (f"psf.{t + 1}", upper_tail_f(m[1] / m[2], df[1], df[2]))]
        # Blocks and families by least squares: any solution gives the same
        # family effect plus the mean of the block effects.
        sol = np.linalg.lstsq(x, raw[:, t], rcond=None)[0]
        const = sol[nr:] + sol[:nr].mean()
        out += [(f"const.{t + 1}.{j + 1}", const[j]) for j in range(nf)]
        out.append((f"mean.{t + 1}", raw[:, t].mean()))
    for p in range(ntrait):
        for u in range(p + 1, ntrait):
            vals = np.array([[ms[k][p, p], ms[k][p, u], ms[k][u, u]] for k in range(3)]).ravel()
            cov = np.zeros((9, 9))
            for k in range(3):
                s = np.array([[ms[k][p, p], ms[k][p, u]], [ms[k][p, u], ms[k][u, u]]])
                idx = [(0, 0), (0, 1), (1, 1)]
                for i, (a1, b1) in enumerate(idx):
                    for j, (c1, d1) in enumerate(idx):
                        cov[3 * k + i, 3 * k + j] = (s[a1, c1] * s[b1, d1] + s[a1, d1] * s[b1, c1]) / (df[k] + 2)
            rp = lambda v: v[1] / math.sqrt(v[0] * v[2])
            out.append((f"rPse{p + 1}.{u + 1}", delta_se(rp, vals, cov)))

            def rf(v):
                xx, xy, yy = comps(v[0::3])[0], comps(v[1::3])[0], comps(v[2::3])[0]
                return xy / math.sqrt(xx * yy)
            if comps(vals[0::3])[0] > 0 and comps(vals[2::3])[0] > 0:
                out.append((f"rFse{p + 1}.{u + 1}", delta_se(rf, vals, cov)))
    for name, value in out:
        print(f"{name} {float(value):.17g}")


if __name__ == "__main__":
    main()
