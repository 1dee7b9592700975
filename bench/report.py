#!/usr/bin/env python3
"""make bench: runs the benchmark programs of the build trees, prints the tables, writes
BUILD/bench/results.json and draws BUILD/bench/interrupt-cost.png and BUILD/bench/data-path.png.

usage: report.py BUILD_DIR [--runs N]
Expects BUILD/bench (optimised host tree: bench_dispatch, bench_isr, bench_serial,
bench_serial_isr) and BUILD/win (corcard.sys, corserial.sys, TRVPAGE.DLL, bench_pages.exe, the .ci
files of corcard's and corserial's objects).
"""
import json
import os
import re
import subprocess
import sys

import data_path

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The cost model (data_path.py says which figure stands for what): an I/O port access across the
# bus, read or write (0.5 to 2 us on PCI and PCIe; a write is not posted, the processor waits for
# it as for a read), and an instruction.
ACCESS_MICROSECONDS = data_path.ACCESS_MICROSECONDS
INSTRUCTION_NANOSECONDS = data_path.INSTRUCTION_NANOSECONDS  # an upper bound
ISR_CALLS = 10000  # AdapterIsr calls per callgrind run


def run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


def callgrind(bench_isr, ports, pending, out_dir):
    """AdapterIsr's own instructions per call (callgrind self cost / calls)."""
    out = os.path.join(out_dir, "callgrind.%d.%d" % (ports, pending))
    subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=*AdapterIsr*",
                    "--callgrind-out-file=" + out, bench_isr, str(ports), str(pending),
                    str(ISR_CALLS)], check=True, capture_output=True, text=True)
    text = run(["callgrind_annotate", "--inclusive=no", "--threshold=100", out])
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*:AdapterIsr\(", line)
        if m:
            self_cost = int(m.group(1).replace(",", ""))
            return self_cost / ISR_CALLS
    raise RuntimeError("no AdapterIsr line in " + out)


def section_sizes(objdump, image):
    sizes = {}
    for line in run([objdump, "-h", image]).splitlines():
        parts = line.split()
        if len(parts) >= 7 and parts[0].isdigit():
            sizes[parts[1]] = int(parts[2], 16)
    return sizes


def interpolate(points, x):
    """Linear interpolation over sorted (x, y) points."""
    points = sorted(points)
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        if x0 <= x <= x1:
            return y0 + (y1 - y0) * (x - x0) / (x1 - x0) if x1 != x0 else y0
    return points[0][1] if x < points[0][0] else points[-1][1]


def table(title, header, rows):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    print("\n" + title)
    print("  ".join(str(h).rjust(w) for h, w in zip(header, widths)))
    for row in rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(row, widths)))


