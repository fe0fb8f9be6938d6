#!/usr/bin/env python3
"""Turns the JSON of bench/e2e (e2e_bench --json) into a PNG: throughput against message size for
the three roads, one panel per scenario and thread count. Needs gnuplot (Debian: gnuplot-nox)."""
import json
import os
import subprocess
import sys
import tempfile

ROADS = [("mailhook", "#1f77b4"), ("inline", "#d62728"), ("floor", "#7f7f7f")]


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: plot_bench.py RESULTS.json OUT.png")
    with open(sys.argv[1]) as f:
        data = json.load(f)
    rows = [r for r in data["results"] if r["ok"]]
    panels = sorted({(r["scenario"], r["threads"]) for r in rows}, key=lambda p: (p[0] != "read", p[1]))
    if not panels:
        sys.exit("no results to plot")
    with tempfile.TemporaryDirectory() as tmp:
        script = [
            "set terminal pngcairo size 1400,%d font 'sans,10'" % (450 * ((len(panels) + 1) // 2)),
            "set output '%s'" % os.path.abspath(sys.argv[2]),
            "set multiplot layout %d,2 title 'Messages between two processes: %s, %s'"
            % ((len(panels) + 1) // 2, data["machine"], data["date"]),
            "set logscale xy",
            "set xlabel 'message size (KiB)'",
            "set ylabel 'MiB/s (median)'",
            "set grid",
            "set key top left",
        ]
        for scenario, threads in panels:
            plots = []
            for road, colour in ROADS:
                points = sorted((r["size"], r["mib_per_s"]) for r in rows
                                if r["road"] == road and r["scenario"] == scenario and r["threads"] == threads)
                if not points:
                    continue
                path = os.path.join(tmp, "%s-%s-%d.dat" % (road, scenario, threads))
                with open(path, "w") as out:
                    for size, rate in points:
                        out.write("%g %g\n" % (size / 1024.0, max(rate, 1e-3)))
                plots.append("'%s' using 1:2 with linespoints lw 2 pt 7 lc rgb '%s' title '%s'" % (path, colour, road))
            script.append("set title '%s, %d hook thread%s'" % (scenario, threads, "s" if threads > 1 else ""))
            script.append("plot " + ", ".join(plots))
        script.append("unset multiplot")
        subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)


if __name__ == "__main__":
    main()
