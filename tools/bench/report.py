#!/usr/bin/env python3
"""Turns the bench's ROUND lines into the table (stdout), a JSON file and an
SVG plot of cost against N and against P x H. Standard library only."""
import argparse
import json
import os
import statistics
import sys

TARGET_RATIO = 1.25
SIZE_LIMIT = 32 * 1024
DELIVERABLES = ["TAVRIKEN.exe", "SOLMEDAR.exe", "BRAXUNET.exe",
                "HELDRAVO.dll", "JUNTEPAS.dll", "WIRZOLAK.dll"]


def read_rounds(path):
    rounds = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = line.split()
            if len(parts) != 6 or parts[0] != "ROUND":
                continue
            _, group, x, side, rnd, us = parts
            rounds.setdefault(group, {}).setdefault(int(x), {}).setdefault(side, {})[int(rnd)] = float(us)
    return rounds


def summarise(sides, subject):
    """Median per side, and the median of the per-round ratios of the subject
    to each floor (the rounds are interleaved, so a slow spell hits both)."""
    out = {}
    for side, per_round in sides.items():
        values = list(per_round.values())
        out[side] = {"median_us": statistics.median(values), "min_us": min(values),
                     "max_us": max(values), "rounds": len(values)}
    for floor in ("floor", "floor_traced"):
        if subject in sides and floor in sides:
            common = sorted(set(sides[subject]) & set(sides[floor]))
            ratios = [sides[subject][r] / sides[floor][r] for r in common if sides[floor][r] > 0]
            if ratios:
                out["ratio_to_" + floor] = statistics.median(ratios)
    return out


def fmt(us):
    return "%10.1f" % us


