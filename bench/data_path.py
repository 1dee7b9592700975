"""The data path part of make bench (report.py calls it): corserial's port accesses per byte, the
timed model at every rate of the page's list from 115200 up, the receive trigger's costs and
headroom, read latency, and corserial's interrupt callback under callgrind, its stack and image.

The cost model, and which figure stands for what:
  - ACCESS_MICROSECONDS: one port access across the bus, read or write. An I/O write is not posted
    on PCI or PCI Express: the processor waits for its completion as for a read. In the timed runs
    the simulated machine charges it on its clock (host/machine, HmSetPortAccessNs): each access
    takes that long of the one processor while the lines run on.
  - INSTRUCTION_NANOSECONDS: one instruction of the driver's own code (callgrind counts), an upper
    bound on current processors. Instructions take no time in the timed runs; their share is
    added beside the accesses' here.
  - The processor share of a run is its port accesses at ACCESS_MICROSECONDS over the line time
    of its bytes: "finding the ports" is corcard's status register reads (and, for the chain, the
    identification read of each routine that found its UART idle), "servicing the UARTs" every
    other access made on the interrupt path, "completing requests" the accesses made outside it
    (dispatch routines and DPCs starting writes). The kernel's own work (IRP completion, DPC
    dispatch) is in none of them.
"""
import json
import os
import re
import subprocess
import sys

ACCESS_MICROSECONDS = 1.0
INSTRUCTION_NANOSECONDS = 1.0
ISR_CALLS = 10000  # SerialIsr calls per callgrind run
RX_BURST, TX_BURST = 32, 64  # bytes per call in bench_serial_isr's rx and tx cases
WAIT_OR_ALLOCATE = re.compile(r"Alloc|Wait|Delay|Mutex|Sleep|Event|Pool", re.I)


def _run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


def _own_instructions(out_file, serial_dir):
    """Self cost of every function of corserial's sources in a callgrind profile."""
    text = _run(["callgrind_annotate", "--inclusive=no", "--threshold=100", out_file])
    total = 0
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(\S+?):", line)
        # callgrind_annotate names files below the current directory relative to it.
        if m and os.path.abspath(m.group(2)).startswith(serial_dir):
            total += int(m.group(1).replace(",", ""))
    return total


def _callgrind(args, toggles, out_file):
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out_file] +
                   ["--toggle-collect=" + t for t in toggles] + args,
                   check=True, capture_output=True, text=True)


def per_byte(tallies):
    """Accesses per byte received, sent and moved; accesses that serve both directions are shared
    out in proportion to the bytes (as bench_serial does)."""
    i, e = tallies["interrupt_path"], tallies["elsewhere"]
    rx_bytes = i["rx_data"] + e["rx_data"]
    tx_bytes = i["tx_data"] + e["tx_data"]
    rx = rx_bytes + i["rx_control"] + e["rx_control"]
    tx = tx_bytes + i["tx_control"] + e["tx_control"]
    shared = sum(i.values()) + sum(e.values()) - rx - tx
    moved = rx_bytes + tx_bytes
    return {"rx": (rx + shared * rx_bytes / moved) / rx_bytes,
            "tx": (tx + shared * tx_bytes / moved) / tx_bytes,
            "all": (rx + tx + shared) / moved}


