#!/usr/bin/python3
"""The default report against the --arithmetic double report of the same run:
the largest difference of each kind of value, in the units the precision
guard uses.

    compare_reports.py DEFAULT_REPORT EXACT_REPORT

Components: in standard errors (the exact report's); covariances: in units of
the square root of the two traits' exact components; h2, rP, rF: absolute;
E.M.S. coefficients, S.S. and S.C.P.: relative to the exact value.
"""
import sys


def numbers(line):
    out = []
    for word in line.split():
        try:
            out.append(float(word))
        except ValueError:
            pass
    return out


def sections(path):
    lines = open(path).read().split("\n")
    found = {}
    for n, line in enumerate(lines):
        if not line.startswith(" Trait No "):
            continue
        ids = tuple(int(x) for x in numbers(line))
        table = [numbers(lines[n + 2 + k]) for k in range(5)]
        comps = [numbers(lines[n + 9 + i]) for i in range(3)]
        tail = [numbers(lines[n + 12]), numbers(lines[n + 13]) if len(ids) > 1 else []]
        found[ids] = (table, comps, tail)
    return found


def main():
    single, exact = sections(sys.argv[1]), sections(sys.argv[2])
    worst = {}

    def note(kind, value, where):
        if value > worst.get(kind, (-1, ""))[0]:
            worst[kind] = (value, where)

    for ids, (table, comps, tail) in exact.items():
        s_table, s_comps, s_tail = single[ids]
        where = "trait " + " and ".join(map(str, ids))
        note("E.M.S. coefficients (relative)", abs(s_table[2][3] / table[2][3] - 1), where)
        note("E.M.S. coefficients (relative)", abs(s_table[2][4] / table[2][4] - 1), where)
        note("E.M.S. coefficients (relative)", abs(s_table[3][3] / table[3][3] - 1), where)
        for k in range(5):
            if table[k][1]:
                note("S.S. / S.C.P. (relative)", abs(s_table[k][1] / table[k][1] - 1), where)
        if len(ids) == 1:
            for i, name in enumerate(["Vf", "Vsf", "Ve"]):
                note("variance components (standard errors)", abs(s_comps[i][0] - comps[i][0]) / comps[i][1],
                     where + " " + name)
            if tail[0] and s_tail[0]:
                note("h2 (absolute)", abs(s_tail[0][0] - tail[0][0]), where)
        else:
            a, b = exact[(ids[0],)][1], exact[(ids[1],)][1]
            for i, name in enumerate(["family", "site x family", "error"]):
                unit = abs(a[i][0] * b[i][0]) ** 0.5
                note("covariance components (sqrt(V1 V2))", abs(s_comps[i][0] - comps[i][0]) / unit, where + " " + name)
            for j, name in enumerate(["rP", "rF"]):
                if tail[j] and s_tail[j]:
                    note(name + " (absolute)", abs(s_tail[j][0] - tail[j][0]), where)
    for kind, (value, where) in sorted(worst.items()):
        print(f"{kind}: {value:.3g} ({where})")


if __name__ == "__main__":
    main()