def svg_plot(results, path):
    width, height, pad = 980, 420, 60
    panel_w = (width - 3 * pad) / 2
    colors = {"guard": "#c0392b", "coinstaller": "#c0392b", "floor": "#2471a3", "floor_traced": "#27ae60"}
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" font-size="11">' % (width, height),
           '<rect width="100%" height="100%" fill="white"/>']

    def panel(x0, title, series, xlabel, xlog):
        top, bottom = 40, height - pad
        xs = sorted({x for s in series for x, _ in s[2]})
        ys = [y for s in series for _, y in s[2]]
        if not xs or not ys:
            return
        ymax = max(ys) * 1.1
        import math
        def px(x):
            if xlog:
                lo, hi = math.log10(min(xs)), math.log10(max(xs))
                t = (math.log10(x) - lo) / (hi - lo) if hi > lo else 0.5
            else:
                lo, hi = min(xs), max(xs)
                t = (x - lo) / (hi - lo) if hi > lo else 0.5
            return x0 + t * panel_w
        def py(y):
            return bottom - (y / ymax) * (bottom - top)
        out.append('<text x="%.0f" y="22" font-size="13" font-weight="bold">%s</text>' % (x0, title))
        out.append('<line x1="%.0f" y1="%d" x2="%.0f" y2="%d" stroke="black"/>' % (x0, bottom, x0 + panel_w, bottom))
        out.append('<line x1="%.0f" y1="%d" x2="%.0f" y2="%d" stroke="black"/>' % (x0, top, x0, bottom))
        for i in range(5):
            y = ymax * i / 4
            out.append('<text x="%.0f" y="%.0f" text-anchor="end">%.0f</text>' % (x0 - 4, py(y) + 4, y))
            out.append('<line x1="%.0f" y1="%.0f" x2="%.0f" y2="%.0f" stroke="#ddd"/>' % (x0, py(y), x0 + panel_w, py(y)))
        for x in xs:
            out.append('<text x="%.0f" y="%d" text-anchor="middle">%s</text>' % (px(x), bottom + 14, x))
        out.append('<text x="%.0f" y="%d" text-anchor="middle">%s</text>' % (x0 + panel_w / 2, bottom + 32, xlabel))
        out.append('<text x="%.0f" y="%d" text-anchor="start">microseconds</text>' % (x0 - 40, top - 8))
        for k, (label, color, points, dash) in enumerate(series):
            pts = " ".join("%.1f,%.1f" % (px(x), py(y)) for x, y in points)
            out.append('<polyline points="%s" fill="none" stroke="%s" stroke-width="2"%s/>' %
                       (pts, color, ' stroke-dasharray="5,3"' if dash else ""))
            for x, y in points:
                out.append('<circle cx="%.1f" cy="%.1f" r="2.5" fill="%s"/>' % (px(x), py(y), color))
            out.append('<text x="%.0f" y="%d" fill="%s">%s</text>' % (x0 + 10, top + 14 * (k + 1), color, label))

    series = []
    for group, dash in (("suspend", False), ("register", True)):
        for side in ("guard", "floor", "floor_traced"):
            pts = [(x, v[side]["median_us"]) for x, v in sorted(results.get(group, {}).items()) if side in v]
            if pts:
                series.append(("%s: %s" % ("suspend+resume" if group == "suspend" else "register+unregister (dashed)", side), colors[side], pts, dash))
    panel(pad, "Guard: cost against N ports",
          series, "N (registered ports)", False)
    series = []
    by_p = sorted({x // 1000 for x in results.get("coinstaller", {})})
    for side in ("coinstaller", "floor", "floor_traced"):
        for queues in by_p:
            pts = sorted(((x // 1000) * (x % 1000), v[side]["median_us"])
                         for x, v in results.get("coinstaller", {}).items() if side in v and x // 1000 == queues)
            if pts:
                series.append(("%s, P=%d%s" % (side, queues, "" if queues == by_p[-1] else " (dashed)"),
                               colors[side], pts, queues != by_p[-1]))
    panel(2 * pad + panel_w, "Co-installer: cost against P x H (one line per P)", series, "P x H (queues x hives, log scale)", True)
    out.append("</svg>")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds-file", required=True)
    ap.add_argument("--dist", required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--svg", required=True)
    ap.add_argument("--machine", action="append", default=[])
    a = ap.parse_args()

    rounds = read_rounds(a.rounds_file)
    results = {}
    for group, by_x in rounds.items():
        subject = "coinstaller" if group == "coinstaller" else "guard"
        results[group] = {x: summarise(sides, subject) for x, sides in by_x.items()}

    sizes = {}
    for name in DELIVERABLES:
        p = os.path.join(a.dist, name)
        if os.path.exists(p):
            sizes[name] = os.path.getsize(p)

    targets = {}
    s64 = results.get("suspend", {}).get(64, {})
    if "ratio_to_floor_traced" in s64:
        targets["guard_suspend_N64_vs_traced_floor"] = {
            "ratio": round(s64["ratio_to_floor_traced"], 3), "limit": TARGET_RATIO,
            "met": s64["ratio_to_floor_traced"] <= TARGET_RATIO}
    c = results.get("coinstaller", {}).get(500 * 1000 + 100, {})
    for floor in ("floor_traced", "floor"):
        key = "ratio_to_" + floor
        if key in c:
            targets["coinstaller_500x100_vs_" + floor] = {
                "ratio": round(c[key], 3), "limit": TARGET_RATIO, "met": c[key] <= TARGET_RATIO}
    for name, b in sizes.items():
        targets["size_" + name] = {"bytes": b, "limit": SIZE_LIMIT, "met": b <= SIZE_LIMIT}

    machine = dict(m.split("=", 1) for m in a.machine if "=" in m)
    doc = {"machine": machine, "results": {g: {str(x): v for x, v in sorted(by.items())} for g, by in results.items()},
           "sizes": sizes, "targets": targets,
           "units": "microseconds per operation; median over interleaved rounds"}
    with open(a.json, "w", encoding="utf-8") as f:
        json.dump(doc, f, indent=2, sort_keys=True)
    svg_plot(results, a.svg)

    w = sys.stdout.write
    w("machine: %s\n\n" % ", ".join("%s=%s" % kv for kv in sorted(machine.items())))
    titles = {"suspend": "Suspend hand-off (PBT_APMSUSPEND holding all + PBT_APMRESUMEAUTOMATIC)",
              "suspend_only": "  of which PBT_APMSUSPEND", "resume_only": "  of which PBT_APMRESUMEAUTOMATIC",
              "register": "Registration (register + unregister one port, N registered)"}
    for group in ("suspend", "suspend_only", "resume_only", "register"):
        if group not in results:
            continue
        w("%s, us per operation (median)\n" % titles[group])
        w("%6s %10s %10s %12s %12s %14s\n" % ("N", "guard", "floor", "floor+trace", "guard/floor", "guard/traced"))
        for x, v in sorted(results[group].items()):
            w("%6d %s %s %s %12.2f %14.2f\n" % (x, fmt(v["guard"]["median_us"]), fmt(v["floor"]["median_us"]),
                                                 "  " + fmt(v["floor_traced"]["median_us"]),
                                                 v.get("ratio_to_floor", 0), v.get("ratio_to_floor_traced", 0)))
        w("\n")
    if "coinstaller" in results:
        w("Co-installer post-processing (P queues, H hives made by the bench), us per call (median)\n")
        w("%5s %5s %12s %10s %12s %12s %14s\n" % ("P", "H", "coinstaller", "floor", "floor+trace", "ci/floor", "ci/traced"))
        for x, v in sorted(results["coinstaller"].items()):
            w("%5d %5d %12.1f %s %s %12.2f %14.2f\n" % (x // 1000, x % 1000, v["coinstaller"]["median_us"],
                                                        fmt(v["floor"]["median_us"]), "  " + fmt(v["floor_traced"]["median_us"]),
                                                        v.get("ratio_to_floor", 0), v.get("ratio_to_floor_traced", 0)))
        w("\n")
    w("Deliverable sizes (limit %d bytes)\n" % SIZE_LIMIT)
    for name, b in sizes.items():
        w("  %-14s %7d  %s\n" % (name, b, "ok" if b <= SIZE_LIMIT else "OVER"))
    w("\nTargets\n")
    for name, t in targets.items():
        if name.startswith("size_"):
            continue
        w("  %-44s %.3f (limit %.2f)  %s\n" % (name, t["ratio"], t["limit"], "met" if t["met"] else "MISSED"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