def collect(build, dispatch):
    """Runs the data path benchmarks; returns their figures."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    serial_dir = os.path.join(root, "serial") + os.sep
    out_dir = os.path.join(build, "bench")
    host = os.path.join(out_dir, "bench", "host")
    win = os.path.join(build, "win")

    serial_json = os.path.join(out_dir, "serial.json")
    subprocess.run([os.path.join(host, "bench_serial"), "--out", serial_json], check=True)
    data = json.load(open(serial_json))

    # The classic arrangement: the machine's port driver double (a line status read before every
    # byte), receive trigger 14, under corcard, from bench_dispatch's runs.
    classic = [r for r in dispatch["full_load"] if r["model"] == "LX8C" and
               r["arrangement"] == "corcard"][0]
    data["classic_per_byte"] = per_byte(classic)
    data["classic_timed"] = [t for t in dispatch["timed_full_load"] if t["arrangement"] == "corcard"]

    # corserial's own instructions: per callback call by cause, and on the request path per byte.
    isr = {}
    for case in ("rx", "tx", "idle"):
        out = os.path.join(out_dir, "callgrind.serial_isr." + case)
        _callgrind([os.path.join(host, "bench_serial_isr"), case, str(ISR_CALLS)],
                   ["*SerialIsr*"], out)
        isr[case] = _own_instructions(out, serial_dir) / ISR_CALLS
    data["isr_instructions"] = isr
    out = os.path.join(out_dir, "callgrind.serial_requests")
    text = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                           "--toggle-collect=*SerialRead*", "--toggle-collect=*SerialWrite*",
                           "--toggle-collect=*ServiceDpcRoutine*",
                           os.path.join(host, "bench_serial"), "--requests"],
                          check=True, capture_output=True, text=True).stdout
    requests = int(re.search(r"requests (\d+)", text).group(1))
    # --requests: an LX2A, 8192 bytes each way on both ports, 1024-byte reads and writes.
    moved = 2 * 2 * 8192
    own = _own_instructions(out, serial_dir)
    data["request_instructions"] = {"requests": requests, "bytes": moved, "instructions": own,
                                    "per_byte": own / moved, "per_request": own / requests}

    data["stack"] = json.loads(_run([sys.executable, os.path.join(root, "bench", "stack_use.py"),
                                     os.path.join(win, "serial", "CMakeFiles",
                                                  "corserial_objects.dir"), "SerialIsr"]))
    image = os.path.join(win, "serial", "corserial.sys")
    stripped = os.path.join(out_dir, "corserial.stripped.sys")
    subprocess.run(["x86_64-w64-mingw32-strip", "-o", stripped, image], check=True)
    data["image"] = {"bytes": os.path.getsize(image), "stripped_bytes": os.path.getsize(stripped)}
    for line in _run(["x86_64-w64-mingw32-objdump", "-h", image]).splitlines():
        parts = line.split()
        if len(parts) >= 7 and parts[0].isdigit() and parts[1] == ".text":
            data["image"]["text"] = int(parts[2], 16)

    # Instructions at INSTRUCTION_NANOSECONDS, per byte moved: a receive burst at the default
    # trigger, a transmit burst of a 64-byte FIFO, and the request path.
    data["instruction_share_per_byte_ns"] = {
        "rx": isr["rx"] / RX_BURST * INSTRUCTION_NANOSECONDS,
        "tx": isr["tx"] / TX_BURST * INSTRUCTION_NANOSECONDS,
        "requests": data["request_instructions"]["per_byte"] * INSTRUCTION_NANOSECONDS,
    }
    for row in data["timed"]:
        ns = data["instruction_share_per_byte_ns"]
        row["share_instructions"] = (row["received"] * ns["rx"] + row["sent"] * ns["tx"] +
                                     (row["received"] + row["sent"]) * ns["requests"]) * 1e-9 / \
            row["line_seconds"]
    return data


def share(row):
    return row["share_finding"] + row["share_servicing"] + row["share_completing"]


def highest_clean_rate(rows, model):
    """The highest rate at which the model lost nothing, and every lower rate too."""
    best = 0
    for row in sorted((r for r in rows if r["model"] == model), key=lambda r: r["baud"]):
        if row["lost"]:
            break
        best = row["baud"]
    return best


def goals(data):
    rows = {r["fifo"]: r for r in data["per_byte"]}
    timed = {(r["model"], r["baud"]): r for r in data["timed"]}
    lx8c, lx4a = timed[("LX8C", 460800)], timed[("LX4A", 921600)]
    outside = data["stack"]["calls_outside_our_code"]
    forbidden = [c for c in outside if WAIT_OR_ALLOCATE.search(c)]
    sixteen = rows["16-byte, trigger 14"]
    wide, default = rows["64-byte, trigger 56"], rows["default"]
    return [
        {"goal": "port accesses per byte moved at full load at most 1.15 with 16-byte FIFOs",
         "met": sixteen["per_byte"] <= 1.15,
         "measured": "%.3f at trigger 14 (received %.3f, sent %.3f); classic %.2f" % (
             sixteen["per_byte"], sixteen["rx_per_byte"], sixteen["tx_per_byte"],
             data["classic_per_byte"]["all"])},
        {"goal": "port accesses per byte moved at full load at most 1.05 with the 64-byte FIFO",
         "met": wide["per_byte"] <= 1.05 and default["per_byte"] <= 1.05,
         "measured": "%.3f at trigger 56, %.3f at the default trigger 32" % (
             wide["per_byte"], default["per_byte"])},
        {"goal": "nothing lost in the timed model, LX8C 8 x 460800 and LX4A 4 x 921600 full "
                 "duplex, default FIFO settings",
         "met": lx8c["lost"] == 0 and lx4a["lost"] == 0,
         "measured": "lost %d and %d; %.0f%% and %.0f%% of a processor" % (
             lx8c["lost"], lx4a["lost"], 100 * share(lx8c), 100 * share(lx4a))},
        {"goal": "SerialIsr stack use at most 256 bytes",
         "met": data["stack"]["deepest_path_bytes"] <= 256,
         "measured": "%d bytes (%s)" % (data["stack"]["deepest_path_bytes"],
                                        " > ".join(data["stack"]["deepest_path"]))},
        {"goal": "no allocation or wait on the interrupt path",
         "met": not forbidden,
         "measured": "SerialIsr reaches only %s outside its own code" % ", ".join(outside)},
    ]


def print_tables(data, table, fmt):
    floor = {"rx": 1.0, "tx": 1.0, "all": 1.0}
    rows = [["floor (one access per byte)", "-", floor["rx"], floor["tx"], floor["all"]],
            ["classic (line status before every byte)", "16-byte, trigger 14",
             data["classic_per_byte"]["rx"], data["classic_per_byte"]["tx"],
             data["classic_per_byte"]["all"]]]
    rows += [["corserial", r["fifo"], r["rx_per_byte"], r["tx_per_byte"], r["per_byte"]]
             for r in data["per_byte"]]
    table("Port accesses per byte moved, LX8C, 8 ports x 921600 both ways, lock step",
          ["driver", "FIFO", "received", "sent", "all"],
          [[a, b, fmt(c, 3), fmt(d, 3), fmt(e, 3)] for a, b, c, d, e in rows])

    classic = {(r["model"], r["baud"]): r for r in data["classic_timed"]}
    table("Timed model: full duplex on every port, %g us per port access (read or write), "
          "default FIFO settings; lost bytes (queue overrun) and processor share: finding the "
          "ports + servicing the UARTs + completing requests (+ instructions at %g ns)" % (
              ACCESS_MICROSECONDS, INSTRUCTION_NANOSECONDS),
          ["model", "baud", "lost", "finding", "servicing", "completing", "instructions",
           "classic lost", "classic share"],
          [[r["model"], r["baud"], "%d (%d)" % (r["lost"], r["lost_queue"]),
            "%.1f%%" % (100 * r["share_finding"]), "%.0f%%" % (100 * r["share_servicing"]),
            "%.1f%%" % (100 * r["share_completing"]), "%.1f%%" % (100 * r["share_instructions"]),
            classic[(r["model"], r["baud"])]["lost"],
            "%.0f%%" % (100 * share(classic[(r["model"], r["baud"])]))]
           for r in data["timed"]])
    table("Highest rate carried with nothing lost (timed model)", ["model", "corserial", "classic"],
          [[m, highest_clean_rate(data["timed"], m) or "none",
            highest_clean_rate(data["classic_timed"], m) or "none"]
           for m in ("LX2A", "LX4A", "LX8C")])
    table("Receive trigger: interrupts per KB received (one port alone), its headroom, and what "
          "the loads of the goals lose with it (timed model)",
          ["FIFO", "headroom chars", "us at 460800", "us at 921600", "interrupts/KB",
           "accesses/byte received", "LX8C 8x460800 lost", "share", "LX4A 4x921600 lost",
           "share"],
          [[r["fifo"], r["headroom_chars"], fmt(r["headroom_chars"] * 1e7 / 460800, 0),
            fmt(r["headroom_chars"] * 1e7 / 921600, 0), fmt(r["interrupts_per_kb"], 1),
            fmt(r["rx_per_byte"], 3), r["lx8c_460800"]["lost"],
            "%.0f%%" % (100 * share(r["lx8c_460800"])), r["lx4a_921600"]["lost"],
            "%.0f%%" % (100 * share(r["lx4a_921600"]))] for r in data["triggers"]])
    table("Latency from the last byte of a message to the completion of the read that returns it "
          "(default FIFO settings, timed model)",
          ["baud", "message", "read", "reads", "us", "character times"],
          [[r["baud"], r["length"], "total time-out" if r["timeout"] == "total" else
            "interval %d ms" % r["interval_ms"], r["reads"], fmt(r["latency_us"], 1),
            fmt(r["latency_chars"], 1)] for r in data["latency"]])
    isr, req = data["isr_instructions"], data["request_instructions"]
    print("\nSerialIsr's own instructions per call (callgrind): %.0f for a receive burst of 32, "
          "%.0f for a transmit burst of 64, %.0f when idle; the request path %.1f per byte "
          "moved (%.0f per request)" % (isr["rx"], isr["tx"], isr["idle"], req["per_byte"],
                                        req["per_request"]))
    print("SerialIsr stack: %d bytes own frame, %d bytes deepest path through our code; "
          "corserial.sys %d bytes, %d without its symbol table (.text %d)" % (
              data["stack"]["own_frame_bytes"], data["stack"]["deepest_path_bytes"],
              data["image"]["bytes"], data["image"]["stripped_bytes"],
              data["image"].get("text", 0)))


def chart(data, out_dir):
    """Accesses per byte moved, and the processor share at the LX8C goal load, per arrangement."""
    per_byte = os.path.join(out_dir, "per_byte.dat")
    with open(per_byte, "w") as f:
        f.write('"floor" 1 1\n')
        f.write('"classic\\n16-byte, 14" %g %g\n' % (data["classic_per_byte"]["rx"],
                                                     data["classic_per_byte"]["tx"]))
        names = {"16-byte, trigger 14": "corserial\\n16-byte, 14",
                 "64-byte, trigger 56": "corserial\\n64-byte, 56",
                 "default": "corserial\\ndefault\\n64-byte, 32"}
        for r in data["per_byte"]:
            f.write('"%s" %g %g\n' % (names[r["fifo"]], r["rx_per_byte"], r["tx_per_byte"]))
    shares = os.path.join(out_dir, "share_460800.dat")
    classic = [r for r in data["classic_timed"] if r["model"] == "LX8C" and r["baud"] == 460800][0]
    runs = [("classic\\n16-byte, 14", classic)]
    for r in data["triggers"]:
        if r["fifo"] in ("16-byte, trigger 8", "16-byte, trigger 14", "64-byte, trigger 56"):
            runs.append(("corserial\\n%s" % r["fifo"].replace("trigger ", ""), r["lx8c_460800"]))
    default = [r for r in data["timed"] if r["model"] == "LX8C" and r["baud"] == 460800][0]
    runs.append(("corserial\\ndefault\\n64-byte, 32", default))
    with open(shares, "w") as f:
        for name, r in runs:
            f.write('"%s%s" %g %g %g\n' % (name, "\\nlost %d" % r["lost"] if r["lost"] else "",
                                           100 * r["share_finding"], 100 * r["share_servicing"],
                                           100 * r["share_completing"]))
    png = os.path.join(out_dir, "data-path.png")
    script = """