def fmt(x, digits=2):
    if isinstance(x, float):
        return ("%%.%df" % digits) % x
    return str(x)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    runs = 15
    if "--runs" in sys.argv:
        runs = int(sys.argv[sys.argv.index("--runs") + 1])
    out_dir = os.path.join(build, "bench")
    host = os.path.join(out_dir, "bench", "host")
    win = os.path.join(build, "win")
    results = {"cost_model": {"access_microseconds": ACCESS_MICROSECONDS,
                              "instruction_nanoseconds": INSTRUCTION_NANOSECONDS,
                              "what": data_path.__doc__}}

    # 1, 4 (bring-up) and the full-load runs: the simulated machine in lock step.
    dispatch_json = os.path.join(out_dir, "dispatch.json")
    subprocess.run([os.path.join(host, "bench_dispatch"), "--out", dispatch_json], check=True)
    dispatch = json.load(open(dispatch_json))
    results.update(dispatch)

    # 3. AdapterIsr's own instructions per call.
    isr = []
    for model, ports in (("LX2A", 2), ("LX4A", 4), ("LX8C", 8)):
        for pending in sorted({1, ports // 2, ports}):
            isr.append({"model": model, "ports": ports, "k": pending,
                        "instructions": callgrind(os.path.join(host, "bench_isr"), ports,
                                                  pending, out_dir)})
    results["isr_instructions"] = isr

    # 2. Modelled service time at full load.
    model_rows = []
    for row in dispatch["full_load"]:
        seconds = row["line_seconds"]
        instructions = 0.0
        if row["arrangement"] == "corcard" and row["serviced"]:
            points = [(r["k"], r["instructions"]) for r in isr if r["model"] == row["model"]]
            per_call = interpolate(points, row["callback_calls"] / row["serviced"])
            instructions = per_call * row["deliveries"]
        service = ((row["reads"] + row["writes"]) * ACCESS_MICROSECONDS * 1e-6 +
                   instructions * INSTRUCTION_NANOSECONDS * 1e-9)
        dispatch_time = (row["dispatch_reads"] * ACCESS_MICROSECONDS * 1e-6 +
                         instructions * INSTRUCTION_NANOSECONDS * 1e-9)
        model_rows.append({
            "model": row["model"], "arrangement": row["arrangement"],
            "line_seconds": seconds, "reads": row["reads"], "writes": row["writes"],
            "dispatch_reads": row["dispatch_reads"], "corcard_instructions": instructions,
            "service_microseconds_per_interrupt": service * 1e6 / max(row["serviced"], 1),
            "processor_share": service / seconds,
            "dispatch_processor_share": dispatch_time / seconds,
        })
    results["service_model"] = model_rows

    # 4. Images and stack.
    objdump = "x86_64-w64-mingw32-objdump"
    images = {}
    for name, path in (("corcard.sys", os.path.join(win, "driver", "corcard.sys")),
                       ("TRVPAGE.DLL", os.path.join(win, "bin", "TRVPAGE.DLL"))):
        images[name] = {"bytes": os.path.getsize(path), "sections": section_sizes(objdump, path)}
    results["images"] = images
    results["stack"] = json.loads(run([sys.executable, os.path.join(HERE, "stack_use.py"),
                                       os.path.join(win, "driver", "CMakeFiles",
                                                    "corcard_objects.dir")]))

    # 6. corserial's data path.
    serial = data_path.collect(build, dispatch)
    results["data_path"] = serial

    # 5. corpage under Wine.
    pages_out = run([os.path.join(ROOT, "cmake", "wine-run.sh"),
                     os.path.join(win, "bench", "win", "bench_pages.exe"), str(runs)])
    results["pages"] = json.loads(pages_out.strip().splitlines()[-1])

    # Goals.
    pending = dispatch["pending"]
    corcard_rows = [r for r in pending if r["arrangement"] == "corcard"]
    loads = dispatch["full_load"]
    lx8c = {r["arrangement"]: r for r in pending if r["model"] == "LX8C" and r["k"] == 1}
    mean_ratio = lx8c["chain"]["dispatch_reads_per_event"] / lx8c["corcard"]["dispatch_reads_per_event"]
    worst_ratio = lx8c["chain"]["dispatch_reads_max"] / lx8c["corcard"]["dispatch_reads_max"]
    page = {f["name"]: f for f in results["pages"]["figures"]}
    adv = page["advanced_open_256_claimed"]
    goals = [
        {"goal": "status-register reads per serviced interrupt = passes + 1",
         "met": all(r["status_reads_per_event"] == r["passes_per_event"] + r["serviced_per_event"]
                    for r in corcard_rows) and
         all(r["status_reads"] == r["passes"] + r["serviced"] for r in loads
             if r["arrangement"] == "corcard"),
         "measured": "every corcard run: %s status reads per serviced interrupt with %s pass" % (
             fmt(corcard_rows[0]["status_reads_per_event"], 0),
             fmt(corcard_rows[0]["passes_per_event"], 0))},
        {"goal": "no UART read by corcard outside start and stop",
         "met": all(r["corcard_uart_accesses_per_event"] == 0 for r in corcard_rows) and
         all(r["corcard_uart_accesses"] == 0 for r in loads),
         "measured": "0 UART accesses by corcard while running; %d reads and %d writes at start (LX8C)" % (
             dispatch["bring_up"][-1]["start_uart_reads"], dispatch["bring_up"][-1]["start_uart_writes"])},
        {"goal": "at least 4x fewer reads per interrupt than the chain, LX8C, one port pending",
         "met": mean_ratio >= 4,
         "measured": "%.2fx on average over the pending port (chain %.1f, corcard %.1f); %.2fx with the last port of the chain pending" % (
             mean_ratio, lx8c["chain"]["dispatch_reads_per_event"],
             lx8c["corcard"]["dispatch_reads_per_event"], worst_ratio)},
        {"goal": "no overrun at full load",
         "met": all(r["overruns"] == 0 and r["received"] == r["bytes_each_way"] for r in loads),
         "measured": "%d overruns in %d lock-step runs (service takes no line time); in the timed "
                     "model at 921600: %s" % (
                         sum(r["overruns"] for r in loads), len(loads),
                         ", ".join("%s %s lost %d of %d" % (t["model"], t["arrangement"], t["lost"],
                                                            t["bytes_each_way"])
                                   for t in dispatch["timed_full_load"]
                                   if t["lost"] and t["baud"] == 921600) or "none lost")},
        {"goal": "Advanced dialog with 256 claimed numbers open within 2x an empty dialog",
         "met": adv["ratio"] <= 2,
         "measured": "%.1fx (median %.1f ms against %.1f ms); the dialog's template alone %.1fx" % (
             adv["ratio"], adv["median"] / 1000, adv["empty_median"] / 1000,
             page["advanced_template_only"]["ratio"])},
        {"goal": "AdapterIsr stack use at most 256 bytes",
         "met": results["stack"]["deepest_path_bytes"] <= 256,
         "measured": "%d bytes" % results["stack"]["deepest_path_bytes"]},
    ]
    goals += data_path.goals(serial)
    results["goals"] = goals

    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump(results, f, indent=1)

    # Tables.
    table("Dispatch reads per event, k of N ports pending (corcard: status register; chain: "
          "identification registers; mean [min..max] over every set of k ports)",
          ["model", "k", "corcard", "chain", "ratio", "deliveries c/ch", "all reads c/ch"],
          [[r["model"], r["k"], fmt(r["dispatch_reads_per_event"], 1),
            "%s [%d..%d]" % (fmt(c["dispatch_reads_per_event"], 1), c["dispatch_reads_min"],
                             c["dispatch_reads_max"]),
            fmt(c["dispatch_reads_per_event"] / r["dispatch_reads_per_event"]),
            "%s/%s" % (fmt(r["deliveries_per_event"], 0), fmt(c["deliveries_per_event"], 0)),
            "%s/%s" % (fmt(r["reads_per_event"], 1), fmt(c["reads_per_event"], 1))]
           for r in pending if r["arrangement"] == "corcard"
           for c in pending if c["arrangement"] == "chain" and c["model"] == r["model"] and c["k"] == r["k"]])
    table("corcard per serviced interrupt (every k)",
          ["model", "k", "status reads", "passes", "corcard UART accesses", "idle callbacks"],
          [[r["model"], r["k"], fmt(r["status_reads_per_event"] / r["serviced_per_event"], 0),
            fmt(r["passes_per_event"] / r["serviced_per_event"], 0),
            fmt(r["corcard_uart_accesses_per_event"], 0), fmt(r["idle_callback_calls_per_event"], 0)]
           for r in corcard_rows if r["k"] in (1, r["ports"])] +
          [[l["model"], "full load", fmt(l["status_reads_per_serviced"]),
            fmt(l["passes_per_serviced"]), l["corcard_uart_accesses"], l["idle_callback_calls"]]
           for l in loads if l["arrangement"] == "corcard"])
    table("Full load: every port receiving (trigger 14) and transmitting at 921600 baud",
          ["model", "arrangement", "interrupts", "dispatch reads", "all reads", "writes",
           "overruns", "us per interrupt", "CPU share", "dispatch share"],
          [[l["model"], l["arrangement"], l["serviced"], l["dispatch_reads"], l["reads"],
            l["writes"], l["overruns"], fmt(m["service_microseconds_per_interrupt"], 1),
            "%.0f%%" % (100 * m["processor_share"]),
            "%.1f%%" % (100 * m["dispatch_processor_share"])]
           for l, m in zip(loads, model_rows)])
    table("Full load in the timed model (%g us per port access, read or write), the port driver "
          "double at receive trigger 14; lost bytes and processor share (finding + servicing)" %
          ACCESS_MICROSECONDS,
          ["model", "arrangement", "baud", "received", "of", "lost", "finding", "servicing"],
          [[t["model"], t["arrangement"], t["baud"], t["received"], t["bytes_each_way"],
            t["lost"], "%.1f%%" % (100 * t["share_finding"]),
            "%.0f%%" % (100 * t["share_servicing"])] for t in dispatch["timed_full_load"]])
    print("(lock-step figures modelled: %g us per port access plus %g ns per instruction of "
          "AdapterIsr; the line time is the run's character times at 10.85 us; the port driver's "
          "and the kernel's instructions are not in it)" % (ACCESS_MICROSECONDS,
                                                             INSTRUCTION_NANOSECONDS))
    table("AdapterIsr's own instructions per call (callgrind)", ["model", "k pending", "instructions"],
          [[r["model"], r["k"], fmt(r["instructions"], 1)] for r in isr])
    table("Bring-up (add-device + start) and footprint",
          ["model", "requests", "event waits (blocking)", "mutex waits", "non-paged bytes"],
          [[b["model"], b["add_requests"] + b["start_requests"],
            "%d (%d)" % (b["add_event_waits"] + b["start_event_waits"],
                         b["add_blocking_event_waits"] + b["start_blocking_event_waits"]),
            b["add_mutex_waits"] + b["start_mutex_waits"], b["nonpaged_total_bytes"]]
           for b in dispatch["bring_up"]])
    table("Images", ["image", "bytes", ".text"],
          [[n, i["bytes"], i["sections"].get(".text", 0)] for n, i in images.items()])
    print("\nAdapterIsr stack: %d bytes own frame, %d bytes deepest path through our code" % (
        results["stack"]["own_frame_bytes"], results["stack"]["deepest_path_bytes"]))
    table("corpage under Wine (median of %d runs, ms)" % results["pages"]["runs"],
          ["figure", "median", "empty", "ratio"],
          [[f["name"], fmt(f["median"] / 1000), fmt(f["empty_median"] / 1000), fmt(f["ratio"])]
           for f in results["pages"]["figures"]])
    data_path.print_tables(serial, table, fmt)
    table("Goals", ["met", "goal", "measured"],
          [["yes" if g["met"] else "NO", g["goal"], g["measured"]] for g in goals])

    # Chart.
    data = os.path.join(out_dir, "chart.dat")
    with open(data, "w") as f:
        for model in ("LX2A", "LX4A", "LX8C"):
            f.write("# %s\n" % model)
            for r in pending:
                if r["model"] == model and r["arrangement"] == "corcard":
                    c = [x for x in pending if x["model"] == model and x["arrangement"] == "chain"
                         and x["k"] == r["k"]][0]
                    f.write("%d %g %g\n" % (r["k"], r["dispatch_reads_per_event"],
                                             c["dispatch_reads_per_event"]))
            f.write("\n\n")
    bars = os.path.join(out_dir, "share.dat")
    with open(bars, "w") as f:
        for m in model_rows:
            if m["model"] == "LX8C":
                f.write("%s %g %g\n" % (m["arrangement"], 100 * m["dispatch_processor_share"],
                                        100 * (m["processor_share"] - m["dispatch_processor_share"])))
    png = os.path.join(out_dir, "interrupt-cost.png")
    script = """
set terminal pngcairo size 1100,420 font "DejaVu Sans,10"
set output '%(png)s'
set multiplot layout 1,2
set title "Reads to find the pending ports, per event"
set xlabel "ports pending at once (k)"
set ylabel "reads"
set key top left
set grid ytics
set xtics 1
plot '%(data)s' index 2 using 1:3 with linespoints lw 2 pt 7 lc rgb "#c0392b" title "LX8C chain", \\
     '%(data)s' index 1 using 1:3 with linespoints lw 2 pt 5 lc rgb "#e67e22" title "LX4A chain", \\
     '%(data)s' index 0 using 1:3 with linespoints lw 2 pt 9 lc rgb "#f1c40f" title "LX2A chain", \\
     '%(data)s' index 2 using 1:2 with linespoints lw 2 pt 7 lc rgb "#1f618d" title "corcard (every model)"
set title "LX8C, 8 ports x 921600 full duplex, 1 us per port access"
set xlabel ""
set ylabel "percent of one processor"
set style data histograms
set style histogram rowstacked
set style fill solid 0.8 border -1
set boxwidth 0.5
set key top left reverse Left
set yrange [0:400]
set arrow from graph 0, first 100 to graph 1, first 100 nohead dt 2 lw 1.5
set label "one processor" at graph 0.98, first 108 right
plot '%(bars)s' using 2:xtic(1) lc rgb "#c0392b" title "finding the pending ports", \\
     '' using 3 lc rgb "#7f8c8d" title "servicing the UARTs (port driver double)"
unset multiplot
""" % {"png": png, "data": data, "bars": bars}
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    data_png = data_path.chart(serial, out_dir)
    print("\nwrote %s, %s and %s" % (os.path.join(out_dir, "results.json"), png, data_png))
    return 0


if __name__ == "__main__":
    sys.exit(main())
