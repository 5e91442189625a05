#!/usr/bin/python3
"""Writes the unbalanced random trials the exact engine is held to:

    random_designs.py && for f in random_*.dat; do
      exact_reference.py $f 2 > ${f%.dat}.txt; done

Families are missing from some blocks and sites, blocks hold different
numbers of trees, and the second trait's mean is 40 times its spread. The
nine-digit trial writes values near 99000 to a ten-thousandth, with a
spread of 0.02: single precision keeps none of their digits that vary.
"""
import random


def trial(path, seed, sites, blocks, families, keep, nine=False):
    rng = random.Random(seed)
    effect = {f: rng.gauss(0, 1) for f in range(1, families + 1)}
    with open(path, "w") as out:
        for s in range(1, sites + 1):
            for b in range(1, rng.randint(2, blocks) + 1):
                for f in range(1, families + 1):
                    if rng.random() > keep:
                        continue
                    for _ in range(rng.randint(1, 4)):
                        h = 10 + effect[f] + rng.gauss(0, 2)
                        d = 120 + 0.5 * effect[f] + rng.gauss(0, 3)
                        if nine:
                            h = 99000 + 0.01 * effect[f] + rng.gauss(0, 0.02)
                            d = 990 + 0.01 * effect[f] + rng.gauss(0, 0.02)
                            out.write(f"{s:4d}{b:4d}{f:6d}  10{h:10.4f}{d:10.6f}\n")
                        else:
                            out.write(f"{s:4d}{b:4d}{f:6d}  10{h:10.3f}{d:10.3f}\n")


trial("random_small.dat", 1, 3, 4, 12, 0.7)
trial("random_sparse.dat", 2, 5, 3, 30, 0.4)
trial("random_nine.dat", 3, 4, 3, 20, 0.8, nine=True)