set terminal pngcairo size 1200,500 font "DejaVu Sans,10"
set output '%(png)s'
set multiplot layout 1,2
set style data histograms
set style fill solid 0.8 border -1
set grid ytics
set bmargin 6
set title "Port accesses per byte moved, LX8C, 8 ports x 921600 both ways"
set style histogram clustered gap 1
set boxwidth 0.9
set ylabel "accesses per byte"
set yrange [0:2.4]
set key top right
set xtics font ",9"
plot '%(per_byte)s' using 2:xtic(1) lc rgb "#1f618d" title "received", \\
     '' using 3 lc rgb "#76a5c9" title "sent"
set title "LX8C, 8 ports x 460800 full duplex, 1 us per port access (timed model)"
set style histogram rowstacked
set boxwidth 0.6
set ylabel "percent of one processor"
set yrange [0:140]
set key top left reverse Left
set arrow from graph 0, first 100 to graph 1, first 100 nohead dt 2 lw 1.5
set label "one processor" at graph 0.98, first 104 right
set arrow from graph 0, first 73.7 to graph 1, first 73.7 nohead dt 3 lw 1 lc rgb "#555555"
plot '%(shares)s' using 2:xtic(1) lc rgb "#c0392b" title "finding the ports", \\
     '' using 3 lc rgb "#7f8c8d" title "servicing the UARTs", \\
     '' using 4 lc rgb "#27ae60" title "completing requests", \\
     NaN with lines dt 3 lw 1 lc rgb "#555555" title "one access per byte moved"
unset multiplot
""" % {"png": png, "per_byte": per_byte, "shares": shares}
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return png
